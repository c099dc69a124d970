#include "discovery/runtime.h"
