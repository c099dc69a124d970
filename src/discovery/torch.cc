#include "discovery/torch.h"
