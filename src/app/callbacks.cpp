#include "app/run_context.h"
