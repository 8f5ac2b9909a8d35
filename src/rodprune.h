// Pruning: the code filter that decides, while a file is scanned, which
// lines enter its report, and the removal of PP and DA blocks that hold no
// selected line.
#pragma once

#include "rodmodel.h"

#include <span>
#include <vector>

enum class CodeVerdict : uint8_t { Keep, Drop, Comment };

// What the filter does with a line by the first two bytes of its code:
// codes of the mode's table are kept; PT, DP, FP, SE and UN dropped; CO
// lines follow the comment rule; any other code is kept in the normal mode
// (the naming rejects it) and dropped with -TIME.
CodeVerdict filter_code(unsigned char first, unsigned char second, bool time_mode);
// Comment rule: a run of CO lines is kept when the line after it (by the
// first two bytes of its code) is a DW or an SN line.
bool comments_kept_before(unsigned char first, unsigned char second);

// What pruning took out of a file's tree: every cell, and every line but
// the closing lines all blocks share.
struct Pruned {
    ScratchVector<CellId> cells;
    ScratchVector<LineId> lines;
};

// Where the structuring put a PP or DA block none of whose own lines has
// the selection mark ("1" in double quotes at the start of its first
// field): the cell that holds it, and the slot that holds that cell (the
// next link of `holder`, or its item when `in_item`).
struct UnselectedBlock {
    CellId cell;
    CellId holder;
    bool in_item;
};
using UnselectedBlocks = ScratchVector<UnselectedBlock>;

// Removes the unselected blocks of the second and third parts of a file's
// three-part tree; `unselected` lists them all, in the order the
// structuring put them, those of the first part too. `lines`: how many
// lines the tree holds (made closing lines counted where they stand), which
// bounds what the lists of the result get.
Pruned prune_selection(CellId tree, std::span<const UnselectedBlock> unselected, std::size_t lines);
