#include "rodprd.h"

#include "cstsyst.h"
#include "pprint.h"
#include "rodadnam.h"
#include "rodbase.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <condition_variable>
#include <memory>
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

// Writes lines in tree order. The lines of a merged report lie scattered
// over every file's records and bytes: they are taken a batch at a time,
// their records and then their bytes and gathered pairs fetched ahead, so
// that the waits for memory overlap instead of adding up.
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
            // A merged line's gathered pairs: mostly one node, the tail.
            if (gathers_origins(record.kind) && record.values[GATHERED_SLOT])
                __builtin_prefetch(&gathered_at(static_cast<uint32_t>(record.values[GATHERED_SLOT])));
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

// A batch's lines, in room from the checked allocator.
struct LineBatch {
    std::unique_ptr<LineId[], XFree> lines;
    uint32_t count = 0;
};

// The lines of a walk formatted by two threads, a batch at a time, and
// written in their order by the first; either walks. Batch k goes
// through slot k % SLOTS: its lines, then its text. The text buffers go
// round between the threads and the slots, so nothing is allocated once
// they have grown.
//
// Either thread may meet a fatal error (memory running out) where it holds
// no lock. The helper's ending is kept and handed to the writing thread,
// which ends the process with it; an ending on the writing thread first
// stops the helper. So no thread formats or writes while the process ends.
class ParallelWriter {
public:
    ParallelWriter(OutputBuffer &out, LineCursor &walk, uint32_t time_offset)
        : out_(out), walk_(walk), time_offset_(time_offset)
    {
    }
    // Also when a fatal ending unwinds (a harness's exit hook): the helper
    // returns, parked or not, and is joined.
    ~ParallelWriter()
    {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
            releasing_ = true;
        }
        changed_.notify_all();
        if (helper_.joinable())
            helper_.join();
        if (running_writer == this) {
            set_exit_preparation(previous_preparation_);
            running_writer = nullptr;
        }
    }
    ParallelWriter(const ParallelWriter &) = delete;
    ParallelWriter &operator=(const ParallelWriter &) = delete;

    // False when no helper thread could be started (nothing was written).
    bool run()
    {
        running_writer = this;
        previous_preparation_ = set_exit_preparation(stop_helper_for_exit);
        helper_running_ = true;
        try {
            helper_ = std::thread([this] { help(); });
        } catch (const std::system_error &) {
            helper_running_ = false;
            return false;
        }
        if (!walk_format_and_write())
            give_deferred_output(helper_output_); // the helper's ending: ends the process
        return true;
    }

private:
    static constexpr uint64_t SLOTS = 8;
    static constexpr uint32_t BATCH = 4096;

    struct Slot {
        LineBatch batch;
        OutputBuffer text;
        bool formatted = false;
    };

    // The writing thread's part; false when the helper ended the run.
    bool walk_format_and_write()
    {
        OutputBuffer text;
        std::unique_lock lock(mutex_);
        for (;;) {
            if (helper_parked_)
                return false;
            write_formatted(lock);
            if (walk_wanted()) {
                walk_next_batch(lock);
            } else if (formatting_ < walked_) {
                format_next_batch(lock, text);
            } else if (exhausted_ && written_ == walked_) {
                return true;
            } else {
                changed_.wait(lock);
            }
        }
    }

    void help()
    {
        helper_output_.at_exit = park_helper;
        helper_output_.context = this;
        defer_output(&helper_output_);
        try {
            OutputBuffer text;
            std::unique_lock lock(mutex_);
            while (!stopping_ && !(exhausted_ && formatting_ == walked_)) {
                if (formatting_ < walked_)
                    format_next_batch(lock, text);
                else if (walk_wanted())
                    walk_next_batch(lock);
                else
                    changed_.wait(lock);
            }
        } catch (const DeferredExit &) {
            // Parked until the writer went; its ending was handed over.
        }
        defer_output(nullptr);
        const std::lock_guard lock(mutex_);
        helper_running_ = false;
        changed_.notify_all();
    }

    // The helper's ending, on the helper: handed to the writing thread, then
    // waits until the process ends or the writer goes.
    static void park_helper(void *context)
    {
        ParallelWriter &writer = *static_cast<ParallelWriter *>(context);
        std::unique_lock lock(writer.mutex_);
        writer.helper_parked_ = true;
        writer.changed_.notify_all();
        writer.changed_.wait(lock, [&writer] { return writer.releasing_; });
    }

    // An ending on the writing thread: the helper finishes its batch and
    // returns, or is parked, before the process ends.
    static void stop_helper_for_exit()
    {
        ParallelWriter &writer = *running_writer;
        {
            std::unique_lock lock(writer.mutex_);
            writer.stopping_ = true;
            writer.changed_.notify_all();
            writer.changed_.wait(lock, [&writer] { return !writer.helper_running_ || writer.helper_parked_; });
        }
        if (writer.previous_preparation_)
            writer.previous_preparation_();
    }

    // A batch to walk, a free slot for it, and no thread walking.
    bool walk_wanted() const { return !exhausted_ && !walking_ && walked_ - written_ < SLOTS; }

    // Either thread walks, one at a time: the walk chases the report's
    // cells, and the writing thread alone would leave the other idle.
    void walk_next_batch(std::unique_lock<std::mutex> &lock)
    {
        Slot &slot = slots_[walked_ % SLOTS];
        walking_ = true;
        lock.unlock();
        if (!slot.batch.lines)
            slot.batch.lines.reset(static_cast<LineId *>(xmalloc(BATCH * sizeof(LineId))));
        uint32_t count = 0;
        for (CellId cell; count < BATCH && (cell = walk_.next());)
            slot.batch.lines[count++] = line_of(cell_at(cell).item);
        slot.batch.count = count;
        lock.lock();
        walking_ = false;
        if (count)
            ++walked_;
        else
            exhausted_ = true;
        changed_.notify_all();
    }

    // Formats the next walked batch into `text`, which then changes places
    // with the slot's empty buffer.
    void format_next_batch(std::unique_lock<std::mutex> &lock, OutputBuffer &text)
    {
        Slot &slot = slots_[formatting_++ % SLOTS];
        lock.unlock();
        {
            LineWriter writer(text, time_offset_, nullptr);
            for (uint32_t at = 0; at < slot.batch.count; ++at)
                writer.add(slot.batch.lines[at]);
        }
        lock.lock();
        slot.text.swap_contents(text);
        slot.formatted = true;
        changed_.notify_all();
    }

    void write_formatted(std::unique_lock<std::mutex> &lock)
    {
        for (Slot *slot = &slots_[written_ % SLOTS]; slot->formatted; slot = &slots_[written_ % SLOTS]) {
            lock.unlock();
            out_.write_through(slot->text.text());
            lock.lock();
            slot->text.clear();
            slot->formatted = false;
            ++written_;
            changed_.notify_all();
        }
    }

    static inline ParallelWriter *running_writer = nullptr;

    OutputBuffer &out_;
    LineCursor &walk_;
    uint32_t time_offset_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::array<Slot, SLOTS> slots_;
    uint64_t walked_ = 0;     // batches walked
    uint64_t formatting_ = 0; // batches taken for formatting
    uint64_t written_ = 0;    // batches written
    bool exhausted_ = false;  // the walk is done
    bool walking_ = false;    // a thread walks the next batch
    std::thread helper_;
    DeferredOutput helper_output_;
    bool helper_running_ = false;
    bool helper_parked_ = false;
    bool stopping_ = false;
    bool releasing_ = false;
    ExitPreparation previous_preparation_ = nullptr;
};

bool two_threads_worth_it() { return std::thread::hardware_concurrency() >= 2 && !resource_tracking_active(); }

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
        return buffer.finish() && !std::ferror(out);
    }
    {
        LineWriter writer(buffer, time_offset, &names);
        for_each_line_cell(report, [&writer](CellId cell) { return writer.line(cell); });
    }
    return buffer.finish() && !std::ferror(out);
}

FILE *rdd_stream_open(const char *target, ReplacingFile &file)
{
    std::string error;
    if (!replacing_open(file, target, error))
        return nullptr;
    // The stream writes through a descriptor of its own; the file's stays
    // open to name the file once it is complete.
    const int fd = ::fcntl(file.fd, F_DUPFD_CLOEXEC, 0);
    FILE *stream = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
    if (!stream) {
        if (fd >= 0)
            ::close(fd);
        replacing_abandon(file);
    }
    return stream;
}

bool rdd_stream_finish(FILE *stream, bool written, ReplacingFile &file)
{
    bool ok = written && std::fflush(stream) == 0 && !std::ferror(stream);
    ok = std::fclose(stream) == 0 && ok;
    std::string error;
    if (ok)
        return replacing_commit(file, error);
    replacing_abandon(file);
    return false;
}
