// Line kinds and numeric fields of the flat list of a file's lines.
#pragma once

#include <cstdint>

#include "objet.h"

// The kind (keyword table position) of a code read from a ROD file, judged
// on its first two bytes. The codes that only the engine makes, and unknown
// codes, end the run with ERRINTERN.
int32_t line_kind_of(const Objet *code);
// Stores the kind of every line in its code string's tag.
void name_lines(Objet *lines);
// Replaces the numeric fields of every line, by kind, with OBJ_LONGs. A line
// with fewer fields than its kind needs, or a numeric field outside the
// signed 32-bit range, ends the run with UNEXPTEOF.
void convert_numeric_fields(Objet *lines);
