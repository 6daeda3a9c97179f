#include "bsl/erase_read.h"
