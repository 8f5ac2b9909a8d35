#include "cmdline.h"

#include "cmdptro.h"
#include "gcmdec.h"
#include "i18nerrgest.h"

CmdLine &cmdline_record()
{
    static CmdLine record;
    return record;
}

// Reads the decoder's state; the words themselves were decoded by
// merge_options_decode.
void cmdline_read(int, char **)
{
    merge_options_check_decoded();
    CmdLine &record = cmdline_record();
    record = CmdLine{};
    for (int n = 1; const ValueCell *name = cmd_param_value(1, n); ++n) {
        if (n > MAX_INPUT_FILES)
            report_fatal("TOOMANYFI", QString(), QString());
        record.files.push_back(name->text);
    }
    record.time_present = cmd_option_state("TIME") != 0;
    const int rdd = cmd_option_state("RDD");
    if (rdd != 0) {
        record.dest_present = true;
        record.dest_value = cmd_option_value(rdd, 1)->text;
    }
}

bool cmdline_time_requested(const CmdLine &record) { return record.time_present; }

const char *cmdline_rdd_name(const CmdLine &record)
{
    return record.dest_present ? record.dest_value.c_str() : nullptr;
}
