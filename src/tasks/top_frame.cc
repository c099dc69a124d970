#include "tasks/top_frame.h"
