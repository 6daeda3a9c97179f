#include "image/intel_hex.h"
