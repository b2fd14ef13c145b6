#include "nexo-cmd-parse.h"
