// The whole engine, ROD bytes to RDD bytes. The first input byte picks the
// mode (bit 0: -TIME); the rest holds one to four ROD files separated by a
// line "@@@@". Each file is loaded, structured, synchronised and merged, and
// the report is written as the RDD file would be.
#include "harness.h"

#include "exec.h"
#include "objet.h"
#include "rodload.h"
#include "rodprd.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

constexpr std::size_t MAX_FILES = 4;

// The driver's RDD header line, with a fixed time stamp.
Objet *make_header(Objet *header_lines, Objet *report)
{
    Objet *first_line = header_lines->head.item;
    Objet *field = first_line->link.next->link.next->head.item;
    const std::string text = "KORVA Probeworks \"v2.6a\" " + std::string(field->head.text, field->link.length) +
                             " \"RDD file\" \"Thu Jan 01 00:00:00 2026\"";
    Objet *result = list1(list1(str_new(text.data(), text.size())));
    list_append(result, report);
    cell_release_contents(header_lines);
    obj_free_one(header_lines);
    return result;
}

struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};

void write_report(Objet *report)
{
    char *text = nullptr;
    std::size_t size = 0;
    std::unique_ptr<FILE, FileCloser> out(open_memstream(&text, &size));
    Objet *stream = obj_new(OBJ_STREAM);
    stream->link.stream = out.get();
    number_repeated_names(stream, report);
    const bool written = write_rdd_lines(stream, report);
    stream->link.stream = nullptr;
    obj_free(stream);
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
    Objet *report = rod_load_all(time_mode, make_header);
    write_report(report);
    obj_free(report);
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
