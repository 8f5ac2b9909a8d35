#include "rodtri.h"

#include "i18nerrgest.h"
#include "rodbase.h"

#include <QString>

Objet *fixed_time_key = nullptr;

namespace {

[[noreturn]] void internal_fault() { report_fatal("ERRINTERN", QString(), QString()); }

bool is_cell(const Objet *x) { return x && x->kind == OBJ_LIST; }

bool has_fixed_key(int32_t kind)
{
    return kind == KIND_YI || kind == KIND_YT || kind == KIND_FE || kind == KIND_FS;
}

// Time keys are compared as unsigned 32-bit numbers.
uint32_t key_value(const Objet *key) { return static_cast<uint32_t>(key->link.value); }

Objet *numeric_field(Objet *line, int k)
{
    Objet *field = line_field(line, k);
    if (!field || (field->kind != OBJ_LONG && field->kind != OBJ_INT))
        internal_fault();
    return field;
}

} // namespace

void time_key_init()
{
    if (!fixed_time_key)
        fixed_time_key = long_new(FIXED_TIME_KEY_VALUE);
}

Objet *list_nth(Objet *list, int n)
{
    Objet *cell = list;
    for (int i = 0; i < n && is_cell(cell); ++i)
        cell = cell->link.next;
    return is_cell(cell) ? cell : nullptr;
}

Objet *list_from_end(Objet *list, int n)
{
    int length = 0;
    for (Objet *cell = list; is_cell(cell); cell = cell->link.next)
        ++length;
    return n < 0 || n >= length ? nullptr : list_nth(list, length - 1 - n);
}

Objet *list_swap_item(Objet *cell, Objet *x)
{
    Objet *previous = cell->head.item;
    cell->head.item = x;
    return previous;
}

Objet *line_field(Objet *line, int k)
{
    Objet *cell = list_nth(line, k);
    return cell ? cell->head.item : nullptr;
}

Objet *line_set_field(Objet *line, int k, Objet *x)
{
    Objet *cell = list_nth(line, k);
    if (!cell)
        internal_fault();
    return list_swap_item(cell, x);
}

int32_t line_long(Objet *line, int k) { return numeric_field(line, k)->link.value; }

void line_set_long(Objet *line, int k, int32_t value) { numeric_field(line, k)->link.value = value; }

int time_field_position(int32_t kind)
{
    switch (kind) {
    case KIND_XI:
    case KIND_DT:
    case KIND_XE:
    case KIND_TP:
        return 1;
    case KIND_DP:
    case KIND_FT:
    case KIND_TN:
    case KIND_TF:
    case KIND_FB:
        return 2;
    case KIND_DS:
    case KIND_DA:
    case KIND_DW:
    case KIND_EV:
    case KIND_RD:
    case KIND_FW:
    case KIND_ID:
        return 5;
    case KIND_SN:
        return 6;
    case KIND_IC:
        return 7;
    default:
        return 0;
    }
}

// For a group the first item is a list cell, whose tag (1) is a kind
// without time key: groups have no line_time of their own.
Objet *line_time(Objet *line)
{
    if (!is_cell(line) || !line->head.item)
        return nullptr;
    const int32_t kind = line->head.item->tag;
    if (has_fixed_key(kind))
        return fixed_time_key;
    const int position = time_field_position(kind);
    return position ? line_field(line, position) : nullptr;
}

Objet *group_time(Objet *list)
{
    for (Objet *cell = list; is_cell(cell); cell = cell->link.next) {
        Objet *key = line_time(cell->head.item);
        if (key)
            return key;
    }
    return nullptr;
}

Objet *item_time(Objet *x)
{
    if (is_line(x))
        return line_time(x);
    if (is_group(x))
        return group_time(x);
    return nullptr;
}

Objet *insert_by_time(Objet *list, Objet *item)
{
    const Objet *key = item_time(item);
    if (!key)
        report_fatal("UNEXPTEOF", QString(), QString());
    if (!list)
        return list1(item);
    Objet *previous = nullptr;
    for (Objet *cell = list; is_cell(cell); previous = cell, cell = cell->link.next) {
        const Objet *other = item_time(cell->head.item);
        if (!other || key_value(other) <= key_value(key))
            continue;
        if (!previous)
            return cons(item, list);
        previous->link.next = cons(item, cell);
        return list;
    }
    previous->link.next = list1(item);
    return list;
}
