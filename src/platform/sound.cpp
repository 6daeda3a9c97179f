#include "platform/sound.h"
