#include "report/report_dir.h"
