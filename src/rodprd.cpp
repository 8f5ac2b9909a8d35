#include "rodprd.h"

#include "cstsyst.h"
#include "pprint.h"
#include "rodadnam.h"
#include "rodbase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

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

// Writes lines in tree order. The lines of a merged report lie scattered
// over every file's records and bytes: they are taken a batch at a time,
// their records and then their bytes fetched ahead, so that the waits for
// memory overlap instead of adding up.
class LineWriter {
public:
    LineWriter(OutputBuffer &buffer, uint32_t time_offset, std::unordered_map<std::string_view, int> *names)
        : buffer_(buffer), time_offset_(time_offset), names_(names)
    {
    }
    ~LineWriter() { flush(); }

    bool line(CellId cell)
    {
        add(line_of(cell_at(cell).item));
        return true;
    }
    void add(LineId line)
    {
        batch_[size_++] = line;
        if (size_ == BATCH)
            flush();
    }
    // The lines of `count` cells from `first` (each a line, or a list).
    void cells(CellId first, uint32_t count)
    {
        CellId cell = first;
        for (uint32_t k = 0; k < count && cell; ++k, cell = cell_at(cell).next) {
            const Item item = cell_at(cell).item;
            if (is_line_item(item))
                line(cell);
            else if (is_list_item(item))
                for_each_line_cell(list_of(item), [this](CellId inner) { return line(inner); });
        }
    }
    void flush()
    {
        for (uint32_t at = 0; at < size_; ++at)
            __builtin_prefetch(&line_at(batch_[at]));
        for (uint32_t at = 0; at < size_; ++at) {
            const Line &record = line_at(batch_[at]);
            if (record.has_text)
                __builtin_prefetch(line_bytes(record).data());
        }
        for (uint32_t at = 0; at < size_; ++at)
            write(batch_[at]);
        size_ = 0;
    }

private:
    static constexpr uint32_t BATCH = 32;

    void write(LineId line)
    {
        const int kind = line_at(line).kind;
        const Output output = output_of(kind);
        if (output == Output::Skipped)
            return;
        if (kind == KIND_IE && names_)
            number_repeated_name(*names_, line);
        print_line(buffer_, line, output == Output::WithoutLastTwoFields, time_offset_);
    }

    OutputBuffer &buffer_;
    uint32_t time_offset_;
    std::unordered_map<std::string_view, int> *names_;
    LineId batch_[BATCH];
    uint32_t size_ = 0;
};

// The lines of a walk formatted by two threads, a batch at a time, and
// written in their order by the first, at most eight batches ahead.
class ParallelWriter {
public:
    ParallelWriter(OutputBuffer &out, LineCursor &walk, uint32_t time_offset)
        : out_(out), walk_(walk), time_offset_(time_offset)
    {
    }

    // False when no helper thread could be started (nothing was written).
    bool run()
    {
        std::thread helper;
        try {
            helper = std::thread([this] { format_batches(false); });
        } catch (const std::system_error &) {
            return false;
        }
        format_batches(true);
        helper.join();
        return true;
    }

private:
    static constexpr uint64_t AHEAD = 8;
    static constexpr uint32_t BATCH = 4096;

    // Takes batches to format until none is left; the writing thread also
    // writes the formatted ones in order.
    void format_batches(bool writes)
    {
        std::string text;
        std::vector<LineId> lines(BATCH);
        std::unique_lock lock(mutex_);
        for (;;) {
            if (writes)
                write_ready(lock);
            if (taken_ - written_ < AHEAD && !exhausted_) {
                const uint32_t count = take_lines(lines.data());
                if (!count) {
                    exhausted_ = true;
                    changed_.notify_all();
                    continue;
                }
                const uint64_t number = taken_++;
                lock.unlock();
                format(lines.data(), count, text);
                lock.lock();
                formatted_.emplace(number, std::move(text));
                text.clear();
                changed_.notify_all();
                continue;
            }
            if (exhausted_ && (!writes || written_ == taken_))
                return;
            changed_.wait(lock);
        }
    }

    // Up to BATCH of the next lines of the walk; how many (0 at the end).
    uint32_t take_lines(LineId *lines)
    {
        uint32_t taken = 0;
        for (CellId cell; taken < BATCH && (cell = walk_.next());)
            lines[taken++] = line_of(cell_at(cell).item);
        return taken;
    }

    void write_ready(std::unique_lock<std::mutex> &lock)
    {
        for (auto next = formatted_.find(written_); next != formatted_.end(); next = formatted_.find(written_)) {
            const std::string text = std::move(next->second);
            formatted_.erase(next);
            lock.unlock();
            out_.add(text);
            lock.lock();
            ++written_;
            changed_.notify_all();
        }
    }

    void format(const LineId *lines, uint32_t count, std::string &text)
    {
        OutputBuffer buffer(text);
        {
            LineWriter writer(buffer, time_offset_, nullptr);
            for (uint32_t at = 0; at < count; ++at)
                writer.add(lines[at]);
        }
        buffer.flush();
    }

    OutputBuffer &out_;
    LineCursor &walk_;
    uint32_t time_offset_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<uint64_t, std::string> formatted_;
    uint64_t taken_ = 0;
    uint64_t written_ = 0;
    bool exhausted_ = false;
};

bool two_threads_worth_it() { return std::thread::hardware_concurrency() >= 2 && !allocation_hooks_active(); }

} // namespace

bool write_rdd_lines(FILE *out, const std::string &header_line, CellId report, uint32_t time_offset,
                     bool names_in_heads)
{
    OutputBuffer buffer(out);
    buffer.add(header_line);
    buffer.add(" \n");
    std::unordered_map<std::string_view, int> names;
    const CellId body = report ? cell_at(report).next : 0;
    if (names_in_heads && body && two_threads_worth_it()) {
        LineWriter(buffer, time_offset, &names).cells(report, 1);
        LineCursor rest(body);
        if (!ParallelWriter(buffer, rest, time_offset).run())
            LineWriter(buffer, time_offset, nullptr).cells(body, UINT32_MAX);
        return buffer.flush() && !std::ferror(out);
    }
    {
        LineWriter writer(buffer, time_offset, &names);
        for_each_line_cell(report, [&writer](CellId cell) { return writer.line(cell); });
    }
    return buffer.flush() && !std::ferror(out);
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
