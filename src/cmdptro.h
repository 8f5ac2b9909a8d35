// The merge tool's option table, usage texts and post-processor option string.
#pragma once

#include "gcmdec.h"

#include <string>

struct MergeSettings {
    int log = 0;      // 1 when -LOG was given
    int language = 2; // the LE value handed on (always 2, "GB")
};

// Values derived once from the decoded options.
struct MergeOptions {
    int ra = 0;          // 0 RA, 1 TEST, 2 ERR
    int va = 0;          // 0 EVAL, 1 NOEVAL, 2 COMBINE
    int le = 2;          // always 2 (GB): -LE is validated but not used
    int comment = 1;     // 0 after -NOCOMMENT
    int landscape = 1;   // 0 after -PORTRAIT
    int log = 0;         // 1 after -LOG
    int summary_off = 1; // 0 after -SUMMARY
    int rod = 1;
    int noro = 0;        // 1 after -NORO
};

// The decoder table of the tool: options in chain order (RA is position 1,
// TIME position 12) and the positional argument "TDC_and_RIO_files".
CmdTable &merge_option_table();

// Sets the option language to slot 2 (English names and usage) and returns 2.
int option_language_init();
// Decodes argv against the tool's table; fills `postpro_options` and
// `settings`. False after the decoder has printed its error and usage.
bool merge_options_decode(int argc, char **argv, std::string &postpro_options, MergeSettings &settings);

// Ends the run with INITPBRLM (system error) unless the last decoding succeeded.
void merge_options_check_decoded();
// The derived values; checked like merge_options_check_decoded.
const MergeOptions &merge_options();
