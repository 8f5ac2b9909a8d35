// TP lines: XX, ER, EX and PP lines carry no time of their own; the engine
// puts a TP line after each, holding the time of the last timed line
// before it in the file (0 when none), so that their blocks get one.
#pragma once

#include <cstdint>

#include "rodmodel.h"

struct TpLines {
    int32_t last_time = 0;
    bool timed = false; // some timed line came before
};

// Called for every line of the file's flat list, in order: returns the TP
// line to put after it, or 0.
LineId tp_line_after(TpLines &tp, LineId line);
