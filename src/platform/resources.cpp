#include "platform/resources.h"
