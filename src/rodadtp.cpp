#include "rodadtp.h"

#include "rodadnam.h"
#include "rodtri.h"

namespace {

bool needs_tp_line(int kind) { return kind == KIND_XX || kind == KIND_ER || kind == KIND_EX || kind == KIND_PP; }

} // namespace

LineId tp_line_after(TpLines &tp, LineId line)
{
    const Line &record = line_at(line);
    const int kind = record.kind;
    if (has_own_time(kind)) {
        tp.last_time = line_number_field(line, time_field_position(kind));
        tp.timed = true;
        return 0;
    }
    if (!needs_tp_line(kind))
        return 0;
    const int file = record.file;
    const LineId made = line_new();
    Line &tp_line = line_at(made);
    tp_line.kind = KIND_TP;
    tp_line.exact_code = 1;
    tp_line.file = static_cast<uint16_t>(file);
    tp_line.values[0] = tp.last_time;
    return made;
}
