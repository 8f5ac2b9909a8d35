// Input verification: the input holds up to four files (first lines and
// header blocks of RIO and TDC files), separated by a line "@@@@". The
// files are verified and paired as when named on the command line.
#include "harness.h"

#include "cmdline.h"
#include "exec.h"
#include "veriftr.h"

#include <cstdlib>
#include <string>

namespace {

constexpr std::size_t MAX_FILES = 4;

void verify(std::string_view data)
{
    const std::vector<std::string_view> parts = split_input(data, "\n@@@@\n", MAX_FILES);
    CmdLine &record = cmdline_record();
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string name = work_dir() + "/input" + std::to_string(i);
        write_whole_file(name, parts[i]);
        record.files.push_back(name);
    }
    if (verify_input_files() != 1)
        std::abort();
    // Every RIO record left is paired with exactly one remaining TDC.
    int paired = 0;
    for (int t = 0; t < PAIR_TABLE_SIZE; ++t)
        if (tdc_table[t].file_index != -1)
            paired += tdc_table[t].count;
    int rio_records = 0;
    for (const FileRecord &rio : rio_table)
        if (rio.file_index != -1) {
            ++rio_records;
            if (rio.count != 1)
                std::abort();
        }
    if (paired != rio_records)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    harness_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    run_guarded([&] { verify(std::string_view(reinterpret_cast<const char *>(data), size)); });
    return 0;
}
