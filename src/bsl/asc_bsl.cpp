#include "bsl/asc_bsl.h"
