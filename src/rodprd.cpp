#include "rodprd.h"

void number_repeated_names(Objet *, Objet *) {}
void write_rdd_lines(Objet *, Objet *) {}
