#include "rodadnam.h"

#include "i18nerrgest.h"
#include "rodbase.h"
#include "rodtri.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <span>
#include <string>

namespace {

[[noreturn]] void unexpected_end() { report_fatal("UNEXPTEOF", QString(), QString()); }

constexpr int32_t code_number(char first, char second)
{
    return static_cast<unsigned char>(first) + 256 * static_cast<unsigned char>(second);
}

// Codes that only the engine makes are never read from a file.
bool is_made_only(int32_t kind) { return kind == KIND_FW || (kind >= KIND_FF && kind <= KIND_FR); }

// Numeric fields per kind, in conversion order.
std::span<const int> numeric_fields(int32_t kind)
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

// Kinds whose last two read fields are left out when the RDD file is written.
bool loses_last_two_fields(int32_t kind)
{
    const bool written_whole = (kind >= KIND_SY && kind <= KIND_PO) || (kind >= KIND_BF && kind <= KIND_CF);
    const bool not_written = kind == KIND_TP || (kind >= KIND_FF && kind <= KIND_FR);
    return !written_whole && !not_written;
}

int fields_needed(int32_t kind)
{
    int needed = loses_last_two_fields(kind) ? 2 : 0;
    for (int position : numeric_fields(kind))
        needed = std::max(needed, position);
    return needed;
}

// A number that does not fit the 32-bit fields would silently wrap.
void check_range(const Objet *field)
{
    const char *text = field->head.text;
    if (field->link.length < 2 || text[0] != '"')
        return;
    const std::string digits(text + 1, field->link.length - 1);
    errno = 0;
    char *end = nullptr;
    const long long value = std::strtoll(digits.c_str(), &end, 10);
    if (end == digits.c_str())
        return;
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
        unexpected_end();
}

void convert_line(Objet *line)
{
    const Objet *code = line->head.item;
    if (code->count < fields_needed(code->tag))
        unexpected_end();
    for (int position : numeric_fields(code->tag)) {
        Objet *cell = list_nth(line, position);
        Objet *text = cell->head.item;
        if (!text || text->kind != OBJ_STRING)
            continue;
        check_range(text);
        obj_free(list_swap_item(cell, long_from_field(text->head.text, text->link.length)));
    }
}

} // namespace

int32_t line_kind_of(const Objet *code)
{
    if (!code || code->kind != OBJ_STRING || code->link.length < 2)
        report_fatal("ERRINTERN", QString(), QString());
    const int32_t wanted = code_number(code->head.text[0], code->head.text[1]);
    for (int32_t kind = 0; kind < ROD_KEYWORD_COUNT; ++kind) {
        const char *known = rod_keywords[kind].code;
        if (!is_made_only(kind) && code_number(known[0], known[1]) == wanted)
            return kind;
    }
    report_fatal("ERRINTERN", QString(), QString());
}

void name_lines(Objet *lines)
{
    for (Objet *cell = lines; cell; cell = cell->link.next) {
        Objet *code = cell->head.item->head.item;
        code->tag = line_kind_of(code);
    }
}

void convert_numeric_fields(Objet *lines)
{
    for (Objet *cell = lines; cell; cell = cell->link.next)
        convert_line(cell->head.item);
}
