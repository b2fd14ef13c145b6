#include "ip-filter.h"
