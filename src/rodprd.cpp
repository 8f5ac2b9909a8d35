#include "rodprd.h"

#include "cstsyst.h"
#include "pprint.h"
#include "rodadnam.h"
#include "rodbase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <unordered_map>

namespace {

enum class Output { Whole, Skipped, WithoutLastTwoFields };

Output output_of(int kind)
{
    if (kind == KIND_TP || (kind >= KIND_FF && kind <= KIND_FR))
        return Output::Skipped;
    return loses_last_two_fields(kind) ? Output::WithoutLastTwoFields : Output::Whole;
}

// The position of an IE line's name; 0 when the line has no such field.
int ie_name_field(LineId line)
{
    const int count = line_at(line).count;
    const int position = count >= 1 && line_field_text(line, 1) == "\"0\"" ? 2 : 3;
    return position <= count ? position : 0;
}

// Keyed by the names as read: a name made here takes part in no further
// comparison, so "A", "A", "A 2" give "A", "A 2", "A 2".
void number_repeated_name(std::unordered_map<std::string_view, int> &next_counter, LineId line)
{
    const int position = ie_name_field(line);
    if (!position)
        return;
    const std::string_view name = line_field_text(line, position);
    const auto [entry, first] = next_counter.try_emplace(name, 2);
    if (first)
        return;
    std::string text(name);
    if (!text.empty() && text.back() == '"')
        text.pop_back();
    text += ' ' + std::to_string(entry->second++) + '"';
    line_set_field_text(line, position, text_keep(std::move(text)));
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

bool write_rdd_lines(FILE *out, const std::string &header_line, CellId report, uint32_t time_offset)
{
    OutputBuffer buffer(out);
    buffer.add(header_line);
    buffer.add(" \n");
    std::unordered_map<std::string_view, int> next_counter;
    bool ok = buffer.flush();
    for_each_line_cell(report, [&](CellId cell) {
        const LineId line = line_of(cell_at(cell).item);
        const int kind = line_at(line).kind;
        const Output output = output_of(kind);
        if (output == Output::Skipped)
            return true;
        if (kind == KIND_IE)
            number_repeated_name(next_counter, line);
        print_line(buffer, line, output == Output::WithoutLastTwoFields, time_offset);
        return true;
    });
    return buffer.flush() && ok && !std::ferror(out);
}

FILE *rdd_stream_open(const char *target, std::string &temp_name)
{
    temp_name.clear();
    struct stat status {};
    if (stat(target, &status) == 0 && !S_ISREG(status.st_mode)) {
        FILE *file = nullptr;
        return xfopen(target, "w", &file) ? file : nullptr;
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
    return file;
}

bool rdd_stream_finish(FILE *file, bool written, const std::string &temp_name, const char *target)
{
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
