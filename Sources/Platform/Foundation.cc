#include "Platform/Foundation.h"
