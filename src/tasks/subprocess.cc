#include "tasks/subprocess.h"
