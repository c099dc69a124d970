#include "ui/layout.h"
