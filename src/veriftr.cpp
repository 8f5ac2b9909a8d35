#include "veriftr.h"

int verify_input_files() { return 1; }
