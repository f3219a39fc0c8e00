#include "ObjCException.h"
