#include "discovery/python_test.h"
