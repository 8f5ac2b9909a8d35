// Line format: the keyword table of line codes and the predicates on lines
// and groups that every pass of the engine uses. None of them changes the
// tree.
//
// A line's kind is named from the first two bytes of its code, so comparing
// a code "on its first two bytes" is comparing kinds (line_kind_is). The
// code sets of the closing and nesting passes, and the searches for the
// XI, DS, DT and XE lines of a group, compare the whole code: the line's code
// must be exactly the keyword (line_code_is).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "rodmodel.h"

struct RodKeyword {
    const char *code; // two characters; "" on the end entry
    int length;       // 2; -1 on the end entry
    int token;        // kind + 4; -1 on the end entry
};

// 56 codes in kind order, then the end entry.
extern const RodKeyword rod_keywords[ROD_KEYWORD_COUNT + 1];

// Length of the line code at the start of `line`, trailing blanks cut; -1
// when only a single character or blanks are left, 0 when the line starts
// with a double quote or its newline.
long code_length(std::string_view line);

// The kind of a code read from a ROD file, from its first two bytes; -1 for
// an unknown code and for the codes only the engine makes (FW, FF to FR).
int readable_kind(unsigned char first, unsigned char second);

// The line's kind is `kind` (its code's first two bytes are the keyword's).
inline bool line_kind_is(LineId line, LineKind kind) { return line_at(line).kind == kind; }
// The line's code is exactly the keyword of `kind`.
inline bool line_code_is(LineId line, LineKind kind)
{
    const Line &record = line_at(line);
    return record.kind == kind && record.exact_code;
}

// A set of kinds, for the code sets of the structure passes.
struct KindSet {
    uint64_t bits = 0;
    KindSet(std::initializer_list<LineKind> kinds)
    {
        for (LineKind kind : kinds)
            bits |= uint64_t{1} << kind;
    }
    bool has(int kind) const { return (bits >> kind) & 1; }
};

// Lines and groups. A "list" is an item holding a cell; a group is a list
// whose first item is a line and which holds at least two items.
bool is_group(Item x);
// x is a list whose first item is a group.
bool starts_with_group(Item x);
// The first item of list x that is a line whose code is exactly `kind`; 0
// when none (and for a line x).
LineId find_line(Item x, LineKind kind);
bool is_XI_group(Item x);
bool is_DS_group(Item x);
bool has_DT_line(Item x);
bool has_XE_line(Item x);
// A group whose first line is of that kind.
bool is_DA_group(Item x);
bool is_PP_group(Item x);
// A list starting with a group, among whose items is an XI or a DS group.
bool is_timed_list(Item x);
// A list whose first item is not empty and every item of which is a timed list.
bool all_timed(Item x);

// Cell finders over the cells of list x: the first cell whose item is an
// XI group (a DS group, holds a DT line, holds an XE line); 0 when none.
CellId find_XI_group_cell(Item x);
CellId find_DS_group_cell(Item x);
CellId find_DT_cell(Item x);
CellId find_XE_cell(Item x);
// The item of the cell the matching finder returns, or NO_ITEM.
Item find_XI_group(Item x);
Item find_DS_group(Item x);
Item find_DT_item(Item x);
Item find_XE_item(Item x);

// The first item of a list (NO_ITEM for a line or nothing).
inline Item first_item(Item x) { return is_list_item(x) ? cell_at(list_of(x)).item : NO_ITEM; }

// The cells that hold lines, from a cell on (the cells after it included),
// in tree order, one at a time. Iterative: blocks may nest as deep as the
// input goes. A cell's next link is read before the cell is handed out.
class LineCursor {
public:
    explicit LineCursor(CellId first) : cell_(first) {}
    // Walks from `first` on, keeping the room of the walk before.
    void restart(CellId first)
    {
        cell_ = first;
        resume_.clear();
    }

    // The next cell that holds a line; 0 at the end.
    CellId next()
    {
        for (;;) {
            if (!cell_) {
                if (resume_.empty())
                    return 0;
                cell_ = resume_.back();
                resume_.pop_back();
                continue;
            }
            const CellId at = cell_;
            const Cell &current = cell_at(at);
            if (is_list_item(current.item)) {
                if (current.next)
                    resume_.push_back(current.next);
                cell_ = list_of(current.item);
                continue;
            }
            cell_ = current.next;
            if (is_line_item(current.item))
                return at;
        }
    }

private:
    CellId cell_;
    std::vector<CellId> resume_;
};

// Calls visit(cell) for every cell whose item is a line, in the chain from
// `first` on and in every list it holds: depth first, a list's items before
// the cells after it. A visit returning false ends the walk.
template <typename Visit> void for_each_line_cell(CellId first, Visit visit)
{
    LineCursor cursor(first);
    for (CellId cell = cursor.next(); cell; cell = cursor.next())
        if (!visit(cell))
            return;
}
