#include "ui/buffer.h"
