#include "app/screen.h"
