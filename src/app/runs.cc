#include "app/runs.h"
