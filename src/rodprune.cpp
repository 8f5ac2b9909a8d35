#include "rodprune.h"

#include "i18nerrgest.h"
#include "rodbase.h"

#include <QString>

#include <cstring>
#include <iterator>
#include <span>
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

// The first field "1" in its double quotes marks a selected line.
constexpr char SELECTION_MARK[] = "\"1\"";
constexpr size_t SELECTION_MARK_LENGTH = 3;

void mark(Objet *obj) { obj->flags |= OBJ_MARK_DELETE; }

Objet *code_of_cell(const Objet *cell) { return cell->head.item->head.item; }

// Unlinks and frees the cell a slot points to; the slot then holds the rest.
void drop_cell(Objet **slot)
{
    Objet *cell = *slot;
    *slot = cell->link.next;
    cell->link.next = nullptr;
    obj_free(cell);
}

// obj_sweep for a chain whose own cells alone can be marked (lines fresh from
// the scanner): no walk into the lines' fields.
Objet *drop_marked_cells(Objet *chain)
{
    Objet **slot = &chain;
    while (*slot) {
        if ((*slot)->flags & OBJ_MARK_DELETE)
            drop_cell(slot);
        else
            slot = &(*slot)->link.next;
    }
    return chain;
}

bool code_listed(const Objet *code, std::span<const char *const> table)
{
    for (const char *entry : table)
        if (code_is(code, entry))
            return true;
    return false;
}

// The first cell after `cell` whose line is not a CO line; UNEXPTEOF when
// the list ends first.
Objet *comment_run_end(Objet *cell)
{
    Objet *next = cell->link.next;
    while (next && code_is_CO(code_of_cell(next)))
        next = next->link.next;
    if (!next)
        report_fatal("UNEXPTEOF", QString(), QString());
    return next;
}

bool comments_kept_before(const Objet *follower)
{
    const Objet *code = code_of_cell(follower);
    return code_is_DW(code) || code_is_SN(code);
}

Objet *filter(Objet *lines, std::span<const char *const> table, bool drop_unknown)
{
    Objet *cell = lines;
    while (cell) {
        const Objet *code = code_of_cell(cell);
        if (code_listed(code, table)) {
            cell = cell->link.next;
        } else if (code_is_CO(code)) {
            // The whole run of comments shares one verdict: decide it once.
            Objet *follower = comment_run_end(cell);
            const bool keep = comments_kept_before(follower);
            for (; cell != follower; cell = cell->link.next)
                if (!keep)
                    mark(cell);
        } else {
            if (code_listed(code, DELETED_CODES) || drop_unknown)
                mark(cell);
            cell = cell->link.next;
        }
    }
    return drop_marked_cells(lines);
}

bool is_selected_line(const Objet *x)
{
    if (!is_line(x))
        return false;
    const Objet *field_cell = x->link.next;
    const Objet *field = field_cell && field_cell->kind == OBJ_LIST ? field_cell->head.item : nullptr;
    return field && field->kind == OBJ_STRING && field->link.length >= SELECTION_MARK_LENGTH &&
           std::memcmp(field->head.text, SELECTION_MARK, SELECTION_MARK_LENGTH) == 0;
}

bool holds_selected_line(const Objet *group)
{
    for (const Objet *cell = group; cell && cell->kind == OBJ_LIST; cell = cell->link.next)
        if (is_selected_line(cell->head.item))
            return true;
    return false;
}

} // namespace

Objet *filter_codes(Objet *lines) { return filter(lines, NORMAL_CODES, false); }

Objet *filter_codes_time(Objet *lines) { return filter(lines, TIME_CODES, true); }

void check_comment(Objet *cell)
{
    if (!comments_kept_before(comment_run_end(cell)))
        mark(cell);
}

// Unlinks the unselected PP and DA groups where it finds them, instead of
// marking them for a sweep through every field of the report.
Objet *prune_selection(Objet *tree)
{
    std::vector<Objet **> chains; // slots holding the first cell of a chain
    if (tree && tree->link.next)
        chains.push_back(&tree->link.next);
    while (!chains.empty()) {
        Objet **slot = chains.back();
        chains.pop_back();
        while (*slot && (*slot)->kind == OBJ_LIST) {
            Objet *cell = *slot;
            Objet *item = cell->head.item;
            if (is_group(item) && (is_PP_group(item) || is_DA_group(item)) && !holds_selected_line(item)) {
                drop_cell(slot);
                continue;
            }
            if (item && item->kind == OBJ_LIST && !is_line(item))
                chains.push_back(&cell->head.item);
            slot = &cell->link.next;
        }
    }
    return tree;
}
