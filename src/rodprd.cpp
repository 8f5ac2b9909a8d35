#include "rodprd.h"

#include "pprint.h"
#include "rodadcf.h"
#include "rodbase.h"
#include "rodtri.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_map>

namespace {

enum class Output { Whole, Skipped, WithoutLastTwoFields };

Output output_of(int32_t kind)
{
    if ((kind >= KIND_SY && kind <= KIND_PO) || (kind >= KIND_BF && kind <= KIND_CF))
        return Output::Whole;
    if (kind == KIND_TP || (kind >= KIND_FF && kind <= KIND_FR))
        return Output::Skipped;
    return Output::WithoutLastTwoFields;
}

// The last two fields a line was read with are internal to the ROD file.
void drop_last_two_fields(Objet *line)
{
    const int32_t count = line->head.item->count;
    for (int k = count - 1 < 1 ? 1 : count - 1; k <= count; ++k) {
        if (Objet *cell = list_nth(line, k)) {
            obj_free(cell->head.item);
            cell->head.item = nullptr;
        }
    }
}

std::string_view text_of(const Objet *string) { return {string->head.text, string->link.length}; }

// The cell holding an IE line's name; null when the line has no such field.
Objet *ie_name_cell(Objet *line)
{
    const int32_t count = line->head.item->count;
    const Objet *first = count >= 1 ? line_field(line, 1) : nullptr;
    const int position = first && first->kind == OBJ_STRING && text_of(first) == "\"0\"" ? 2 : 3;
    Objet *cell = position <= count ? list_nth(line, position) : nullptr;
    return cell && cell->head.item && cell->head.item->kind == OBJ_STRING ? cell : nullptr;
}

void rename_with_counter(Objet *cell, int counter)
{
    std::string text(text_of(cell->head.item));
    if (!text.empty() && text.back() == '"')
        text.pop_back();
    text += ' ' + std::to_string(counter) + '"';
    obj_free(cell->head.item);
    cell->head.item = str_new(text.data(), text.size());
}

mode_t new_file_mode(const char *target)
{
    struct stat status {};
    if (stat(target, &status) == 0)
        return status.st_mode & 07777;
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

} // namespace

void number_repeated_names(Objet *, Objet *report)
{
    // Keyed by the names as read: a name made here takes part in no further
    // comparison, so "A", "A", "A 2" give "A", "A 2", "A 2".
    std::unordered_map<std::string, int> next_counter;
    for_each_line_cell(report, [&next_counter](Objet *cell) {
        Objet *line = cell->head.item;
        if (line->head.item->tag != KIND_IE)
            return true;
        if (Objet *name = ie_name_cell(line)) {
            const auto [entry, first] = next_counter.try_emplace(std::string(text_of(name->head.item)), 2);
            if (!first)
                rename_with_counter(name, entry->second++);
        }
        return true;
    });
}

bool write_rdd_lines(Objet *stream, Objet *report)
{
    FILE *out = stream->link.stream;
    bool ok = !std::ferror(out);
    for_each_line_cell(report, [stream, out, &ok](Objet *cell) {
        Objet *line = cell->head.item;
        const Output output = output_of(line->head.item->tag);
        if (output == Output::Skipped)
            return true;
        if (output == Output::WithoutLastTwoFields)
            drop_last_two_fields(line);
        pprint(stream, line);
        ok = !std::ferror(out);
        return ok;
    });
    return ok;
}

Objet *rdd_stream_open(const char *target, std::string &temp_name)
{
    temp_name.clear();
    struct stat status {};
    if (stat(target, &status) == 0 && !S_ISREG(status.st_mode)) {
        Objet *name = str_new(target, std::strlen(target));
        Objet *mode = str_new("w", 1);
        Objet *stream = stream_open(name, mode);
        obj_free(name);
        obj_free(mode);
        return stream;
    }
    std::string pattern = std::string(target) + ".XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0)
        return nullptr;
    FILE *file = fchmod(fd, new_file_mode(target)) == 0 ? fdopen(fd, "w") : nullptr;
    if (!file) {
        close(fd);
        unlink(pattern.c_str());
        return nullptr;
    }
    temp_name = pattern;
    Objet *stream = obj_new(OBJ_STREAM);
    stream->link.stream = file;
    return stream;
}

bool rdd_stream_finish(Objet *stream, bool written, const std::string &temp_name, const char *target)
{
    FILE *file = stream->link.stream;
    stream->link.stream = nullptr;
    bool ok = written && std::fflush(file) == 0 && !std::ferror(file);
    // Durable before it replaces the target; file systems without fsync pass.
    if (ok && !temp_name.empty() && fsync(fileno(file)) != 0)
        ok = errno == EINVAL || errno == ENOTSUP;
    ok = std::fclose(file) == 0 && ok;
    if (temp_name.empty())
        return ok;
    if (ok)
        ok = std::rename(temp_name.c_str(), target) == 0;
    if (!ok)
        std::remove(temp_name.c_str());
    return ok;
}
