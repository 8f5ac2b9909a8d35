// Time keys, time-ordered insertion, list positions and line field access.
//
// Field positions: position 0 of a line is its code string, position k
// (k >= 1) its k-th field; the origin pairs of a read line follow its fields.
// The accessors do not check a line's kind or length: callers apply them to
// lines whose kind they have established.
#pragma once

#include <cstdint>

#include "objet.h"

// Element counts (code plus fields). The first origin pair of a line stands
// at this position: XI_ELEMENTS also for DT and XE lines, YI_ELEMENTS also
// for YT and FE lines.
constexpr int DS_ELEMENTS = 8;
constexpr int XI_ELEMENTS = 4;
constexpr int YI_ELEMENTS = 3;
constexpr int FS_ELEMENTS = 6;

// The time key shared by every YI, YT, FE and FS line: one OBJ_LONG of
// value 33, made by time_key_init (a second call does nothing). Never
// change or free it through a line.
extern Objet *fixed_time_key;
constexpr int32_t FIXED_TIME_KEY_VALUE = 33;
void time_key_init();

// List positions (walking list cells only).
// The cell at 0-based position n; null when the list is shorter.
Objet *list_nth(Objet *list, int n);
// The cell at position n from the end (0 is the last cell); null when shorter.
Objet *list_from_end(Objet *list, int n);
// Puts x as the cell's item; returns the previous item.
Objet *list_swap_item(Objet *cell, Objet *x);

// The item at position k of a line (null past its end).
Objet *line_field(Objet *line, int k);
// Replaces the item at position k and returns the old one (the caller owns it).
Objet *line_set_field(Objet *line, int k, Objet *x);
// The value of the OBJ_LONG at position k.
int32_t line_long(Objet *line, int k);
// Sets the value of the OBJ_LONG at position k in place.
void line_set_long(Objet *line, int k, int32_t value);

// Position of the time field of a line kind; 0 for kinds without one,
// including YI, YT, FE and FS, whose key is fixed_time_key.
int time_field_position(int32_t kind);
// The line's time key object (not a copy); null for kinds without key.
Objet *line_time(Objet *line);
// The key of the first item of the list whose line_time is non-null; nested
// groups are passed over (their first item is no code string).
Objet *group_time(Objet *list);
// line_time for a line, group_time for a group, null otherwise.
Objet *item_time(Objet *x);
// Inserts the item in time order (unsigned 32-bit comparison; equal keys keep
// arrival order, the new one last) and returns the list's first cell. An
// item without key ends the run with UNEXPTEOF; an item already in the list
// without key is never the insertion point.
Objet *insert_by_time(Objet *list, Objet *item);

// Named accessors: get_<KIND>_<k>(line) returns the item at position k,
// set_<KIND>_<k>(line, x) replaces it and returns the old item.
#define ZV_LINE_FIELD(KIND, K)                                                                                        \
    inline Objet *get_##KIND##_##K(Objet *line) { return line_field(line, K); }                                      \
    inline Objet *set_##KIND##_##K(Objet *line, Objet *x) { return line_set_field(line, K, x); }

// SY: 1 clock name (text), 2 origin high part, 3 origin low part, 4 period,
// 5 time unit, 6 unit label (text).
ZV_LINE_FIELD(SY, 1)
ZV_LINE_FIELD(SY, 2)
ZV_LINE_FIELD(SY, 3)
ZV_LINE_FIELD(SY, 4)
ZV_LINE_FIELD(SY, 5)
ZV_LINE_FIELD(SY, 6)
// XI, DT, XE: 1 start time (the time key); XI 2 and 3 numeric.
ZV_LINE_FIELD(XI, 1)
ZV_LINE_FIELD(XI, 2)
ZV_LINE_FIELD(XI, 3)
ZV_LINE_FIELD(DT, 1)
ZV_LINE_FIELD(XE, 1)
// YI, YT, FE: 1 end time.
ZV_LINE_FIELD(YI, 1)
ZV_LINE_FIELD(YT, 1)
ZV_LINE_FIELD(FE, 1)
ZV_LINE_FIELD(DP, 2)
// DS: 1 and 4 scenario identity (text), 5 start time, 6 numeric, 7 order key.
ZV_LINE_FIELD(DS, 1)
ZV_LINE_FIELD(DS, 4)
ZV_LINE_FIELD(DS, 5)
ZV_LINE_FIELD(DS, 6)
ZV_LINE_FIELD(DS, 7)
ZV_LINE_FIELD(DA, 3)
ZV_LINE_FIELD(DA, 4)
ZV_LINE_FIELD(DA, 5)
ZV_LINE_FIELD(DW, 3)
ZV_LINE_FIELD(DW, 4)
ZV_LINE_FIELD(DW, 5)
ZV_LINE_FIELD(EV, 3)
ZV_LINE_FIELD(EV, 5)
// FS: 2 numeric, 3 verdict (text).
ZV_LINE_FIELD(FS, 2)
ZV_LINE_FIELD(FS, 3)
ZV_LINE_FIELD(SN, 4)
ZV_LINE_FIELD(SN, 5)
ZV_LINE_FIELD(SN, 6)
// RD: 1 rendezvous name (text), 3 and 4 numeric, 5 time.
ZV_LINE_FIELD(RD, 1)
ZV_LINE_FIELD(RD, 3)
ZV_LINE_FIELD(RD, 4)
ZV_LINE_FIELD(RD, 5)
// IE: 1, 2, 3 (text).
ZV_LINE_FIELD(IE, 1)
ZV_LINE_FIELD(IE, 2)
ZV_LINE_FIELD(IE, 3)
ZV_LINE_FIELD(TP, 1)
ZV_LINE_FIELD(FW, 3)
ZV_LINE_FIELD(FW, 4)
ZV_LINE_FIELD(FW, 5)
ZV_LINE_FIELD(FT, 1)
ZV_LINE_FIELD(FT, 2)
ZV_LINE_FIELD(TN, 1)
ZV_LINE_FIELD(TN, 2)
ZV_LINE_FIELD(TF, 1)
ZV_LINE_FIELD(TF, 2)
ZV_LINE_FIELD(FB, 1)
ZV_LINE_FIELD(FB, 2)
ZV_LINE_FIELD(IC, 5)
ZV_LINE_FIELD(IC, 7)
ZV_LINE_FIELD(ID, 4)
ZV_LINE_FIELD(ID, 5)

#undef ZV_LINE_FIELD
