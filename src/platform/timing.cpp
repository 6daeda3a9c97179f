#include "platform/timing.h"
