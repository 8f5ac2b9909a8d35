// RDD writing: repeated IE names made distinct, then every line of the
// report written by kind, to a file that replaces the RDD file only once
// complete.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "replfile.h"
#include "rodmodel.h"

// Writes the RDD file: `header_line`, then every line of the report in tree
// order: SY..PO, BF..CF and the CF lines the engine made whole; TP and the
// made closing lines not at all; every other kind without the last two
// fields it was read with. Before an IE line is written, a name met
// before it gets a number ("A", "A" -> "A", "A 2"; the name is field 2 when
// field 1 is "0", else field 3). Time fields are written raised by
// `time_offset`. False as soon as a write fails.
//
// When every IE line lies in the heads (`names_in_heads`), the body and
// tails, which then need no numbering, are formatted on two threads in
// batches written in their order.
bool write_rdd_lines(FILE *out, const std::string &header_line, CellId report, uint32_t time_offset,
                     bool names_in_heads = false);

// Opens a stream writing a file that replaces `target` only once complete
// (see replfile.h); null when it cannot be opened.
FILE *rdd_stream_open(const char *target, ReplacingFile &file);
// Flushes and closes the stream; when `written` and that succeed, the file
// takes the target's place, otherwise it is removed. False on any failure.
bool rdd_stream_finish(FILE *stream, bool written, ReplacingFile &file);
