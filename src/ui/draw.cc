#include "ui/draw.h"
