#include "rodbase.h"

constexpr RodKeyword rod_keywords[ROD_KEYWORD_COUNT + 1] = {
    {"SY", 2, 4},  {"RE", 2, 5},  {"SC", 2, 6},  {"IT", 2, 7},  {"DE", 2, 8},  {"PR", 2, 9},  {"PE", 2, 10},
    {"RU", 2, 11}, {"PO", 2, 12}, {"XX", 2, 13}, {"XI", 2, 14}, {"DT", 2, 15}, {"XE", 2, 16}, {"YI", 2, 17},
    {"YT", 2, 18}, {"FE", 2, 19}, {"DP", 2, 20}, {"FP", 2, 21}, {"DS", 2, 22}, {"DA", 2, 23}, {"PA", 2, 24},
    {"DW", 2, 25}, {"DX", 2, 26}, {"EV", 2, 27}, {"CH", 2, 28}, {"FS", 2, 29}, {"SN", 2, 30}, {"UN", 2, 31},
    {"CO", 2, 32}, {"ER", 2, 33}, {"PT", 2, 34}, {"RD", 2, 35}, {"EX", 2, 36}, {"PP", 2, 37}, {"PQ", 2, 38},
    {"BF", 2, 39}, {"BC", 2, 40}, {"DB", 2, 41}, {"IE", 2, 42}, {"CF", 2, 43}, {"TP", 2, 44}, {"FW", 2, 45},
    {"FF", 2, 46}, {"FQ", 2, 47}, {"FV", 2, 48}, {"FX", 2, 49}, {"FO", 2, 50}, {"FA", 2, 51}, {"FN", 2, 52},
    {"FR", 2, 53}, {"FT", 2, 54}, {"TN", 2, 55}, {"TF", 2, 56}, {"FB", 2, 57}, {"IC", 2, 58}, {"ID", 2, 59},
    {"", -1, -1},
};

namespace {

constexpr bool is_made_only(int kind) { return kind == KIND_FW || (kind >= KIND_FF && kind <= KIND_FR); }

// Kinds of the codes a file may carry, by their two bytes (made at compile
// time, as the filter's table is).
struct ReadableKinds {
    int8_t kinds[256][256];
    constexpr ReadableKinds() : kinds{}
    {
        for (auto &row : kinds)
            for (int8_t &kind : row)
                kind = -1;
        for (int kind = 0; kind < ROD_KEYWORD_COUNT; ++kind) {
            if (is_made_only(kind))
                continue;
            const char *code = rod_keywords[kind].code;
            kinds[static_cast<unsigned char>(code[0])][static_cast<unsigned char>(code[1])] = static_cast<int8_t>(kind);
        }
    }
};

constexpr ReadableKinds readable_kinds;

// The first cell of list x whose (non-empty) item satisfies `test`.
template <typename Test> CellId find_cell(Item x, Test test)
{
    if (!is_list_item(x))
        return 0;
    for (CellId cell = list_of(x); cell; cell = cell_at(cell).next) {
        const Item item = cell_at(cell).item;
        if (item && test(item))
            return cell;
    }
    return 0;
}

Item item_of(CellId cell) { return cell ? cell_at(cell).item : NO_ITEM; }

} // namespace

long code_length(std::string_view line)
{
    std::size_t end = 0;
    while (end < line.size() && line[end] != '"' && line[end] != '\n' && line[end] != '\0')
        ++end;
    if (end == 0)
        return 0;
    std::size_t last = end - 1;
    while (last > 0 && line[last] == ' ')
        --last;
    if (last == 0)
        return -1;
    return static_cast<long>(last + 1);
}

int readable_kind(unsigned char first, unsigned char second) { return readable_kinds.kinds[first][second]; }

bool is_group(Item x)
{
    if (!is_list_item(x) || !is_line_item(cell_at(list_of(x)).item))
        return false;
    int filled = 0;
    for (CellId cell = list_of(x); cell; cell = cell_at(cell).next)
        if (cell_at(cell).item && ++filled == 2)
            return true;
    return false;
}

bool starts_with_group(Item x) { return is_list_item(x) && is_group(cell_at(list_of(x)).item); }

LineId find_line(Item x, LineKind kind)
{
    const CellId cell = find_cell(x, [kind](Item item) { return is_line_item(item) && line_code_is(line_of(item), kind); });
    return cell ? line_of(cell_at(cell).item) : 0;
}

bool is_XI_group(Item x) { return is_group(x) && find_line(x, KIND_XI); }
bool is_DS_group(Item x) { return is_group(x) && find_line(x, KIND_DS); }
bool has_DT_line(Item x) { return find_line(x, KIND_DT) != 0; }
bool has_XE_line(Item x) { return find_line(x, KIND_XE) != 0; }

bool is_DA_group(Item x) { return is_group(x) && line_kind_is(line_of(first_item(x)), KIND_DA); }
bool is_PP_group(Item x) { return is_group(x) && line_kind_is(line_of(first_item(x)), KIND_PP); }

bool is_timed_list(Item x)
{
    // An XI or DS group, each group's cells walked once for both lines.
    const auto xi_or_ds_line = [](Item item) {
        return is_line_item(item) && (line_code_is(line_of(item), KIND_XI) || line_code_is(line_of(item), KIND_DS));
    };
    return starts_with_group(x) &&
           find_cell(x, [&xi_or_ds_line](Item item) { return is_group(item) && find_cell(item, xi_or_ds_line); });
}

bool all_timed(Item x)
{
    if (!is_list_item(x) || !cell_at(list_of(x)).item)
        return false;
    for (CellId cell = list_of(x); cell; cell = cell_at(cell).next)
        if (!is_timed_list(cell_at(cell).item))
            return false;
    return true;
}

CellId find_XI_group_cell(Item x) { return find_cell(x, is_XI_group); }
CellId find_DS_group_cell(Item x) { return find_cell(x, is_DS_group); }
CellId find_DT_cell(Item x) { return find_cell(x, has_DT_line); }
CellId find_XE_cell(Item x) { return find_cell(x, has_XE_line); }

Item find_XI_group(Item x) { return item_of(find_XI_group_cell(x)); }
Item find_DS_group(Item x) { return item_of(find_DS_group_cell(x)); }
Item find_DT_item(Item x) { return item_of(find_DT_cell(x)); }
Item find_XE_item(Item x) { return item_of(find_XE_cell(x)); }
