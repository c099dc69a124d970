#include "ui/terminal.h"
