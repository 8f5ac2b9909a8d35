#include "rodadtp.h"

#include "rodbase.h"
#include "rodtri.h"

namespace {

bool needs_tp_line(int32_t kind)
{
    return kind == KIND_XX || kind == KIND_ER || kind == KIND_EX || kind == KIND_PP;
}

// Lines with a time field of their own; the fixed-key kinds do not count.
bool is_timed(int32_t kind) { return kind != KIND_TP && time_field_position(kind) != 0; }

} // namespace

Objet *tp_line_new(int32_t time)
{
    Objet *code = str_new("TP", 2);
    code->tag = KIND_TP;
    return list2(code, long_new(time));
}

Objet *add_tp_lines(Objet *lines)
{
    const Objet *last_time = nullptr;
    for (Objet *cell = lines; cell; cell = cell->link.next) {
        Objet *line = cell->head.item;
        const int32_t kind = line->head.item->tag;
        if (is_timed(kind)) {
            last_time = line_time(line);
        } else if (needs_tp_line(kind)) {
            cell->link.next = cons(tp_line_new(last_time ? last_time->link.value : 0), cell->link.next);
            cell = cell->link.next;
        }
    }
    return lines;
}
