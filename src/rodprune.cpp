#include "rodprune.h"

#include "rodadnam.h"
#include "rodbase.h"

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

// Verdicts of both modes by the two bytes of a code.
struct FilterTable {
    CodeVerdict verdicts[2][256][256];
    FilterTable()
    {
        for (int mode = 0; mode < 2; ++mode)
            for (auto &row : verdicts[mode])
                for (CodeVerdict &verdict : row)
                    verdict = mode ? CodeVerdict::Drop : CodeVerdict::Keep;
        for (int mode = 0; mode < 2; ++mode) {
            set(mode, DELETED_CODES, CodeVerdict::Drop);
            set(mode, COMMENT_CODES, CodeVerdict::Comment);
        }
        set(0, NORMAL_CODES, CodeVerdict::Keep);
        set(1, TIME_CODES, CodeVerdict::Keep);
    }
    template <typename Codes> void set(int mode, const Codes &codes, CodeVerdict verdict)
    {
        for (const char *code : codes)
            verdicts[mode][static_cast<unsigned char>(code[0])][static_cast<unsigned char>(code[1])] = verdict;
    }
};

const FilterTable filter_table;

// Field 1 as the scan read it: blocks are pruned right after the
// structuring, before the merge replaces any text.
bool is_selected_line(Item x) { return is_line_item(x) && line_at(line_of(x)).selects; }

bool holds_selected_line(Item group)
{
    for (CellId cell = list_of(group); cell; cell = cell_at(cell).next)
        if (is_selected_line(cell_at(cell).item))
            return true;
    return false;
}

// Where a chain's first cell is held: the next link of a cell, or the item
// of a cell that holds a list.
struct Slot {
    CellId holder;
    bool in_item;

    CellId get() const
    {
        const Cell &cell = cell_at(holder);
        if (!in_item)
            return cell.next;
        return is_list_item(cell.item) ? list_of(cell.item) : 0;
    }
    void set(CellId first) const
    {
        Cell &cell = cell_at(holder);
        if (in_item)
            cell.item = first ? list_item(first) : NO_ITEM;
        else
            cell.next = first;
    }
};

// The closing lines of a kind are one record every block shares.
bool held_elsewhere(const Line &line) { return line.kind >= KIND_FF && line.kind <= KIND_FR; }

// Adds the cell `removed` (unlinked from its chain) and everything its item
// holds to `pruned`.
void collect_pruned(CellId removed, Pruned &pruned)
{
    std::vector<CellId> chains{removed};
    while (!chains.empty()) {
        CellId cell = chains.back();
        chains.pop_back();
        while (cell) {
            const Cell &record = cell_at(cell);
            pruned.cells.push_back(cell);
            if (is_list_item(record.item))
                chains.push_back(list_of(record.item));
            else if (is_line_item(record.item) && !held_elsewhere(line_at(line_of(record.item))))
                pruned.lines.push_back(line_of(record.item));
            // The removed cell's next is the rest of its chain, which stays.
            cell = cell == removed ? 0 : record.next;
        }
    }
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

// Unlinks the unselected PP and DA blocks where it finds them. The walk
// goes in tree order, which for a file just structured is the order its
// cells and lines were made in: the memory it reads comes in sequence.
Pruned prune_selection(CellId tree)
{
    Pruned pruned;
    if (!tree)
        return pruned;
    std::vector<CellId> resume; // the list cells whose lists are being walked
    Slot at{tree, false};
    for (;;) {
        const CellId cell = at.get();
        if (!cell) {
            if (resume.empty())
                break;
            at = {resume.back(), false};
            resume.pop_back();
            continue;
        }
        const Item item = cell_at(cell).item;
        if (!is_list_item(item)) {
            at = {cell, false};
            continue;
        }
        // A PP or DA group: its first line tells, then the rest.
        const Item first = cell_at(list_of(item)).item;
        const int kind = is_line_item(first) ? line_at(line_of(first)).kind : -1;
        if ((kind == KIND_PP || kind == KIND_DA) && is_group(item) && !holds_selected_line(item)) {
            at.set(cell_at(cell).next);
            collect_pruned(cell, pruned);
            continue;
        }
        resume.push_back(cell);
        at = {cell, true};
    }
    return pruned;
}
