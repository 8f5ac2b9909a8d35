#include "rodtri.h"

#include "rodadnam.h"
#include "rodbase.h"

namespace {

bool has_fixed_key(int kind) { return kind == KIND_YI || kind == KIND_YT || kind == KIND_FE || kind == KIND_FS; }

} // namespace

int time_field_position(int kind)
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

bool has_own_time(int kind) { return kind != KIND_TP && time_field_position(kind) != 0; }

TimeKey line_time(LineId line)
{
    const int kind = line_at(line).kind;
    if (has_fixed_key(kind))
        return {true, true, FIXED_TIME_KEY};
    const int position = time_field_position(kind);
    if (!position)
        return {};
    return {true, false, static_cast<uint32_t>(line_number_field(line, position))};
}

TimeKey group_time(CellId list)
{
    for (CellId cell = list; cell; cell = cell_at(cell).next) {
        const Item item = cell_at(cell).item;
        if (is_line_item(item)) {
            const TimeKey key = line_time(line_of(item));
            if (key.present)
                return key;
        }
    }
    return {};
}

TimeKey item_time(Item x)
{
    if (is_line_item(x))
        return line_time(line_of(x));
    if (is_group(x))
        return group_time(list_of(x));
    return {};
}
