#include "app/keys.h"
