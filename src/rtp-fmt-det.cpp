#include "rtp-fmt-det.h"
