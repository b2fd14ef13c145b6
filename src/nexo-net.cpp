#include "nexo-net.h"
