// Pruning: the code filter on a file's flat line list, and the removal of PP
// and DA blocks that hold no selected line. Both mark, then sweep.
#pragma once

#include "objet.h"

// Keeps the lines whose codes the normal table lists, drops PT, DP, FP, SE
// and UN lines, applies the comment rule to CO lines and keeps any other
// line (the naming pass rejects unknown codes). Returns the swept list.
Objet *filter_codes(Objet *lines);
// The same with the time table; lines of any other code are dropped.
Objet *filter_codes_time(Objet *lines);
// Comment rule for the cell of a CO line: kept when the run of CO lines it
// belongs to is followed by a DW or SN line, marked otherwise; a run of CO
// lines at the end of the list ends the run with UNEXPTEOF.
void check_comment(Objet *cell);
// Removes, in the second and third parts of the three-part tree, every PP or
// DA block none of whose own lines has the selection mark as first field.
Objet *prune_selection(Objet *tree);
