#include "discovery/scan.h"
