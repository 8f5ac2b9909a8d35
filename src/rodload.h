// ROD loading: reading and scanning a ROD file into its lines, the passes
// that make its tree, and the engine's entry point, the loading loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rodmodel.h"
#include "rodsync.h"

// A physical line is read in pieces of at most this many bytes, newline included.
constexpr std::size_t ROD_LINE_PIECE = 5119;

// One ROD file read and structured: its tree, ready for its synchronisation
// and merge, and what its CF line says of the file.
struct RodFile {
    CellId tree = 0;
    FileLines lines;
    std::string header_field; // field 2 of the header line (the first file's)
    std::size_t size = 0;
    uint16_t crc = 0;
    bool regular = true; // a regular file (its CF line can describe it)
    long long pieces = 0; // lines read, header included (for the phase log)
};

// The first step of the loading: the file's bytes (in room from
// rod_bytes_new, kept by the model) scanned into its flat list of lines:
// every line checked, the code filter, the naming, the conversion of
// numeric fields and the numbering done, TP lines added. `header_field` gets field 2 of the header line when
// `first`. UNEXPTEOF (ERRINTERN for an unknown code) when the text is damaged.
// A `cut` just after a newline has the text from there on scanned on a
// helper thread, as a big file loaded alone is (the result is the same).
ScratchVector<LineId> rod_scan_bytes(char *bytes, std::size_t size, int file, bool time_mode, bool first,
                                     std::string &header_field, std::size_t cut = 0);

// Makes the tree of file number `file` from its bytes, read into room from
// rod_bytes_new (they stay in the model): every line scanned, filtered,
// named, its numeric fields converted and numbered, TP lines added, runs
// closed, blocks nested, the file split in three, unselected blocks pruned
// and timing blocks regrouped. `first` asks for the header field the RDD
// header takes. UNEXPTEOF (ERRINTERN for an unknown code) when its text is
// damaged. `in_halves`: a big text is loaded on two threads, as a big file
// loaded alone is (the result is the same).
RodFile rod_load_bytes(char *bytes, std::size_t size, int file, bool time_mode, bool first, bool in_halves = false);

// The name of the first ROD file that changed under the run since it was
// loaded (it lost pages, or was rewritten in place); empty when none did.
// Its bytes were mapped, so the report written from them is unsound.
std::string rod_file_changed();

// The merged report of every ROD file: heads, body and tails (see
// rodinser.h), and what its writing needs.
struct MergedReport {
    CellId tree = 0;
    std::string header_field;
    uint32_t time_offset = 0; // still to add to every time field (see TimeBase)
    int files = 0;
    bool names_in_heads = true; // every IE line lies in some file's first part
};

// Loads, structures and merges every ROD file of the ROD file table. With
// two cores or more, loader threads read and structure the next files
// while a file is merged; the messages, their order, the exit status and
// the report stay those of the one-file-after-the-other run (a file whose
// loading fails is reported only once the files before it are merged). The
// resource tracker of a harness keeps the run on one thread.
MergedReport rod_load_all(bool time_mode);

// The same loading beside the post-processor runs, on a thread of its own:
// each file is read once its run has written it and merged in file order
// while later runs go on. What the loading says, and the status it would
// end the run with, are kept until rod_pipeline_finish, so that the user
// sees what the one-after-the-other run shows. A process ending before
// then (POSTFAILD, an interruption) first stops the loading and releases
// the model.
struct RodPipeline;
// Starts the loading, once the ROD file table is filled; null when it must
// wait for the runs (a harness's resource tracker, no thread to be had).
RodPipeline *rod_pipeline_start(bool time_mode);
// The run of `slot` wrote its file.
void rod_pipeline_written(RodPipeline &pipeline, int slot);
// After every run succeeded: waits for the loading, then gives what it said
// (ending the process when the loading ended the run) or its report.
MergedReport rod_pipeline_finish(RodPipeline *pipeline);
