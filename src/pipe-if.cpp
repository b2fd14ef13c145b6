#include "pipe-if.h"
