#include "ui/terminal_screen.h"
