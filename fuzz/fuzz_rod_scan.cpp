// ROD line scanner: any bytes as a ROD file. Every scanned line printed back
// in the report format must scan to the same code and fields.
#include "harness.h"

#include "objet.h"
#include "pprint.h"
#include "rodload.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

// Printing a scanned line and scanning the text again gives the same items.
void check_round_trip(Objet *line)
{
    char *text = nullptr;
    std::size_t size = 0;
    FileHandle out(open_memstream(&text, &size));
    Objet *stream = obj_new(OBJ_STREAM);
    stream->link.stream = out.get();
    pprint(stream, line);
    stream->link.stream = nullptr;
    obj_free(stream);
    out.reset();
    std::unique_ptr<char, decltype(&std::free)> printed(text, &std::free);
    Objet *again = rod_scan_line(std::string_view(text, size));
    Objet *a = line;
    Objet *b = again;
    for (; a && b; a = a->link.next, b = b->link.next)
        if (!obj_equal(a->head.item, b->head.item))
            std::abort();
    if (a || b)
        std::abort();
    obj_free(again);
}

void scan(const uint8_t *data, std::size_t size)
{
    // fmemopen refuses an empty buffer; /dev/null reads as an empty file.
    std::unique_ptr<char[]> copy(new char[size + 1]);
    std::memcpy(copy.get(), data, size);
    FileHandle in(size ? fmemopen(copy.get(), size, "r") : std::fopen("/dev/null", "r"));
    if (!in)
        std::abort();
    Objet *stream = obj_new(OBJ_STREAM);
    stream->link.stream = in.get();
    Objet *lines = rod_read_lines(stream);
    stream->link.stream = nullptr;
    obj_free(stream);
    if (!lines)
        return;
    for (Objet *cell = lines; cell; cell = cell->link.next)
        check_round_trip(cell->head.item);
    Objet *file_number = int_new(1);
    number_lines(file_number, lines);
    obj_free(file_number);
    obj_free(lines);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    harness_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    run_guarded([&] { scan(data, size); });
    return 0;
}
