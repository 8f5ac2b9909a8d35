// Structuring of a ROD file: closing lines after runs, enclosing of blocks,
// the three-part split and the regrouping of timing blocks into runs.
//
// Shape of a file's tree after nest_blocks (three top-level cells):
//   cell 1: item = a one-cell list holding the first top-level element
//   cell 2: item = the chain of the middle elements (blocks and lines);
//           an empty cell (item and next null) when there were only two
//   cell 3: item = a one-cell list holding the last top-level element
// A block is a list whose first item is its opening line and whose last
// item is its closing line.
//
// Shape after regroup_timed: every list L that held a timed list (a list
// starting with a group and holding an XI or DS group) is replaced, in the
// cell that held it, by a fresh cell E:
//   E.item = the chain of run cells; each run cell's item is the run, the
//            chain of its parts in this order, each optional: XI group, DS
//            group, one item holding a DT line, or else one holding an XE line;
//            null when no run could be taken
//   E.next = the rest of L after the last run (not a group, or a group
//            that cannot start a run), untouched
// In the default mode the body cell (cell 2) thus holds E, and E's item is
// the list of runs. A DS group whose cells after its DS line form a timed
// list is regrouped the same way: its second cell is then its own E, so the
// group's second item is its inner list of runs, and its FS line follows in
// E's next chain.
#pragma once

#include "objet.h"
#include "rodbase.h"

// Adds the made closing lines of the nine run kinds to the flat line list.
Objet *close_runs(Objet *lines);
// Encloses the blocks and splits the file in three (see above).
Objet *nest_blocks(Objet *lines);
// Regroups the timing blocks of every timed list in the tree (see above).
Objet *regroup_timed(Objet *tree);

// Generic run-closing walk over the chain after `root`. For every run (an
// opening line whose code is in `openers`, followed by lines whose codes
// are in `members`) the handler (an OBJ_FUNC) is called with a two-cell
// list: the cell before the opening line, the run's last cell. A run that
// reaches the last cell of the chain ends the run with UNEXPTEOF.
void close_each_run(Objet *root, Objet *openers, Objet *members, Objet *handler);
// The same for at most n runs, starting with the cell after `after`.
void close_next_runs(int n, Objet *after, Objet *openers, Objet *members, Objet *handler);

// From `cell` along the chain: the cell before the first line whose code is
// in `set`; null when `cell` itself matches; the last cell when none does.
Objet *find_before(Objet *cell, Objet *set);
// From `cell` along the chain, skipping non-line items and lines whose code
// is in `set`: the cell before the first line not in the set; the last cell
// of the chain when the walk reaches it (that cell is not tested); null when
// `cell` is null or is itself such a line.
Objet *find_run_end(Objet *cell, Objet *set);
// Inserts a new cell holding `line` directly after `cell`.
void insert_line_after(Objet *cell, Objet *line);

// Encloses opener...closer stretches on the chain after `root`: flat blocks
// end at the first closer; paired blocks nest like parentheses.
void nest_flat(Objet *root, LineKind opener, LineKind closer);
void nest_paired(Objet *root, LineKind opener, LineKind closer);
// Turns the chain after `root` (at least two cells) into the three parts;
// they become the root's successor.
void split_three(Objet *root);
