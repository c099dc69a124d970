#include "discovery/groups.h"
