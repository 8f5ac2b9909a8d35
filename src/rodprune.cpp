#include "rodprune.h"

#include "rodadnam.h"
#include "rodbase.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <vector>

namespace {

constexpr const char *NORMAL_CODES[] = {
    "RE", "SC", "IT", "DE", "PR", "PE", "CF", "SY", "PO", "RU", "XX", "YT", "DB", "BC",
    "BF", "XI", "DS", "FS", "DW", "DX", "YI", "CH", "EV", "DT", "XE", "FE", "ER", "RD",
    "EX", "IE", "SN", "FT", "TN", "TF", "FB", "DA", "PA", "PP", "PQ", "IC", "ID",
};
static_assert(std::size(NORMAL_CODES) == 41);

constexpr const char *TIME_CODES[] = {
    "RE", "SC", "IT", "DE", "PR", "PE", "CF", "SY", "PO", "RU", "XX", "DB", "BC", "BF", "DW", "DX", "CH",
    "EV", "ER", "RD", "EX", "IE", "SN", "FT", "TN", "TF", "FB", "DA", "PA", "PP", "PQ", "IC", "ID",
};
static_assert(std::size(TIME_CODES) == 33);

constexpr const char *DELETED_CODES[] = {"PT", "DP", "FP", "SE", "UN"};
constexpr const char *COMMENT_CODES[] = {"CO"};

// Verdicts of both modes by the two bytes of a code, made at compile time:
// a table filled at start-up would cost a page fault per 4 KB of it on
// every run, however few codes a run reads.
struct FilterTable {
    CodeVerdict verdicts[2][256][256];

    template <typename Codes> constexpr void set(int mode, const Codes &codes, CodeVerdict verdict)
    {
        for (const char *code : codes)
            verdicts[mode][static_cast<unsigned char>(code[0])][static_cast<unsigned char>(code[1])] = verdict;
    }
    // Every verdict starts as Keep (the zero value); the time mode drops
    // the codes it does not name.
    constexpr FilterTable() : verdicts{}
    {
        for (auto &row : verdicts[1])
            for (CodeVerdict &verdict : row)
                verdict = CodeVerdict::Drop;
        for (int mode = 0; mode < 2; ++mode) {
            set(mode, DELETED_CODES, CodeVerdict::Drop);
            set(mode, COMMENT_CODES, CodeVerdict::Comment);
        }
        set(0, NORMAL_CODES, CodeVerdict::Keep);
        set(1, TIME_CODES, CodeVerdict::Keep);
    }
};

constexpr FilterTable filter_table;

// Where a chain's first cell is held: the next link of a cell, or the item
// of a cell that holds a list.
struct Slot {
    CellId holder;
    bool in_item;

    void set(CellId first) const
    {
        Cell &cell = cell_at(holder);
        if (in_item)
            cell.item = first ? list_item(first) : NO_ITEM;
        else
            cell.next = first;
    }
};

// The closing lines of a kind are one record every block shares; they are
// known by their ids, so that pruning reads no line record.
struct SharedClosings {
    std::array<LineId, KIND_FR - KIND_FF + 1> ids{};
    // Pruning only follows the making of blocks, which made these records.
    SharedClosings()
    {
        for (int kind = KIND_FF; kind <= KIND_FR; ++kind)
            ids[static_cast<std::size_t>(kind - KIND_FF)] = made_closing_line(static_cast<LineKind>(kind));
    }
    bool hold(LineId line) const { return std::find(ids.begin(), ids.end(), line) != ids.end(); }
};

// Adds the cell `removed` (unlinked from its chain) and everything its item
// holds to `pruned`; `chains` is room for the chains still to walk.
void collect_pruned(CellId removed, const SharedClosings &closings, std::vector<CellId> &chains, Pruned &pruned)
{
    chains.assign(1, removed);
    while (!chains.empty()) {
        CellId cell = chains.back();
        chains.pop_back();
        while (cell) {
            const Cell &record = cell_at(cell);
            pruned.cells.push_back(cell);
            if (is_list_item(record.item))
                chains.push_back(list_of(record.item));
            else if (is_line_item(record.item) && !closings.hold(line_of(record.item)))
                pruned.lines.push_back(line_of(record.item));
            // The removed cell's next is the rest of its chain, which stays.
            cell = cell == removed ? 0 : record.next;
        }
    }
}

// The cells of the first part that hold lists: the blocks there stay.
std::vector<CellId> first_part_lists(CellId tree)
{
    std::vector<CellId> lists;
    std::vector<CellId> chains;
    if (is_list_item(cell_at(tree).item))
        chains.push_back(list_of(cell_at(tree).item));
    while (!chains.empty()) {
        CellId cell = chains.back();
        chains.pop_back();
        for (; cell; cell = cell_at(cell).next) {
            if (is_list_item(cell_at(cell).item)) {
                lists.push_back(cell);
                chains.push_back(list_of(cell_at(cell).item));
            }
        }
    }
    std::sort(lists.begin(), lists.end());
    return lists;
}

} // namespace

CodeVerdict filter_code(unsigned char first, unsigned char second, bool time_mode)
{
    return filter_table.verdicts[time_mode ? 1 : 0][first][second];
}

bool comments_kept_before(unsigned char first, unsigned char second)
{
    return (first == 'D' && second == 'W') || (first == 'S' && second == 'N');
}

Pruned prune_selection(CellId tree, std::span<const UnselectedBlock> unselected, std::size_t lines)
{
    Pruned pruned;
    if (!tree || unselected.empty())
        return pruned;
    // Room that is never touched costs no memory, while a big file's lists
    // grown by doubling would take fresh pages at every step. A cell holds a
    // line, or a list that starts with one.
    pruned.lines.reserve(lines);
    pruned.cells.reserve(2 * lines);
    const std::vector<CellId> kept = first_part_lists(tree);
    const SharedClosings closings;
    std::vector<CellId> chains;
    // From the last: a block's holder may be the cell of the one before it.
    for (auto block = unselected.rbegin(); block != unselected.rend(); ++block) {
        if (std::binary_search(kept.begin(), kept.end(), block->cell))
            continue;
        Slot{block->holder, block->in_item}.set(cell_at(block->cell).next);
        collect_pruned(block->cell, closings, chains, pruned);
    }
    return pruned;
}
