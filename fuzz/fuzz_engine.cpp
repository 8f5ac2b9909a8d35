// The whole engine, ROD bytes to RDD bytes. The first input byte picks the
// mode (bit 0: -TIME); the rest holds one to four ROD files separated by a
// line "@@@@". Each file is loaded, structured, synchronised and merged, and
// the report is written as the RDD file would be.
#include "harness.h"

#include "exec.h"
#include "rodload.h"
#include "rodprd.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

constexpr std::size_t MAX_FILES = 4;

struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};

void write_report(const MergedReport &report)
{
    char *text = nullptr;
    std::size_t size = 0;
    std::unique_ptr<FILE, FileCloser> out(open_memstream(&text, &size));
    const std::string header = "KORVA Probeworks \"v2.6a\" " + report.header_field + " \"RDD file\" \"-\"";
    const bool written = write_rdd_lines(out.get(), header, report.tree, report.time_offset);
    out.reset();
    std::free(text);
    if (!written)
        std::abort();
}

void merge(std::string_view data)
{
    if (data.empty())
        return;
    const bool time_mode = data[0] & 1;
    const std::vector<std::string_view> files = split_input(data.substr(1), "\n@@@@\n", MAX_FILES);
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string name = work_dir() + "/run" + std::to_string(i + 1) + ".rod";
        write_whole_file(name, files[i]);
        set_rod_name(static_cast<int>(i), name);
    }
    const MergedReport report = rod_load_all(time_mode);
    if (report.files)
        write_report(report);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    harness_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    run_guarded([&] { merge(std::string_view(reinterpret_cast<const char *>(data), size)); });
    return 0;
}
