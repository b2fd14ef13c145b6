#include "nexo-alert-parse.h"
