// ROD loading: the line scanner and the engine's entry point.
#pragma once

#include <cstddef>
#include <string_view>

#include "objet.h"
#include "rodinser.h"
#include "rodsync.h"

// Puts the RDD header line in front of the merged report (the driver's).
using RddHeaderMaker = Objet *(*)(Objet *header_lines, Objet *report);

// A physical line is read in pieces of at most this many bytes, newline included.
constexpr std::size_t ROD_LINE_PIECE = 5119;

// Reads the whole file behind an open stream object; returns the list of
// scanned lines in file order, or null for an empty file.
Objet *rod_read_lines(Objet *stream);
// The same, reading the stream piece by piece, byte by byte, as the
// straightforward reader does (the tests compare the two).
Objet *rod_read_lines_reference(Objet *stream);
// Scans one line (newline included or not) into a list: the code string,
// then every double-quoted field as written. A code shorter than two
// characters or an unterminated field ends the run with UNEXPTEOF.
Objet *rod_scan_line(std::string_view line);
// Length of the line code from `start`, trailing blanks cut; -1 when only a
// single character or blanks are left, 0 when the line starts with a double
// quote or its newline.
long code_length(const char *text, std::size_t length, std::size_t start);
// Offset of the first double quote in [from, length); -1 when none.
long find_quote(const char *text, std::size_t length, std::size_t from);
// Offset of the quote closing the field opened at `open` (doubled quotes
// stay inside the field); -1 when the text ends first.
long find_closing_quote(const char *text, std::size_t length, std::size_t open);

// Stores each line's number of fields in its code's count, then appends a
// copy of `file_number` (tag 3) and the line number 1, 2, ... (tag 2).
// Returns `lines`; the caller keeps ownership of `file_number`.
Objet *number_lines(Objet *file_number, Objet *lines);

// The passes that turn a numbered file body (the lines after its header
// line) into its tree, in their fixed order: code filter, naming,
// conversion, TP lines, closing runs, nesting, pruning, regrouping.
Objet *rod_structure_lines(Objet *lines, bool time_mode);

// What the loading loop keeps from one file to the next for the
// synchronisation and the merge (nothing in the reference run, see
// merge_use_reference). For each file's tree, in file order:
// synchronise_next, then merge_next; after the last, finish_merge.
struct MergeState {
    MergedClockLines clocks;
    MergeMemo memo;
    bool remember;
    MergeState();
};
void synchronise_next(MergeState &state, Objet *merged, Objet *tree);
// Takes the tree; returns the merged report.
Objet *merge_next(MergeState &state, Objet *merged, Objet *tree, bool time_mode);
// Writes what the merged report's times still wait for.
void finish_merge(MergeState &state, Objet *merged);

// Loads, structures and merges every ROD file of the ROD file table; returns
// the report that make_header returned. With two cores or more, loader
// threads read and structure the next files while a file is merged; the
// messages, their order, the exit status and the report stay those of the
// one-file-after-the-other run (a file whose loading fails is reported only
// once the files before it are merged). The test hooks of the allocation
// wrappers keep the run on one thread.
Objet *rod_load_all(bool time_mode, RddHeaderMaker make_header);
// With `enabled` false, rod_load_all loads every file itself (the tests
// compare both).
void rod_use_load_ahead(bool enabled);
