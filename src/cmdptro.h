// The merge tool's option table, usage texts and post-processor option string.
#pragma once

#include <string>

struct MergeSettings {
    int log = 0;      // 1 when -LOG was given
    int language = 2; // the LE value handed on (always 2, "GB")
};

int option_language_init();
// Decodes argv against the tool's table; fills `postpro_options` and
// `settings`. False after the decoder has printed its error and usage.
bool merge_options_decode(int argc, char **argv, std::string &postpro_options, MergeSettings &settings);
