#include "crypto/aes.h"
