#include "tasks/permission.h"
