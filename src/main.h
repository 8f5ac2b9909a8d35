// Driver services that the engine calls back.
#pragma once

#include "objet.h"

#include <string>

// Puts the RDD header line, made from the second field of the first ROD
// file's header line, in front of `report`; frees the header lines.
Objet *make_rdd_header(Objet *header_lines, Objet *report);
const std::string &run_time_stamp();
