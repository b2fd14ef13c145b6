#include "nexo.h"
