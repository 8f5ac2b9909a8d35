// TP lines: the time of the last timed line, given to XX, ER, EX and PP
// lines, which carry no time of their own.
#pragma once

#include "objet.h"

// A made TP line: code "TP" (kind TP, no origin pair) and one OBJ_LONG.
Objet *tp_line_new(int32_t time);
// Inserts a TP line after every XX, ER, EX and PP line of the flat list,
// holding the time of the last timed line before it (0 when none).
Objet *add_tp_lines(Objet *lines);
