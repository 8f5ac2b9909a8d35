#include "pprint.h"

#include "cstsyst.h"
#include "rodadnam.h"
#include "rodbase.h"
#include "rodtri.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// "\"n\" " for the numbers most numeric fields and every file number of an
// origin pair hold, made at compile time and copied as one 8-byte word.
struct SmallNumber {
    char text[7];
    uint8_t size;
};
constexpr int SMALL_NUMBERS = 1024;
constexpr std::array<SmallNumber, SMALL_NUMBERS> small_numbers = [] {
    std::array<SmallNumber, SMALL_NUMBERS> table{};
    for (int value = 0; value < SMALL_NUMBERS; ++value) {
        char digits[4] = {};
        int count = 0;
        for (int rest = value; count == 0 || rest > 0; rest /= 10)
            digits[count++] = static_cast<char>('0' + rest % 10);
        SmallNumber &entry = table[static_cast<std::size_t>(value)];
        entry.text[0] = '"';
        for (int k = 0; k < count; ++k)
            entry.text[1 + k] = digits[count - 1 - k];
        entry.text[1 + count] = '"';
        entry.text[2 + count] = ' ';
        entry.size = static_cast<uint8_t>(count + 3);
    }
    return table;
}();

} // namespace

void OutputBuffer::add_number(int32_t value)
{
    if (capacity_ - used_ < 16)
        make_room(16);
    char *text = text_.get() + used_;
    if (static_cast<uint32_t>(value) < SMALL_NUMBERS) {
        const SmallNumber &entry = small_numbers[static_cast<std::size_t>(value)];
        std::memcpy(text, &entry, sizeof entry);
        used_ += entry.size;
        return;
    }
    text[0] = '"';
    char *end = std::to_chars(text + 1, text + 14, value).ptr;
    *end++ = '"';
    *end++ = ' ';
    used_ = static_cast<std::size_t>(end - text_.get());
}

void OutputBuffer::grow(std::size_t capacity)
{
    std::unique_ptr<char[], XFree> bigger(static_cast<char *>(xmalloc(capacity)));
    if (used_)
        std::memcpy(bigger.get(), text_.get(), used_);
    text_ = std::move(bigger);
    capacity_ = capacity;
}

void OutputBuffer::make_room(std::size_t size)
{
    if (out_)
        flush();
    else
        grow(std::max({MEMORY_CAPACITY, 2 * capacity_, used_ + size}));
}

void OutputBuffer::add_large(std::string_view bytes)
{
    make_room(bytes.size());
    if (bytes.size() <= capacity_ - used_) {
        std::memcpy(text_.get() + used_, bytes.data(), bytes.size());
        used_ += bytes.size();
    } else {
        // Larger than the stream's buffer: written as it stands.
        write_out(bytes);
    }
}

void OutputBuffer::write_through(std::string_view bytes)
{
    if (!out_) {
        add(bytes);
        return;
    }
    flush();
    write_out(bytes);
}

bool OutputBuffer::flush()
{
    if (out_ && used_)
        write_out({text_.get(), used_});
    if (out_)
        used_ = 0;
    return !failed_;
}

bool OutputBuffer::finish()
{
    flush();
    if (write_back_ && !write_back_->finish())
        failed_ = true;
    return !failed_;
}

void OutputBuffer::write_out(std::string_view bytes)
{
    if (failed_ || bytes.empty())
        return;
    failed_ = fwrite_unlocked(bytes.data(), 1, bytes.size(), out_) != bytes.size() || std::ferror(out_);
    unsynced_ += bytes.size();
    if (unsynced_ < WRITE_BACK_STEP || failed_ || not_on_disk_ || fflush_unlocked(out_) != 0)
        return;
    unsynced_ = 0;
    if (!write_back_) {
        const int fd = fileno_unlocked(out_);
        struct stat status {};
        not_on_disk_ = fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode);
        if (not_on_disk_)
            return;
        write_back_ = std::make_unique<DiskWriteBack>(fd);
    }
    write_back_->request();
}

void DiskWriteBack::request()
{
    if (!helper_.joinable() && !helper_failed_to_start_ && !resource_tracking_active()) {
        try {
            helper_ = std::thread([this] { sync_requested(); });
        } catch (const std::system_error &) {
            helper_failed_to_start_ = true;
        }
    }
    if (!helper_.joinable()) {
        sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        wanted_ = true;
    }
    changed_.notify_one();
}

// The helper: each sync takes in every step written while the one before
// went on; one still wanted when the writing ends is made before it stops.
void DiskWriteBack::sync_requested()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return wanted_ || stopping_; });
        if (!wanted_)
            return;
        wanted_ = false;
        lock.unlock();
        // File systems without it pass, as at the file's last sync.
        const bool synced = fdatasync(fd_) == 0 || errno == EINVAL || errno == ENOTSUP || errno == EROFS;
        lock.lock();
        failed_ = failed_ || !synced;
    }
}

bool DiskWriteBack::finish()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_one();
    if (helper_.joinable())
        helper_.join();
    const std::lock_guard lock(mutex_);
    return !failed_;
}

void OutputBuffer::swap_contents(OutputBuffer &other)
{
    std::swap(text_, other.text_);
    std::swap(capacity_, other.capacity_);
    std::swap(used_, other.used_);
}

namespace {

// The CF line made for a ROD file: three texts, then size, CRC, file
// number and 0.
void print_made_cf_line(OutputBuffer &out, LineId id)
{
    out.add("CF ");
    for (int k = 1; k <= 3; ++k) {
        out.add(line_field_text(id, k));
        out.add(' ');
    }
    for (int32_t value : line_at(id).values)
        out.add_number(value);
    out.add('\n');
}

// The code and text fields of a line as read, gathered while they follow
// each other in its bytes with one blank between: as written, code and
// fields are separated by one blank too, so each such run is copied in one
// piece, not field by field.
class TextRun {
public:
    explicit TextRun(OutputBuffer &out) : out_(out) {}
    void add(std::string_view piece)
    {
        if (open_ && size_ && piece.data() == start_ + size_ + 1 && start_[size_] == ' ') {
            size_ += 1 + piece.size();
            return;
        }
        end();
        start_ = piece.data();
        size_ = piece.size();
        open_ = true;
    }
    // Writes the run so far, followed by its blank.
    void end()
    {
        if (!open_)
            return;
        out_.add(std::string_view(start_, size_));
        out_.add(' ');
        open_ = false;
    }

private:
    OutputBuffer &out_;
    const char *start_ = nullptr;
    std::size_t size_ = 0;
    bool open_ = false;
};

} // namespace

void print_line(OutputBuffer &out, LineId id, bool drop_last_two, uint32_t time_offset)
{
    const Line &line = line_at(id);
    if (line.made_cf) {
        print_made_cf_line(out, id);
        return;
    }
    const int kind = line.kind;
    TextRun run(out);
    if (line.has_text && kind != KIND_FW) {
        const std::string_view bytes = line_bytes(line);
        run.add(bytes.substr(0, line.exact_code ? 2 : static_cast<std::size_t>(code_length(bytes))));
    } else {
        out.add(std::string_view(rod_keywords[kind].code, 2));
        out.add(' ');
    }
    const int count = line.count;
    const int kept = drop_last_two ? count - 2 : count;
    const int time_field = time_field_position(kind);
    // The fields after the last text field kept are numbers, written from
    // the values: their quotes need not be found.
    int last_text = kept;
    while (last_text > 0 && numeric_slot(kind, last_text) >= 0)
        --last_text;
    const bool reads_fields = line.has_text && last_text > 0;
    FieldCursor fields = reads_fields ? line_fields(line) : FieldCursor(std::string_view());
    std::string_view field;
    for (int k = 1; k <= kept; ++k) {
        const bool has_field = reads_fields && k <= last_text && fields.next(field);
        const int slot = numeric_slot(kind, k);
        if (slot >= 0) {
            run.end();
            const uint32_t value = static_cast<uint32_t>(line.values[slot]) + (k == time_field ? time_offset : 0);
            out.add_number(static_cast<int32_t>(value));
        } else if (line.overridden) {
            // A replaced text lies elsewhere: written field by field.
            run.end();
            out.add(line_field_text(id, k));
            out.add(' ');
        } else if (has_field) {
            run.add(field);
        } else {
            run.end();
            out.add(' ');
        }
    }
    run.end();
    line_any_origin(id, [&out](OriginPair pair) {
        out.add_number(pair.file);
        out.add_number(pair.number);
        return false;
    });
    out.add('\n');
}
