// RDD writing.
#pragma once

#include "objet.h"

void number_repeated_names(Objet *stream, Objet *report);
void write_rdd_lines(Objet *stream, Objet *report);
