#include "image/file_check.h"
