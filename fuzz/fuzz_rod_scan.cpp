// ROD line scanner: any bytes as a ROD file. The scan keeps the same lines
// and ends the same way with the quote search byte by byte and sixteen
// bytes at a time, and in two halves cut after a newline near the middle; every line it keeps, printed in the report format and
// scanned again, gives the same code, the same text fields and fields that
// read as the same numbers, then its origin pair.
#include "harness.h"

#include "cstsyst.h"
#include "pprint.h"
#include "rodadnam.h"
#include "rodbase.h"
#include "rodload.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};

std::string printed(LineId line)
{
    char *text = nullptr;
    std::size_t size = 0;
    std::unique_ptr<FILE, FileCloser> out(open_memstream(&text, &size));
    {
        OutputBuffer buffer(out.get());
        print_line(buffer, line, false, 0);
        buffer.flush();
    }
    out.reset();
    std::string result(text, size);
    std::free(text);
    return result;
}

std::vector<std::string_view> fields_of(std::string_view bytes)
{
    std::vector<std::string_view> fields;
    FieldCursor cursor(bytes);
    for (std::string_view field; cursor.next(field);)
        fields.push_back(field);
    return fields;
}

void check_round_trip(LineId id)
{
    const Line &line = line_at(id);
    if (!line.has_text)
        return;
    const std::string text = printed(id);
    const std::string_view read = line_bytes(line);
    const long code = code_length(read);
    if (code_length(text) != code || std::memcmp(text.data(), read.data(), static_cast<std::size_t>(code)) != 0)
        std::abort();
    const std::vector<std::string_view> before = fields_of(read);
    const std::vector<std::string_view> after = fields_of(text);
    if (before.size() != line.count || after.size() != before.size() + 2)
        std::abort();
    // The written form exactly: the code, then each field and one blank,
    // whatever separated them when read.
    std::string written(read.substr(0, static_cast<std::size_t>(code)));
    written += ' ';
    for (std::size_t k = 0; k < before.size(); ++k) {
        int32_t a = 0;
        int32_t b = 0;
        const bool numeric = numeric_slot(line.kind, static_cast<int>(k + 1)) >= 0;
        if (numeric ? !field_number(before[k], a) || !field_number(after[k], b) || a != b : before[k] != after[k])
            std::abort();
        written += numeric ? '"' + std::to_string(a) + '"' : std::string(before[k]);
        written += ' ';
    }
    written += "\"" + std::to_string(line.file) + "\" \"" + std::to_string(line.number) + "\" \n";
    if (text != written)
        std::abort();
}

// The records and bytes of the lines a scan keeps, and how it ended.
struct Scanned {
    std::vector<std::string> lines;
    int ending = -1;
    bool operator==(const Scanned &) const = default;
};

Scanned scan(const uint8_t *data, std::size_t size, bool portable, std::size_t cut = 0)
{
    quote_search_portable(portable);
    Scanned scanned;
    scanned.ending = run_guarded([&] {
        char *bytes = rod_bytes_new(size);
        std::memcpy(bytes, data, size);
        std::string header;
        for (LineId id : rod_scan_bytes(bytes, size, 1, false, true, header, cut)) {
            const Line &line = line_at(id);
            scanned.lines.emplace_back(reinterpret_cast<const char *>(&line), sizeof line);
            if (!portable)
                check_round_trip(id);
        }
    });
    quote_search_portable(false);
    return scanned;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    harness_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    // The quote search sixteen bytes at a time finds what the byte loop finds.
    const Scanned whole = scan(data, size, false);
    if (!(scan(data, size, true) == whole))
        std::abort();
    const auto *newline = static_cast<const uint8_t *>(std::memchr(data + size / 2, '\n', size - size / 2));
    if (newline && !(scan(data, size, false, static_cast<std::size_t>(newline - data) + 1) == whole))
        std::abort();
    return 0;
}
