#include "rodbase.h"

void keywords_init() {}
void keywords_release() {}
