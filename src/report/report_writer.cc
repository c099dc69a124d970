#include "report/report_writer.h"
