// RDD writing: repeated IE names made distinct, then every line of the
// report written by kind, to a temporary file that replaces the RDD file only
// once complete.
#pragma once

#include <string>

#include "objet.h"

// Numbers the second and later IE lines of the same name: "A" -> "A 2",
// "A 3"... (the name is field 2 when field 1 is "0", else field 3). Writes
// nothing; `stream` is not used.
void number_repeated_names(Objet *stream, Objet *report);

// Writes every line of the report with pprint: SY..PO, BF..CF and lines the
// engine or driver made (tag 1) whole; TP and the made closing lines not at
// all; every other kind without the last two fields it was read with.
// Returns false as soon as a write fails.
bool write_rdd_lines(Objet *stream, Objet *report);

// Opens a new temporary file beside `target` for writing the RDD file (or
// `target` itself when it exists and is not a regular file, such as a
// device); `temp_name` gets the temporary name (empty when writing
// directly). Null when it cannot be opened.
Objet *rdd_stream_open(const char *target, std::string &temp_name);
// Flushes and closes the stream; when `written` and that succeed, renames the
// temporary file over `target`, otherwise removes it. False on any failure.
bool rdd_stream_finish(Objet *stream, bool written, const std::string &temp_name, const char *target);
