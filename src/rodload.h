// ROD loading: the engine's entry point.
#pragma once

#include "objet.h"

// Puts the RDD header line in front of the merged report (the driver's).
using RddHeaderMaker = Objet *(*)(Objet *header_lines, Objet *report);

// Loads, structures and merges every ROD file of rod_names; returns the
// report that make_header returned.
Objet *rod_load_all(bool time_mode, RddHeaderMaker make_header);
