// The command-line record: input file names, -TIME and -RDD.
#pragma once

#include <string>
#include <vector>

constexpr int MAX_INPUT_FILES = 1000;

struct CmdLine {
    std::vector<std::string> files; // command-line order, comma lists expanded
    bool time_present = false;
    bool dest_present = false;
    std::string dest_value;
};

// The process-wide record, filled by cmdline_read.
CmdLine &cmdline_record();
void cmdline_read(int argc, char **argv);
bool cmdline_time_requested(const CmdLine &record);
// The -RDD value, or null when the option was not given.
const char *cmdline_rdd_name(const CmdLine &record);
