// Time keys: the time that orders a line or a group among the items of a
// list, and the fixed key of the closing lines.
#pragma once

#include <cstdint>

#include "rodmodel.h"

// The key shared by every YI, YT, FE and FS line, whatever its fields hold.
constexpr uint32_t FIXED_TIME_KEY = 33;

// Position of the time field of a kind; 0 for kinds without one, including
// YI, YT, FE and FS, whose key is FIXED_TIME_KEY.
int time_field_position(int kind);
// Kinds with a time field of their own (TP, which the engine makes, aside).
bool has_own_time(int kind);

// A time key. A time field holds a value of the report's time base; the
// merge compares what it stands for (see MergeMemo). The fixed key is a
// value of its own, untouched by shifts.
struct TimeKey {
    bool present = false;
    bool fixed = false;
    uint32_t value = 0;
};

TimeKey line_time(LineId line);
// The key of the first line directly in the list that has one; nested
// groups are passed over.
TimeKey group_time(CellId list);
// line_time for a line, group_time for a group, none otherwise.
TimeKey item_time(Item x);
