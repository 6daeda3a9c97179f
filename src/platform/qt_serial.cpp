#include "platform/serial.h"
