#include "link/drive_link.h"
