#include "platform/panels.h"
