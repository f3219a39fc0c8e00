#include "Protocol.h"
