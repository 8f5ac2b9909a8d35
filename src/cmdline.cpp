#include "cmdline.h"

CmdLine &cmdline_record()
{
    static CmdLine record;
    return record;
}

void cmdline_read(int, char **) { cmdline_record() = CmdLine{}; }

bool cmdline_time_requested(const CmdLine &record) { return record.time_present; }

const char *cmdline_rdd_name(const CmdLine &record)
{
    return record.dest_present ? record.dest_value.c_str() : nullptr;
}
