// Structuring of a ROD file: closing lines after runs, enclosing of blocks,
// the three-part split and the regrouping of timing blocks into runs.
//
// Shape of a file's tree after structure_lines (three top-level cells):
//   cell 1: item = a one-cell list holding the first top-level element
//   cell 2: item = the chain of the middle elements (blocks and lines);
//           an empty cell (no item) when there were only two
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
//            nothing when no run could be taken
//   E.next = the rest of L after the last run (not a group, or a group
//            that cannot start a run), untouched
// In the default mode the body cell (cell 2) thus holds E, and E's item is
// the list of runs. A DS group whose cells after its DS line form a timed
// list is regrouped the same way: its second cell is then its own E, so the
// group's second item is its inner list of runs, and its FS line follows in
// E's next chain.
#pragma once

#include <vector>

#include "rodmodel.h"
#include "rodprune.h"

// A file's tree and its lines in tree order (the made ones included), with
// where in them the body and the last part begin.
struct StructuredFile {
    CellId tree = 0;
    ScratchVector<LineId> lines;
    std::size_t body_begin = 0;
    std::size_t last_begin = 0;
    // The PP and DA blocks that hold no selected line, where they were put.
    UnselectedBlocks unselected;
};

// Adds the made closing lines of the nine run kinds to a file's flat line
// list (in file order, TP lines in place), encloses the blocks and splits
// the file in three; the list is consumed. Every structural fault ends the
// run with UNEXPTEOF.
StructuredFile structure_lines(ScratchVector<LineId> lines);
// The same, the lines before `cut` on this thread and the rest on a helper
// thread at once, when nothing spans the cut (0: no cut).
StructuredFile structure_lines(ScratchVector<LineId> lines, std::size_t cut);
// Below this many lines a helper thread costs more than it saves.
constexpr std::size_t STRUCTURE_CUT_MIN = std::size_t{1} << 16;
// How far past the middle a cut is looked for.
constexpr std::size_t STRUCTURE_CUT_SEARCH = std::size_t{1} << 16;
// Where a big file's lines are cut for structuring in two parts: after the
// first line from the middle on that exactly closes a block of the kinds a
// top level holds (YI, YT, FE, FS, BF); 0 for none.
std::size_t structure_cut(const ScratchVector<LineId> &lines);
// Regroups the timing blocks of every timed list of the tree (see above).
void regroup_timed(CellId tree);
