#include "image/download.h"
