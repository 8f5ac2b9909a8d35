#include "rodadnam.h"

#include <algorithm>

namespace {

// The value slot of each field position of each kind (-1: text).
struct NumericTable {
    int8_t slot[ROD_KEYWORD_COUNT][8];
    NumericTable()
    {
        for (auto &row : slot)
            for (int8_t &entry : row)
                entry = -1;
        for (int kind = 0; kind < ROD_KEYWORD_COUNT; ++kind) {
            int8_t next = 0;
            for (int position : numeric_fields(kind))
                slot[kind][position] = next++;
        }
    }
};

const NumericTable numeric_table;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

} // namespace

std::span<const int> numeric_fields(int kind)
{
    static constexpr int sy[] = {2, 3, 4, 5};
    static constexpr int first[] = {1};
    static constexpr int xi[] = {1, 2, 3};
    static constexpr int second[] = {2};
    static constexpr int ds[] = {5, 6, 7};
    static constexpr int three_to_five[] = {3, 4, 5};
    static constexpr int ev[] = {3, 5};
    static constexpr int sn[] = {4, 5, 6};
    static constexpr int first_two[] = {1, 2};
    static constexpr int ic[] = {5, 7};
    static constexpr int id[] = {4, 5};
    switch (kind) {
    case KIND_SY:
        return sy;
    case KIND_XI:
        return xi;
    case KIND_DT:
    case KIND_XE:
    case KIND_YI:
    case KIND_YT:
    case KIND_FE:
    case KIND_TP:
        return first;
    case KIND_DP:
    case KIND_FS:
        return second;
    case KIND_DS:
        return ds;
    case KIND_DA:
    case KIND_DW:
    case KIND_RD:
    case KIND_FW:
        return three_to_five;
    case KIND_EV:
        return ev;
    case KIND_SN:
        return sn;
    case KIND_FT:
    case KIND_TN:
    case KIND_TF:
    case KIND_FB:
        return first_two;
    case KIND_IC:
        return ic;
    case KIND_ID:
        return id;
    default:
        return {};
    }
}

int numeric_slot(int kind, int position)
{
    return position >= 1 && position < 8 ? numeric_table.slot[kind][position] : -1;
}

bool loses_last_two_fields(int kind)
{
    const bool written_whole = (kind >= KIND_SY && kind <= KIND_PO) || (kind >= KIND_BF && kind <= KIND_CF);
    const bool not_written = kind == KIND_TP || (kind >= KIND_FF && kind <= KIND_FR);
    return !written_whole && !not_written;
}

int fields_needed(int kind)
{
    int needed = loses_last_two_fields(kind) ? 2 : 0;
    for (int position : numeric_fields(kind))
        needed = std::max(needed, position);
    return needed;
}

bool field_number_general(std::string_view field, int32_t &value)
{
    value = 0;
    // Spelled out: a comparison with the literal is a call per field.
    if (field.size() == 4 && field[0] == '"' && field[1] == '?' && field[2] == '?' && field[3] == '"')
        return true;
    std::size_t at = 1;
    while (at < field.size() && is_blank(field[at]))
        ++at;
    bool negative = false;
    if (at < field.size() && (field[at] == '+' || field[at] == '-'))
        negative = field[at++] == '-';
    int64_t magnitude = 0;
    bool digits = false;
    for (; at < field.size() && field[at] >= '0' && field[at] <= '9'; ++at) {
        digits = true;
        magnitude = magnitude * 10 + (field[at] - '0');
        if (magnitude > int64_t{1} << 31)
            return false;
    }
    if (!digits)
        return true;
    const int64_t number = negative ? -magnitude : magnitude;
    if (number > INT32_MAX)
        return false;
    value = static_cast<int32_t>(number);
    return true;
}

int32_t line_number_field(LineId line, int k)
{
    const Line &record = line_at(line);
    return record.values[numeric_slot(record.kind, k)];
}

void line_set_number_field(LineId line, int k, int32_t value)
{
    Line &record = line_at(line);
    record.values[numeric_slot(record.kind, k)] = value;
}
