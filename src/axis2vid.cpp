#include "axis2vid.h"
