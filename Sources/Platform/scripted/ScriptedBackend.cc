#include "Platform/AudioBackend.h"
