// Line format: the keyword table of line codes and the predicates on lines
// and groups that every pass of the engine uses. None of the predicates or
// finders changes the tree.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "objet.h"

// Line kinds: the position of a code in rod_keywords, stored in the `tag`
// of a line's code string.
enum LineKind : int32_t {
    KIND_SY = 0,
    KIND_RE = 1,
    KIND_SC = 2,
    KIND_IT = 3,
    KIND_DE = 4,
    KIND_PR = 5,
    KIND_PE = 6,
    KIND_RU = 7,
    KIND_PO = 8,
    KIND_XX = 9,
    KIND_XI = 10,
    KIND_DT = 11,
    KIND_XE = 12,
    KIND_YI = 13,
    KIND_YT = 14,
    KIND_FE = 15,
    KIND_DP = 16,
    KIND_FP = 17,
    KIND_DS = 18,
    KIND_DA = 19,
    KIND_PA = 20,
    KIND_DW = 21,
    KIND_DX = 22,
    KIND_EV = 23,
    KIND_CH = 24,
    KIND_FS = 25,
    KIND_SN = 26,
    KIND_UN = 27,
    KIND_CO = 28,
    KIND_ER = 29,
    KIND_PT = 30,
    KIND_RD = 31,
    KIND_EX = 32,
    KIND_PP = 33,
    KIND_PQ = 34,
    KIND_BF = 35,
    KIND_BC = 36,
    KIND_DB = 37,
    KIND_IE = 38,
    KIND_CF = 39,
    KIND_TP = 40,
    KIND_FW = 41,
    KIND_FF = 42,
    KIND_FQ = 43,
    KIND_FV = 44,
    KIND_FX = 45,
    KIND_FO = 46,
    KIND_FA = 47,
    KIND_FN = 48,
    KIND_FR = 49,
    KIND_FT = 50,
    KIND_TN = 51,
    KIND_TF = 52,
    KIND_FB = 53,
    KIND_IC = 54,
    KIND_ID = 55,
};

constexpr int ROD_KEYWORD_COUNT = 56;

struct RodKeyword {
    const char *code;   // two characters; "" on the end entry
    int length;         // 2; -1 on the end entry
    Objet *string;      // prebuilt OBJ_STRING of the code (tag = kind); null on the end entry
    int token;          // kind + 4; -1 on the end entry
};

// 56 codes in kind order, then the end entry.
extern RodKeyword rod_keywords[ROD_KEYWORD_COUNT + 1];

// Makes the prebuilt strings once (a second call does nothing).
void keywords_init();
// Frees them; keywords_init may be called again afterwards.
void keywords_release();
// The prebuilt code string of a kind (keywords_init must have run).
Objet *keyword_string(LineKind kind);

// Code comparisons on the first two bytes of a code string.
bool code_is(const Objet *code, const char *text);
bool code_is_CO(const Objet *code);
bool code_is_SE(const Objet *code);
bool code_is_DW(const Objet *code);
bool code_is_XI(const Objet *code);
bool code_is_DS(const Objet *code);
bool code_is_UN(const Objet *code);
bool code_is_DA(const Objet *code);
bool code_is_DP(const Objet *code);
bool code_is_SN(const Objet *code);
bool code_is_FP(const Objet *code);
bool code_is_PT(const Objet *code);
bool code_is_PP(const Objet *code);

// The code string of a line (its first item); null when x is not a line.
Objet *line_code(const Objet *line);

// Lines and groups.
bool is_line(const Objet *x);
bool is_group(const Objet *x);
bool starts_with_group(const Objet *x);
// First item of list x that is a line whose code has the same length and
// bytes as the prebuilt string of `keyword`; null when none.
Objet *find_line(const Objet *x, LineKind keyword);
bool is_XI_group(const Objet *x);
bool is_DS_group(const Objet *x);
bool has_DT_line(const Objet *x);
bool has_XE_line(const Objet *x);
bool is_DA_group(const Objet *x);
bool is_PP_group(const Objet *x);
bool is_timed_list(const Objet *x);
bool all_timed(const Objet *x);

// Cell finders: the first cell of x whose item matches; null when none.
Objet *find_XI_group_cell(const Objet *x);
Objet *find_DS_group_cell(const Objet *x);
Objet *find_DT_cell(const Objet *x);
Objet *find_XE_cell(const Objet *x);
// Item finders: the item of the cell the matching cell finder returns, or null.
Objet *find_XI_group(const Objet *x);
Objet *find_DS_group(const Objet *x);
Objet *find_DT_item(const Objet *x);
Objet *find_XE_item(const Objet *x);

// Two OBJ_LONGs with the same value.
bool long_equal(const Objet *a, const Objet *b);

// Code sets: a list of OBJ_STRING codes. A code belongs to the set when the
// first `length` bytes of some member equal the code's text, `length` being
// the code's own length.
bool code_in_set(const Objet *code, const Objet *set);
// A new set holding copies of the prebuilt strings of the given kinds;
// the caller frees it with obj_free.
Objet *code_set_new(std::initializer_list<LineKind> kinds);
