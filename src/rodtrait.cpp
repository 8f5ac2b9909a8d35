#include "rodtrait.h"

#include "i18nerrgest.h"
#include "rodbase.h"
#include "rodtri.h"

#include <QString>

#include <utility>
#include <vector>

namespace {

[[noreturn]] void unexpected_end() { report_fatal("UNEXPTEOF", QString(), QString()); }

bool is_last(const Objet *cell) { return cell->link.next == nullptr; }

// The code string of the line a cell holds; null for a block or an empty cell.
Objet *cell_code(const Objet *cell) { return line_code(cell->head.item); }

bool cell_code_in(const Objet *cell, const Objet *set)
{
    const Objet *code = cell_code(cell);
    return code && code_in_set(code, set);
}

bool cell_code_is(const Objet *cell, LineKind kind)
{
    const Objet *code = cell_code(cell);
    return code && code_is(code, rod_keywords[kind].code);
}

// A closing line made by the engine: its code string alone, tagged with its kind.
Objet *made_line(LineKind kind)
{
    Objet *code = str_new(rod_keywords[kind].code, 2);
    code->tag = kind;
    return list1(code);
}

// The passes work under a root whose dummy line gives every real line a
// predecessor cell.
Objet *work_root(Objet *lines) { return cons(list1(str_new("  ", 2)), lines); }

// Nothing under the root is marked (the passes that mark sweep at once), so
// dropping the root is all a sweep would do, without a walk of every line.
Objet *release_work_root(Objet *root)
{
    Objet *lines = root->link.next;
    root->link.next = nullptr;
    obj_free(root);
    return lines;
}

// Handlers get a two-cell list: the cell before the run's opening line and
// the run's last cell.
Objet *run_before(Objet *args) { return args->head.item; }
Objet *run_last(Objet *args) { return args->link.next->head.item; }

template <LineKind Closer> int insert_closing_line(Objet *args)
{
    insert_line_after(run_last(args), made_line(Closer));
    return 0;
}

// FW repeats the opening DW line with fields 3 and 5 raised by field 4.
int insert_fw_line(Objet *args)
{
    Objet *fw = obj_deep_copy(run_before(args)->link.next->head.item);
    Objet *code = str_new("FW", 2);
    code->tag = KIND_FW;
    code->count = fw->head.item->count;
    obj_free(list_swap_item(fw, code));
    const int32_t duration = line_long(fw, 4);
    line_set_long(fw, 3, line_long(fw, 3) + duration);
    line_set_long(fw, 5, line_long(fw, 5) + duration);
    insert_line_after(run_last(args), fw);
    return 0;
}

// A comment run and the DW or SN run after it are closed by one FO line.
int close_comment_run(Objet *args)
{
    Objet *last_comment = run_last(args);
    Objet *fo = func_new(insert_closing_line<KIND_FO>);
    Objet *openers = nullptr;
    Objet *members = nullptr;
    if (last_comment->link.next && cell_code_is(last_comment->link.next, KIND_DW)) {
        openers = code_set_new({KIND_DW});
        members = code_set_new({KIND_DX, KIND_FX, KIND_CH, KIND_FF});
    } else {
        openers = code_set_new({KIND_SN});
        members = code_set_new({KIND_CH, KIND_FN});
    }
    close_next_runs(1, last_comment, openers, members, fo);
    obj_free(openers);
    obj_free(members);
    obj_free(fo);
    return 0;
}

void call_handler(Objet *handler, Objet *before_opening, Objet *run_end)
{
    Objet *args = list2(before_opening, run_end);
    handler->link.func(args);
    args->link.next->head.item = nullptr;
    args->head.item = nullptr;
    obj_free(args);
}

// Runs of closing passes from `before`'s successor; at most `limit` runs
// (negative: no limit).
void close_runs_from(Objet *before, int limit, Objet *openers, Objet *members, Objet *handler)
{
    Objet *current = before->link.next;
    for (int runs = 0; current && runs != limit; ++runs) {
        if (is_last(current))
            return;
        Objet *found = find_before(current, openers);
        if (found && is_last(found))
            return;
        Objet *before_opening = found ? found : before;
        Objet *opening = before_opening->link.next;
        Objet *run_end = find_run_end(opening->link.next, members);
        if (!run_end)
            run_end = opening;
        else if (is_last(run_end))
            unexpected_end();
        call_handler(handler, before_opening, run_end);
        before = run_end;
        current = run_end->link.next;
    }
}

struct ClosingStep {
    std::initializer_list<LineKind> openers;
    std::initializer_list<LineKind> members;
    ObjHandler handler;
};

const ClosingStep CLOSING_STEPS[] = {
    {{KIND_PP}, {KIND_PQ, KIND_TP}, insert_closing_line<KIND_FQ>},
    {{KIND_DA}, {KIND_PA}, insert_closing_line<KIND_FA>},
    {{KIND_EV}, {KIND_CH}, insert_closing_line<KIND_FV>},
    {{KIND_DX}, {KIND_CH}, insert_closing_line<KIND_FX>},
    {{KIND_SN}, {KIND_CH}, insert_closing_line<KIND_FN>},
    {{KIND_DW}, {KIND_DX, KIND_FX, KIND_CH}, insert_closing_line<KIND_FF>},
    {{KIND_DW}, {KIND_DX, KIND_FX, KIND_FF, KIND_EV, KIND_FV, KIND_CH}, insert_fw_line},
    {{KIND_CO}, {KIND_CO}, close_comment_run},
    {{KIND_RE},
     {KIND_SC, KIND_IT, KIND_DE, KIND_PR, KIND_PE, KIND_RU, KIND_SY, KIND_PO, KIND_IE, KIND_CF},
     insert_closing_line<KIND_FR>},
};

enum class Nesting { Flat, Paired };

struct NestingStep {
    LineKind opener;
    LineKind closer;
    Nesting nesting;
};

constexpr NestingStep NESTING_STEPS[] = {
    {KIND_XX, KIND_TP, Nesting::Flat},   {KIND_ER, KIND_TP, Nesting::Flat},   {KIND_EX, KIND_TP, Nesting::Flat},
    {KIND_DA, KIND_FA, Nesting::Paired}, {KIND_PP, KIND_FQ, Nesting::Paired}, {KIND_EV, KIND_FV, Nesting::Paired},
    {KIND_CO, KIND_FO, Nesting::Flat},   {KIND_SN, KIND_FN, Nesting::Flat},   {KIND_DW, KIND_FF, Nesting::Flat},
    {KIND_XI, KIND_YI, Nesting::Paired}, {KIND_DT, KIND_YT, Nesting::Paired}, {KIND_XE, KIND_FE, Nesting::Paired},
    {KIND_DS, KIND_FS, Nesting::Paired}, {KIND_RE, KIND_FR, Nesting::Paired}, {KIND_DB, KIND_BF, Nesting::Paired},
};

// Takes the runs from the front of `list` (see the header for the shape)
// and returns the fresh cell that replaces it. Inner lists of DS groups that
// need regrouping are left in `pending` as the slots that hold them.
Objet *regroup_list(Objet *list, std::vector<Objet **> &pending)
{
    Objet *regrouped = cell_new();
    Objet *last_run = nullptr;
    Objet *rest = list;
    while (starts_with_group(rest)) {
        Objet *run_start = rest;
        Objet *run_end = nullptr;
        auto take_if = [&](auto test) {
            if (rest && rest->head.item && test(rest->head.item)) {
                run_end = rest;
                rest = rest->link.next;
                return true;
            }
            return false;
        };
        take_if(is_XI_group);
        Objet *ds_cell = rest;
        if (take_if(is_DS_group) && is_timed_list(ds_cell->head.item->link.next))
            pending.push_back(&ds_cell->head.item->link.next);
        if (!take_if(has_DT_line))
            take_if(has_XE_line);
        if (!run_end)
            break;
        run_end->link.next = nullptr;
        Objet *run = list1(run_start);
        if (last_run)
            last_run->link.next = run;
        else
            regrouped->head.item = run;
        last_run = run;
    }
    regrouped->link.next = rest;
    return regrouped;
}

} // namespace

Objet *find_before(Objet *cell, Objet *set)
{
    Objet *previous = nullptr;
    for (Objet *current = cell; current; previous = current, current = current->link.next)
        if (cell_code_in(current, set))
            return previous;
    return previous;
}

Objet *find_run_end(Objet *cell, Objet *set)
{
    if (!cell)
        return nullptr;
    Objet *previous = nullptr;
    Objet *current = cell;
    for (; !is_last(current); previous = current, current = current->link.next)
        if (cell_code(current) && !code_in_set(cell_code(current), set))
            return previous;
    return current;
}

void insert_line_after(Objet *cell, Objet *line) { cell->link.next = cons(line, cell->link.next); }

void close_each_run(Objet *root, Objet *openers, Objet *members, Objet *handler)
{
    close_runs_from(root, -1, openers, members, handler);
}

void close_next_runs(int n, Objet *after, Objet *openers, Objet *members, Objet *handler)
{
    close_runs_from(after, n, openers, members, handler);
}

Objet *close_runs(Objet *lines)
{
    Objet *root = work_root(lines);
    for (const ClosingStep &step : CLOSING_STEPS) {
        Objet *openers = code_set_new(step.openers);
        Objet *members = code_set_new(step.members);
        Objet *handler = func_new(step.handler);
        close_each_run(root, openers, members, handler);
        obj_free(openers);
        obj_free(members);
        obj_free(handler);
    }
    return release_work_root(root);
}

void nest_flat(Objet *root, LineKind opener, LineKind closer)
{
    Objet *closers = code_set_new({closer});
    Objet *previous = root;
    while (Objet *current = previous->link.next) {
        if (!cell_code_is(current, opener)) {
            previous = current;
            continue;
        }
        Objet *before_closing = find_before(current, closers);
        if (!before_closing || is_last(before_closing))
            unexpected_end();
        list_wrap_after(previous, before_closing->link.next);
        previous = previous->link.next;
    }
    obj_free(closers);
}

// Pairs openers and closers like parentheses; the stack holds the cell
// before each opening line still waiting for its closing line.
void nest_paired(Objet *root, LineKind opener, LineKind closer)
{
    std::vector<Objet *> open_blocks;
    Objet *previous = root;
    while (Objet *current = previous->link.next) {
        if (cell_code_is(current, opener)) {
            open_blocks.push_back(previous);
            previous = current;
        } else if (cell_code_is(current, closer)) {
            if (open_blocks.empty())
                unexpected_end();
            Objet *before_opening = open_blocks.back();
            open_blocks.pop_back();
            list_wrap_after(before_opening, current);
            previous = before_opening->link.next;
        } else {
            previous = current;
        }
    }
    if (!open_blocks.empty())
        unexpected_end();
}

void split_three(Objet *root)
{
    Objet *first = root->link.next;
    if (!first || is_last(first))
        unexpected_end();
    Objet *middle = first->link.next;
    Objet *before_last = first;
    while (!is_last(before_last->link.next))
        before_last = before_last->link.next;
    Objet *last = before_last->link.next;
    first->link.next = nullptr;
    before_last->link.next = nullptr;
    Objet *body = middle == last ? cell_new() : list1(middle);
    body->link.next = list1(last);
    root->link.next = cons(first, body);
}

Objet *nest_blocks(Objet *lines)
{
    Objet *root = work_root(lines);
    for (const NestingStep &step : NESTING_STEPS) {
        if (step.nesting == Nesting::Flat)
            nest_flat(root, step.opener, step.closer);
        else
            nest_paired(root, step.opener, step.closer);
    }
    split_three(root);
    return release_work_root(root);
}

Objet *regroup_timed(Objet *tree)
{
    std::vector<Objet *> chains{tree};
    std::vector<Objet **> pending;
    while (!chains.empty()) {
        Objet *cell = chains.back();
        chains.pop_back();
        for (; cell && cell->kind == OBJ_LIST; cell = cell->link.next) {
            Objet *item = cell->head.item;
            if (!item || item->kind != OBJ_LIST || is_line(item))
                continue;
            if (is_timed_list(item))
                pending.push_back(&cell->head.item);
            else
                chains.push_back(item);
        }
        while (!pending.empty()) {
            Objet **slot = pending.back();
            pending.pop_back();
            *slot = regroup_list(*slot, pending);
        }
    }
    return tree;
}
