#include "tasks/py_spy.h"
