#include "bsl/frames.h"
