#include "rodtri.h"

void time_key_init() {}
