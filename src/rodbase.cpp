#include "rodbase.h"

#include <cstring>

RodKeyword rod_keywords[ROD_KEYWORD_COUNT + 1] = {
    {"SY", 2, nullptr, 4},  {"RE", 2, nullptr, 5},  {"SC", 2, nullptr, 6},  {"IT", 2, nullptr, 7},
    {"DE", 2, nullptr, 8},  {"PR", 2, nullptr, 9},  {"PE", 2, nullptr, 10}, {"RU", 2, nullptr, 11},
    {"PO", 2, nullptr, 12}, {"XX", 2, nullptr, 13}, {"XI", 2, nullptr, 14}, {"DT", 2, nullptr, 15},
    {"XE", 2, nullptr, 16}, {"YI", 2, nullptr, 17}, {"YT", 2, nullptr, 18}, {"FE", 2, nullptr, 19},
    {"DP", 2, nullptr, 20}, {"FP", 2, nullptr, 21}, {"DS", 2, nullptr, 22}, {"DA", 2, nullptr, 23},
    {"PA", 2, nullptr, 24}, {"DW", 2, nullptr, 25}, {"DX", 2, nullptr, 26}, {"EV", 2, nullptr, 27},
    {"CH", 2, nullptr, 28}, {"FS", 2, nullptr, 29}, {"SN", 2, nullptr, 30}, {"UN", 2, nullptr, 31},
    {"CO", 2, nullptr, 32}, {"ER", 2, nullptr, 33}, {"PT", 2, nullptr, 34}, {"RD", 2, nullptr, 35},
    {"EX", 2, nullptr, 36}, {"PP", 2, nullptr, 37}, {"PQ", 2, nullptr, 38}, {"BF", 2, nullptr, 39},
    {"BC", 2, nullptr, 40}, {"DB", 2, nullptr, 41}, {"IE", 2, nullptr, 42}, {"CF", 2, nullptr, 43},
    {"TP", 2, nullptr, 44}, {"FW", 2, nullptr, 45}, {"FF", 2, nullptr, 46}, {"FQ", 2, nullptr, 47},
    {"FV", 2, nullptr, 48}, {"FX", 2, nullptr, 49}, {"FO", 2, nullptr, 50}, {"FA", 2, nullptr, 51},
    {"FN", 2, nullptr, 52}, {"FR", 2, nullptr, 53}, {"FT", 2, nullptr, 54}, {"TN", 2, nullptr, 55},
    {"TF", 2, nullptr, 56}, {"FB", 2, nullptr, 57}, {"IC", 2, nullptr, 58}, {"ID", 2, nullptr, 59},
    {"", -1, nullptr, -1},
};

namespace {

bool keywords_ready = false;

bool is_cell(const Objet *x) { return x && x->kind == OBJ_LIST; }

bool is_string(const Objet *x) { return x && x->kind == OBJ_STRING; }

bool same_text(const Objet *a, const Objet *b)
{
    return a->link.length == b->link.length && std::memcmp(a->head.text, b->head.text, a->link.length) == 0;
}

// First list cell of x whose item satisfies `test`.
template <typename Test> Objet *find_cell(const Objet *x, Test test)
{
    for (const Objet *cell = x; is_cell(cell); cell = cell->link.next)
        if (cell->head.item && test(cell->head.item))
            return const_cast<Objet *>(cell);
    return nullptr;
}

Objet *item_of(const Objet *cell) { return cell ? cell->head.item : nullptr; }

} // namespace

void keywords_init()
{
    if (keywords_ready)
        return;
    for (int kind = 0; kind < ROD_KEYWORD_COUNT; ++kind) {
        RodKeyword &entry = rod_keywords[kind];
        entry.string = str_new(entry.code, static_cast<size_t>(entry.length));
        entry.string->tag = kind;
    }
    keywords_ready = true;
}

void keywords_release()
{
    if (!keywords_ready)
        return;
    for (int kind = 0; kind < ROD_KEYWORD_COUNT; ++kind) {
        obj_free(rod_keywords[kind].string);
        rod_keywords[kind].string = nullptr;
    }
    keywords_ready = false;
}

Objet *keyword_string(LineKind kind) { return rod_keywords[kind].string; }

bool code_is(const Objet *code, const char *text)
{
    return is_string(code) && code->link.length >= 2 && code->head.text[0] == text[0] &&
           code->head.text[1] == text[1];
}

bool code_is_CO(const Objet *code) { return code_is(code, "CO"); }
bool code_is_SE(const Objet *code) { return code_is(code, "SE"); }
bool code_is_DW(const Objet *code) { return code_is(code, "DW"); }
bool code_is_XI(const Objet *code) { return code_is(code, "XI"); }
bool code_is_DS(const Objet *code) { return code_is(code, "DS"); }
bool code_is_UN(const Objet *code) { return code_is(code, "UN"); }
bool code_is_DA(const Objet *code) { return code_is(code, "DA"); }
bool code_is_DP(const Objet *code) { return code_is(code, "DP"); }
bool code_is_SN(const Objet *code) { return code_is(code, "SN"); }
bool code_is_FP(const Objet *code) { return code_is(code, "FP"); }
bool code_is_PT(const Objet *code) { return code_is(code, "PT"); }
bool code_is_PP(const Objet *code) { return code_is(code, "PP"); }

Objet *line_code(const Objet *line) { return is_line(line) ? line->head.item : nullptr; }

bool is_line(const Objet *x) { return is_cell(x) && is_string(x->head.item); }

bool is_group(const Objet *x)
{
    if (!is_cell(x) || !is_line(x->head.item))
        return false;
    int filled = 0;
    for (const Objet *cell = x; is_cell(cell); cell = cell->link.next)
        if (cell->head.item && ++filled == 2)
            return true;
    return false;
}

bool starts_with_group(const Objet *x) { return is_cell(x) && is_group(x->head.item); }

Objet *find_line(const Objet *x, LineKind keyword)
{
    const Objet *wanted = rod_keywords[keyword].string;
    Objet *cell = find_cell(x, [wanted](const Objet *item) {
        return is_line(item) && same_text(item->head.item, wanted);
    });
    return item_of(cell);
}

bool is_XI_group(const Objet *x) { return is_group(x) && find_line(x, KIND_XI); }
bool is_DS_group(const Objet *x) { return is_group(x) && find_line(x, KIND_DS); }
bool has_DT_line(const Objet *x) { return find_line(x, KIND_DT) != nullptr; }
bool has_XE_line(const Objet *x) { return find_line(x, KIND_XE) != nullptr; }
bool is_DA_group(const Objet *x) { return is_group(x) && code_is_DA(line_code(x->head.item)); }
bool is_PP_group(const Objet *x) { return is_group(x) && code_is_PP(line_code(x->head.item)); }

bool is_timed_list(const Objet *x)
{
    return starts_with_group(x) &&
           find_cell(x, [](const Objet *item) { return is_XI_group(item) || is_DS_group(item); });
}

bool all_timed(const Objet *x)
{
    if (!is_cell(x) || !is_cell(x->head.item))
        return false;
    for (const Objet *cell = x; is_cell(cell); cell = cell->link.next)
        if (!is_timed_list(cell->head.item))
            return false;
    return true;
}

Objet *find_XI_group_cell(const Objet *x)
{
    return find_cell(x, [](const Objet *item) { return is_cell(item) && is_XI_group(item); });
}

Objet *find_DS_group_cell(const Objet *x)
{
    return find_cell(x, [](const Objet *item) { return is_cell(item) && is_DS_group(item); });
}

Objet *find_DT_cell(const Objet *x) { return find_cell(x, has_DT_line); }
Objet *find_XE_cell(const Objet *x) { return find_cell(x, has_XE_line); }

Objet *find_XI_group(const Objet *x) { return item_of(find_XI_group_cell(x)); }
Objet *find_DS_group(const Objet *x) { return item_of(find_DS_group_cell(x)); }
Objet *find_DT_item(const Objet *x) { return item_of(find_DT_cell(x)); }
Objet *find_XE_item(const Objet *x) { return item_of(find_XE_cell(x)); }

bool long_equal(const Objet *a, const Objet *b)
{
    return a && b && a->kind == OBJ_LONG && b->kind == OBJ_LONG && a->link.value == b->link.value;
}

bool code_in_set(const Objet *code, const Objet *set)
{
    if (!is_string(code))
        return false;
    const char *text = code->head.text;
    const std::size_t length = code->link.length;
    // Codes are two letters nearly always: compare those without a call.
    return find_cell(set, [text, length](const Objet *member) {
               if (!is_string(member) || member->link.length < length)
                   return false;
               const char *other = member->head.text;
               if (length == 2)
                   return other[0] == text[0] && other[1] == text[1];
               return std::memcmp(other, text, length) == 0;
           }) != nullptr;
}

Objet *code_set_new(std::initializer_list<LineKind> kinds)
{
    Objet *set = nullptr;
    Objet *last = nullptr;
    for (LineKind kind : kinds) {
        list_push_back(set, last, obj_copy(rod_keywords[kind].string));
    }
    return set;
}
