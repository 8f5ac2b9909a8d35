#include "rodload.h"

#include "cstsyst.h"
#include "exec.h"
#include "extgest.h"
#include "i18nerrgest.h"
#include "phaselog.h"
#include "rodadcf.h"
#include "rodadnam.h"
#include "rodadtp.h"
#include "rodbase.h"
#include "rodinser.h"
#include "rodprune.h"
#include "rodsync.h"
#include "rodtrait.h"

#include <QString>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace {

[[noreturn]] void unexpected_end() { report_fatal("UNEXPTEOF", QString(), QString()); }

[[noreturn]] void access_problem(const std::string &file_name)
{
    report_fatal("FICNOTOPN", QString::fromLocal8Bit(file_name.data(), qsizetype(file_name.size())), QString());
}

// Calls field(k, text) for every double-quoted field of a piece, in order
// (the search starts at its third byte); returns the number of fields. A
// doubled quote stays inside its field; a field the piece ends in is a
// damaged line (UNEXPTEOF). Bytes up to `readable_end` may be read.
template <typename Field> int scan_fields(std::string_view piece, const char *readable_end, Field field)
{
    FieldCursor fields(piece, readable_end);
    int count = 0;
    for (std::string_view text; fields.next(text);)
        field(++count, text);
    if (fields.damaged())
        unexpected_end();
    return count;
}

// Whether a field starts as "1" (spelled out: starts_with is a call per line).
bool starts_as_one(std::string_view field)
{
    return field.size() >= 3 && field[0] == '"' && field[1] == '1' && field[2] == '"';
}

// The scan of one file's text into the flat list of its lines, with the
// code filter, the naming, the conversion of numeric fields, the numbering
// and the TP lines done on the way. A damaged piece ends the run at once;
// the faults of the later passes (a comment run at the end, an unknown
// code, a field count or number out of bounds) wait for the end of the
// text, so that the first pass that would meet one still decides which
// message the run ends with.
//
// A scanner takes the text from `begin` to `end`: the whole file, or one of
// its halves cut after a newline, the second of which a helper thread scans
// while this one does the first (see join). Its list has room for the lines
// of `room` bytes (the whole file for a first half, which takes the second
// half's lines in the end). The two halves' scanners lie side by side on
// one stack and are written at every line by their own threads: each takes
// cache lines of its own.
class alignas(64) Scanner {
public:
    Scanner(char *data, std::size_t begin, std::size_t end, std::size_t room, int file, bool time_mode, bool first)
        : data_(data), begin_(begin), end_(end), file_(file), time_mode_(time_mode), first_(first)
    {
        // Room for lines of 16 bytes on average, twice what reports hold:
        // the list does not grow by copies, and room never touched costs
        // no memory.
        lines_.reserve(room / 16);
    }

    void scan();
    // Goes on with the scan of the text after this one's, as if this
    // scanner had scanned it too.
    void join(const Scanner &after);
    // The faults that wait for the end of the text.
    void check_ending() const;
    ScratchVector<LineId> take_lines() { return std::move(lines_); }
    const std::string &header_field() const { return header_field_; }
    long long pieces() const { return pieces_; }

private:
    void piece(std::size_t offset, std::size_t length);
    void header(std::string_view text);
    void report_line(std::size_t offset, std::string_view text, bool exact_code);
    LineId make_line(std::size_t offset, std::string_view text, int kind, bool exact_code);
    void end_comment_run(unsigned char first, unsigned char second);
    // scan_fields on the piece being scanned, from its quote bits when the
    // scan found its end among the 64 bytes from its start.
    template <typename Field> int fields(std::string_view piece, Field field)
    {
        if (!quotes_known_)
            return scan_fields(piece, data_ + end_, field);
        const int count = fields_of_quotes(piece, quotes_, field);
        if (count < 0)
            unexpected_end();
        return count;
    }

    char *data_;
    std::size_t begin_;
    std::size_t end_;
    int file_;
    bool time_mode_;
    bool first_;
    ScratchVector<LineId> lines_;
    std::string header_field_;
    TpLines tp_;
    uint32_t number_ = 0;
    long long pieces_ = 0;
    bool in_comments_ = false;
    std::size_t comments_start_ = 0;
    bool comments_short_ = false;
    bool unknown_code_ = false;
    bool bad_numbers_ = false;
    // For the part after a cut: the code of its first line that is no
    // comment (it decides a comment run open at the cut), and its TP lines
    // made before its first timed line (they take the time before the cut).
    bool decided_ = false;
    unsigned char decider_[2] = {};
    std::vector<LineId> untimed_tp_;
    // The quotes of the piece being scanned, when known (see fields).
    uint64_t quotes_ = 0;
    bool quotes_known_ = false;
};

// Cuts the text into pieces of at most ROD_LINE_PIECE bytes, each ending at
// its newline when one comes in time; a CR before the newline counts as
// the newline (Windows text). The newline left over from a line cut exactly
// at the piece size belongs to that line, not to a line of its own.
//
// Most lines are short: the newlines and quotes of the 64 bytes from a
// line's start are found in one pass, and when its newline is among them
// its fields are taken from those quote bits.
void Scanner::scan()
{
    std::size_t at = begin_;
    bool previous_was_cut = false;
    const bool marks_available = byte_marks_available();
    while (at < end_) {
        std::size_t length = 0;
        bool newline = true;
        uint64_t quotes = 0;
        quotes_known_ = false;
        if (marks_available && end_ - at >= 64) {
            const ByteMarks marks = byte_marks(data_ + at);
            if (marks.newlines != 0) {
                length = static_cast<std::size_t>(std::countr_zero(marks.newlines)) + 1;
                quotes = marks.quotes;
                quotes_known_ = true;
            }
        }
        if (!quotes_known_) {
            const std::size_t window = std::min(ROD_LINE_PIECE, end_ - at);
            const auto *found = static_cast<const char *>(std::memchr(data_ + at, '\n', window));
            newline = found != nullptr;
            length = newline ? static_cast<std::size_t>(found - (data_ + at)) + 1 : window;
        }
        std::size_t piece_size = length;
        if (newline && length >= 2 && data_[at + length - 2] == '\r') {
            data_[at + length - 2] = '\n';
            piece_size = length - 1;
        }
        // Quotes in a line's code (its first two bytes) open no field.
        quotes_ = quotes & low_bits(piece_size) & ~uint64_t{3};
        if (!(previous_was_cut && piece_size == 1 && data_[at] == '\n'))
            piece(at, piece_size);
        previous_was_cut = !newline;
        at += length;
    }
}

void Scanner::check_ending() const
{
    // A ROD file holds a header line and at least one report line.
    if (pieces_ < 2)
        unexpected_end();
    if (in_comments_)
        unexpected_end();
    if (unknown_code_)
        report_fatal("ERRINTERN", QString(), QString());
    if (bad_numbers_)
        unexpected_end();
}

void Scanner::join(const Scanner &after)
{
    if (in_comments_ && after.decided_) {
        if (!comments_kept_before(after.decider_[0], after.decider_[1]))
            lines_.resize(comments_start_);
        else
            bad_numbers_ |= comments_short_;
    }
    in_comments_ = after.in_comments_;
    for (const LineId tp : after.untimed_tp_)
        line_at(tp).values[0] = tp_.last_time;
    const std::size_t first_after = lines_.size();
    lines_.insert(lines_.end(), after.lines_.begin(), after.lines_.end());
    for (std::size_t at = first_after; at < lines_.size(); ++at) {
        Line &line = line_at(lines_[at]);
        if (line.has_origin)
            line.number += number_;
    }
    number_ += after.number_;
    pieces_ += after.pieces_;
    unknown_code_ |= after.unknown_code_;
    bad_numbers_ |= after.bad_numbers_;
}

void Scanner::piece(std::size_t offset, std::size_t length)
{
    const std::string_view text(data_ + offset, length);
    // Every line starts with a code of two letters or more.
    const long code = code_length(text);
    if (code < 2)
        unexpected_end();
    if (pieces_++ == 0 && begin_ == 0)
        header(text);
    else
        report_line(offset, text, code == 2);
}

void Scanner::header(std::string_view text)
{
    const int count = fields(text, [this](int k, std::string_view field) {
        if (first_ && k == 2)
            header_field_ = std::string(field);
    });
    if (first_ && count < 2)
        unexpected_end();
}

void Scanner::report_line(std::size_t offset, std::string_view text, bool exact_code)
{
    ++number_;
    const auto first = static_cast<unsigned char>(text[0]);
    const auto second = static_cast<unsigned char>(text[1]);
    const CodeVerdict verdict = filter_code(first, second, time_mode_);
    if (!decided_ && verdict != CodeVerdict::Comment) {
        decided_ = true;
        decider_[0] = first;
        decider_[1] = second;
    }
    if (in_comments_ && verdict != CodeVerdict::Comment)
        end_comment_run(first, second);
    switch (verdict) {
    case CodeVerdict::Drop:
        fields(text, [](int, std::string_view) {});
        return;
    case CodeVerdict::Comment: {
        if (!in_comments_) {
            in_comments_ = true;
            comments_start_ = lines_.size();
            comments_short_ = false;
        }
        const LineId line = make_line(offset, text, KIND_CO, exact_code);
        comments_short_ |= line_at(line).count < fields_needed(KIND_CO);
        lines_.push_back(line);
        return;
    }
    case CodeVerdict::Keep: {
        const int kind = readable_kind(first, second);
        if (kind < 0) {
            unknown_code_ = true;
            fields(text, [](int, std::string_view) {});
            return;
        }
        const LineId line = make_line(offset, text, kind, exact_code);
        bad_numbers_ |= line_at(line).count < fields_needed(kind);
        lines_.push_back(line);
        if (const LineId tp = tp_line_after(tp_, line)) {
            lines_.push_back(tp);
            if (begin_ > 0 && !tp_.timed)
                untimed_tp_.push_back(tp);
        }
        return;
    }
    }
}

// A line record for a kept piece, its numeric fields converted.
LineId Scanner::make_line(std::size_t offset, std::string_view text, int kind, bool exact_code)
{
    const LineId id = line_new();
    Line &line = line_at(id);
    line_set_offset(line, offset);
    line.length = static_cast<uint16_t>(text.size());
    line.kind = static_cast<uint8_t>(kind);
    line.exact_code = exact_code;
    line.has_origin = 1;
    line.has_text = 1;
    line.file = static_cast<uint16_t>(file_);
    line.number = number_;
    const int count = fields(text, [this, &line, kind](int k, std::string_view field) {
        const int slot = numeric_slot(kind, k);
        if (slot >= 0) {
            if (!field_number(field, line.values[slot]))
                bad_numbers_ = true;
        } else if (k == 1 && starts_as_one(field)) {
            line.selects = 1;
        }
    });
    line.count = static_cast<uint16_t>(count);
    return id;
}

// A run of comments is kept or dropped as a whole, by the line after it.
void Scanner::end_comment_run(unsigned char first, unsigned char second)
{
    in_comments_ = false;
    if (!comments_kept_before(first, second))
        lines_.resize(comments_start_);
    else
        bad_numbers_ |= comments_short_;
}

// The whole rest of a stream, in room of the model for file bytes.
struct ReadBytes {
    char *bytes = nullptr;
    std::size_t size = 0;
};

ReadBytes read_whole(FILE *file, std::size_t size_hint)
{
    std::size_t capacity = size_hint + 1;
    ReadBytes read{rod_bytes_new(capacity), 0};
    for (;;) {
        if (read.size == capacity) {
            // More than the file's size said: it grew, or is no regular file.
            capacity *= 2;
            char *bigger = rod_bytes_new(capacity);
            std::memcpy(bigger, read.bytes, read.size);
            read.bytes = bigger;
        }
        const std::size_t got = std::fread(read.bytes + read.size, 1, capacity - read.size, file);
        if (got == 0)
            return read;
        read.size += got;
    }
}

// The lines of a file its report still holds, in tree order, with its SY
// lines and the RD lines of its body (no pass moves a line between the
// three parts).
FileLines file_lines(StructuredFile structured)
{
    FileLines file;
    std::size_t kept = 0;
    for (std::size_t at = 0; at < structured.lines.size(); ++at) {
        const LineId line = structured.lines[at];
        // A pruned block's lines take no part in the synchronisation.
        if (!line_at(line).recycled) {
            structured.lines[kept++] = line;
            if (line_kind_is(line, KIND_SY))
                file.sy_kind.push_back(line);
        }
        if (line_kind_is(line, KIND_IE))
            file.ie_in_first_part &= at < structured.body_begin;
        if (line_code_is(line, KIND_SY)) {
            file.sy_lines.push_back(line);
            file.sy_in_first_part &= at < structured.body_begin;
        } else if (line_code_is(line, KIND_RD) && at >= structured.body_begin && at < structured.last_begin) {
            file.body_rd.push_back(line);
        }
    }
    structured.lines.resize(kept);
    file.lines = std::move(structured.lines);
    return file;
}


// One ROD file read and structured, ready for its synchronisation and
// merge; or, when a loader thread loaded it, the messages and status with
// which its loading ended the run, or that the loading was stopped before it.
struct LoadedFile {
    RodFile rod;
    double read_seconds = 0;
    double structure_seconds = 0;
    DeferredOutput output;
    bool stopped = false;
};

using Clock = std::chrono::steady_clock;

// Which ROD files their post-processor runs have written, when the loading
// goes on beside the runs.
struct RodGate {
    std::mutex mutex;
    std::condition_variable changed;
    std::array<bool, PAIR_TABLE_SIZE> written{};
    bool stopped = false;
    std::optional<Clock::time_point> runs_ended;
};

// Thrown on the loading thread when the run ends before the loading does.
struct LoadingStopped {};

// Waits until the run of `slot` wrote its file; false when the loading is
// to stop instead. No gate: the runs are over.
bool wait_until_written(RodGate *gate, int slot)
{
    if (!gate)
        return true;
    std::unique_lock lock(gate->mutex);
    gate->changed.wait(lock, [gate, slot] { return gate->stopped || gate->written[std::size_t(slot)]; });
    return !gate->stopped;
}

void stop_gate(RodGate &gate)
{
    {
        const std::lock_guard lock(gate.mutex);
        gate.stopped = true;
    }
    gate.changed.notify_all();
}

// The merge's wait for a file from `start` on: the part before the runs
// ended is the post-processor's time, not the engine's.
void count_wait(RodGate *gate, Clock::time_point start)
{
    PhaseLog &log = phase_log();
    if (!log.enabled)
        return;
    const Clock::time_point end = Clock::now();
    Clock::time_point runs_ended = start;
    if (gate) {
        const std::lock_guard lock(gate->mutex);
        runs_ended = gate->runs_ended ? std::clamp(*gate->runs_ended, start, end) : end;
    }
    log.beside_runs += std::chrono::duration<double>(runs_ended - start).count();
    log.seconds[PHASE_WAIT] += std::chrono::duration<double>(end - runs_ended).count();
}

// A big file loaded with no other loading beside it is checked and scanned
// in two halves at once; below this size a helper thread costs more than it
// saves.
constexpr std::size_t CUT_SCAN_MIN = std::size_t{1} << 20;

bool halves_worth_it(std::size_t size)
{
    return size >= CUT_SCAN_MIN && std::thread::hardware_concurrency() >= 2 && !resource_tracking_active();
}

// The CRC of a file's text; `may_cut`: in two halves at once, when it is big.
uint16_t text_crc(const char *bytes, std::size_t size, bool may_cut)
{
    const auto *text = reinterpret_cast<const unsigned char *>(bytes);
    if (!may_cut || !halves_worth_it(size))
        return crc16_kermit(text, size);
    const std::size_t half = size / 2;
    uint16_t second = 0;
    std::jthread helper;
    try {
        helper = std::jthread([text, half, size, &second] { second = crc16_kermit(text + half, size - half); });
    } catch (const std::system_error &) {
        return crc16_kermit(text, size);
    }
    const uint16_t first = crc16_kermit(text, half);
    helper.join();
    return crc16_kermit_combine(first, second, size - half);
}

// Where a big file's text is cut for a scan in two halves: after the first
// newline from its middle on (every newline ends a piece, so the halves
// cut the text into the pieces one scan would); 0 for no cut.
std::size_t scan_cut(const char *bytes, std::size_t size)
{
    if (!halves_worth_it(size))
        return 0;
    const auto *newline = static_cast<const char *>(std::memchr(bytes + size / 2, '\n', size - size / 2));
    const std::size_t cut = newline ? static_cast<std::size_t>(newline - bytes) + 1 : 0;
    return cut < size ? cut : 0;
}

// Scans the second half on a helper thread while this one scans the first.
// Both keep their output until both are done: a fault of the first half
// ends the run whatever the second met, as in one scan from the start.
void scan_halves(Scanner &first_half, Scanner &second_half)
{
    DeferredOutput second_output;
    std::jthread helper;
    try {
        helper = std::jthread([&second_half, &second_output] {
            run_deferred(second_output, [&second_half] { second_half.scan(); });
        });
    } catch (const std::system_error &) {
        first_half.scan();
        second_half.scan();
        first_half.join(second_half);
        return;
    }
    DeferredOutput first_output;
    run_deferred(first_output, [&first_half] { first_half.scan(); });
    helper.join();
    give_deferred_output(first_output);
    give_deferred_output(second_output);
    first_half.join(second_half);
}

// The file's lines (file_lines, once its pruned lines are marked) and its
// regrouped tree (regroup_timed): the one reads line records, the other
// relinks cells of the tree, which holds no pruned line, so a big file has
// its lines made on a helper thread meanwhile. The pruned lines then go to
// this thread's free lines. Only memory running short could end either
// side; the helper's message is then given as this thread's.
FileLines lines_beside_regrouping(StructuredFile structured, CellId tree, ScratchVector<LineId> pruned, bool big)
{
    const auto marked_file_lines = [&structured, &pruned] {
        lines_mark_recycled(pruned);
        return file_lines(std::move(structured));
    };
    FileLines lines;
    DeferredOutput helper_output;
    bool lines_done = false;
    std::jthread helper;
    try {
        if (big)
            helper = std::jthread(
                [&] { lines_done = run_deferred(helper_output, [&] { lines = marked_file_lines(); }); });
    } catch (const std::system_error &) {
        // No thread to be had: the lines are made here, as for a small file.
    }
    if (!helper.joinable()) {
        lines = marked_file_lines();
        lines_done = true;
    }
    regroup_timed(tree);
    if (helper.joinable())
        helper.join();
    if (!lines_done)
        give_deferred_output(helper_output);
    lines_recycle(std::move(pruned));
    return lines;
}

struct ScannedText {
    ScratchVector<LineId> lines;
    std::string header_field;
    long long pieces = 0;
};

// `cut`: 0, or the start of a second half scanned beside the first.
ScannedText scan_text(char *bytes, std::size_t size, int file, bool time_mode, bool first, std::size_t cut)
{
    rod_text_keep(file, bytes, size);
    // A NUL byte is no text: the report would be cut there.
    if (std::memchr(bytes, '\0', size))
        unexpected_end();
    Scanner scanner(bytes, 0, cut ? cut : size, size, file, time_mode, first);
    if (cut) {
        Scanner second_half(bytes, cut, size, size - cut, file, time_mode, false);
        scan_halves(scanner, second_half);
    } else {
        scanner.scan();
    }
    scanner.check_ending();
    return {scanner.take_lines(), scanner.header_field(), scanner.pieces()};
}

// `may_cut`: no other loading goes on beside this one.
RodFile structure(char *bytes, std::size_t size, int file, bool time_mode, bool first, bool may_cut,
                  double *structure_seconds)
{
    RodFile rod;
    rod.size = size;
    const std::size_t scan_cut_at = may_cut ? scan_cut(bytes, size) : 0;
    ScannedText scanned = scan_text(bytes, size, file, time_mode, first, scan_cut_at);
    rod.header_field = std::move(scanned.header_field);
    rod.pieces = scanned.pieces;
    std::optional<PhaseTimer> timer;
    if (structure_seconds)
        timer.emplace(*structure_seconds);
    // A file scanned in halves is big enough to be structured in two parts.
    const std::size_t structure_cut_at = scan_cut_at ? structure_cut(scanned.lines) : 0;
    StructuredFile structured = structure_lines(std::move(scanned.lines), structure_cut_at);
    rod.tree = structured.tree;
    Pruned pruned = prune_selection(rod.tree, structured.unselected, structured.lines.size());
    cells_recycle(std::move(pruned.cells));
    rod.lines = lines_beside_regrouping(std::move(structured), rod.tree, std::move(pruned.lines), scan_cut_at != 0);
    return rod;
}

void load_rod_file(LoadedFile &file, int slot, bool time_mode, bool first, bool may_cut)
{
    const std::string &file_name = rod_name(slot);
    std::optional<PhaseTimer> timer(std::in_place, file.read_seconds);
    FILE *stream = nullptr;
    if (!xfopen(file_name.c_str(), "r", &stream))
        access_problem(file_name);
    struct stat status {};
    const bool regular = fstat(fileno(stream), &status) == 0 && S_ISREG(status.st_mode);
    const std::size_t size = regular ? static_cast<std::size_t>(status.st_size) : 0;
    ReadBytes read{regular ? rod_bytes_map(fileno(stream), status, slot + 1) : nullptr, size};
    if (!read.bytes)
        read = read_whole(stream, size);
    // A read error (a directory, a failing disk) must not pass for the end of the file.
    const bool unreadable = std::ferror(stream) != 0;
    xfclose(stream);
    if (unreadable)
        access_problem(file_name);
    // The check reads every byte first: a mapped file cut short before
    // then is an access problem, as a failed read is.
    const uint16_t crc = text_crc(read.bytes, read.size, may_cut);
    if (rod_bytes_changed(slot + 1, file_name.c_str()))
        access_problem(file_name);
    file.rod = structure(read.bytes, read.size, slot + 1, time_mode, first, may_cut, &file.structure_seconds);
    file.rod.crc = crc;
    file.rod.regular = regular;
}

constexpr unsigned LOADER_THREADS = 2;
// Files loaded or being loaded from the one being merged on: bounds the
// trees held beside the merged report.
constexpr std::size_t LOAD_WINDOW = LOADER_THREADS + 1;

// Loader threads taking the files of `file_slots` in order, at most
// LOAD_WINDOW files ahead of the merge.
struct LoadAhead {
    const std::vector<int> &file_slots;
    bool time_mode;
    RodGate *gate;           // none: the runs are over
    std::vector<LoadedFile> files;
    std::vector<char> ready;
    std::size_t merging = 0; // the file the merge waits for or works on
    std::size_t started = 0;
    std::size_t needed;      // files past one whose loading ended the run are not
    unsigned running = 0;    // loader threads that did not return
    unsigned waiting = 0;    // of them, those holding a loading that ended the run
    bool stopping = false;
    bool releasing = false;  // the run is left by unwinding: waiting loaders return too
    // Set once the merge aligns by rendezvous: loaders then name the RD
    // lines of the files they load, which the merge would otherwise read.
    // Runs aligned by clock never need the names.
    std::atomic<bool> names_wanted{false};
    std::mutex mutex;
    std::condition_variable wanted;
    std::condition_variable loaded;
    std::vector<std::thread> threads;

    LoadAhead(const std::vector<int> &file_slots, bool time_mode, RodGate *gate, unsigned thread_count);
    LoadAhead(const LoadAhead &) = delete;
    LoadAhead &operator=(const LoadAhead &) = delete;
    ~LoadAhead();
};

// The file a loader takes next, or none when it is to return.
std::optional<std::size_t> next_file_to_load(LoadAhead &ahead)
{
    std::unique_lock lock(ahead.mutex);
    ahead.wanted.wait(lock, [&ahead] {
        return ahead.stopping || ahead.started >= ahead.needed || ahead.started < ahead.merging + LOAD_WINDOW;
    });
    if (ahead.stopping || ahead.started >= ahead.needed)
        return std::nullopt;
    return ahead.started++;
}

void publish_locked(LoadAhead &ahead, std::size_t index, LoadedFile &file)
{
    if (file.output.exit_status >= 0 || file.stopped)
        ahead.needed = std::min(ahead.needed, index + 1);
    ahead.files[index] = std::move(file);
    ahead.ready[index] = 1;
    ahead.loaded.notify_all();
}

struct LoadingEnd {
    LoadAhead *ahead;
    std::size_t index;
    LoadedFile *file;
};

// A loading that ends the run is handed to the merge at once; the loader
// then waits, so that what the loading held stays on its stack while the
// merge thread ends the process (nothing is left for a leak check to
// report), unless the run is left by unwinding.
void publish_ended_loading(void *context)
{
    const LoadingEnd &end = *static_cast<LoadingEnd *>(context);
    LoadAhead &ahead = *end.ahead;
    std::unique_lock lock(ahead.mutex);
    publish_locked(ahead, end.index, *end.file); // its waiters wake after the wait below releases the lock
    ++ahead.waiting;
    ahead.wanted.wait(lock, [&ahead] { return ahead.releasing; });
    --ahead.waiting;
}

// The merge is the longest chain of work once the loaders are ahead of it:
// they leave it the processor (and the post-processor runs beside them)
// rather than share it evenly, and take what it leaves. Raising a thread's
// niceness needs no privilege; where it fails, nothing changes.
constexpr int LOADER_NICENESS_ADDED = 5;

void lower_loader_priority()
{
    const auto thread = static_cast<id_t>(gettid());
    errno = 0;
    const int niceness = getpriority(PRIO_PROCESS, thread);
    if (errno == 0)
        setpriority(PRIO_PROCESS, thread, std::min(niceness + LOADER_NICENESS_ADDED, 19));
}

void load_files_ahead(LoadAhead &ahead)
{
    lower_loader_priority();
    while (const std::optional<std::size_t> index = next_file_to_load(ahead)) {
        LoadedFile file;
        if (!wait_until_written(ahead.gate, ahead.file_slots[*index])) {
            file.stopped = true;
            const std::lock_guard lock(ahead.mutex);
            publish_locked(ahead, *index, file);
            continue;
        }
        LoadingEnd end{&ahead, *index, &file};
        file.output.at_exit = publish_ended_loading;
        file.output.context = &end;
        defer_output(&file.output);
        try {
            load_rod_file(file, ahead.file_slots[*index], ahead.time_mode, *index == 0, false);
            if (ahead.names_wanted.load(std::memory_order_relaxed))
                name_rendezvous_lines(file.rod.lines);
        } catch (const DeferredExit &) {
            defer_output(nullptr);
            continue; // handed over by publish_ended_loading
        }
        defer_output(nullptr);
        const std::lock_guard lock(ahead.mutex);
        publish_locked(ahead, *index, file);
    }
    const std::lock_guard lock(ahead.mutex);
    --ahead.running;
    ahead.loaded.notify_all();
}

// Before the process ends: waits until every loader returned or waits with
// a loading that ended the run, and leaves those to the process's end.
void stop_loaders_for_exit(LoadAhead &ahead)
{
    std::unique_lock lock(ahead.mutex);
    ahead.stopping = true;
    ahead.wanted.notify_all();
    ahead.loaded.wait(lock, [&ahead] { return ahead.running == ahead.waiting; });
    for (std::thread &thread : ahead.threads)
        if (thread.joinable())
            thread.detach();
}

// The loaders of the loading loop under way, stopped before the process ends.
LoadAhead *running_loaders = nullptr;

void stop_running_loaders()
{
    if (running_loaders)
        stop_loaders_for_exit(*running_loaders);
}

// Beside the runs, the loading thread's own output is deferred: the
// pipeline stops it, and the loaders with it, before the process ends.
LoadAhead::LoadAhead(const std::vector<int> &file_slots, bool time_mode, RodGate *gate, unsigned thread_count)
    : file_slots(file_slots), time_mode(time_mode), gate(gate), files(file_slots.size()),
      ready(file_slots.size(), 0), needed(file_slots.size()), running(thread_count)
{
    if (!gate) {
        running_loaders = this;
        set_exit_preparation(stop_running_loaders);
    }
    for (unsigned n = 0; n < thread_count; ++n) {
        try {
            threads.emplace_back(load_files_ahead, std::ref(*this));
        } catch (const std::system_error &) {
            // No more threads to be had: the loaders started so far do the
            // loading, or the loop does it itself when there are none.
            const std::lock_guard lock(mutex);
            running -= thread_count - n;
            break;
        }
    }
}

// Stops every loader; what they loaded stays in the model until it is released.
LoadAhead::~LoadAhead()
{
    {
        const std::lock_guard lock(mutex);
        stopping = true;
        releasing = true;
    }
    wanted.notify_all();
    // The merge is over: a loader waiting for a run need not wait.
    if (gate)
        stop_gate(*gate);
    for (std::thread &thread : threads)
        if (thread.joinable())
            thread.join();
    if (!gate) {
        set_exit_preparation(nullptr);
        running_loaders = nullptr;
    }
}

LoadedFile take_loaded_file(LoadAhead &ahead, std::size_t index)
{
    std::unique_lock lock(ahead.mutex);
    ahead.merging = index;
    ahead.wanted.notify_all();
    ahead.loaded.wait(lock, [&ahead, index] { return ahead.ready[index] != 0; });
    ahead.ready[index] = 0;
    return std::move(ahead.files[index]);
}

unsigned loader_threads_for(std::size_t file_count)
{
    if (file_count < 2 || resource_tracking_active() || std::thread::hardware_concurrency() < 2)
        return 0;
    return LOADER_THREADS;
}

std::vector<int> named_slots()
{
    std::vector<int> file_slots;
    for (int slot = 0; slot < PAIR_TABLE_SIZE; ++slot)
        if (!rod_name(slot).empty())
            file_slots.push_back(slot);
    return file_slots;
}

MergedReport load_all(bool time_mode, RodGate *gate)
{
    const std::vector<int> file_slots = named_slots();
    const unsigned thread_count = loader_threads_for(file_slots.size());
    std::optional<LoadAhead> ahead;
    if (thread_count)
        ahead.emplace(file_slots, time_mode, gate, thread_count);
    if (ahead && ahead->threads.empty())
        ahead.reset();
    MergedReport report;
    TimeBase base;
    MergeMemo memo;
    PhaseLog &log = phase_log();
    log.loader_threads = ahead ? static_cast<int>(ahead->threads.size()) : 0;
    for (std::size_t index = 0; index < file_slots.size(); ++index) {
        const int slot = file_slots[index];
        LoadedFile file;
        const Clock::time_point wait_start = Clock::now();
        if (ahead) {
            file = take_loaded_file(*ahead, index);
            count_wait(gate, wait_start);
            if (file.stopped)
                throw LoadingStopped{};
            give_deferred_output(file.output);
        } else {
            const bool written = wait_until_written(gate, slot);
            count_wait(gate, wait_start);
            if (!written)
                throw LoadingStopped{};
            load_rod_file(file, slot, time_mode, index == 0, true);
        }
        if (log.enabled) {
            ++log.files;
            log.rod_bytes += static_cast<long long>(file.rod.size);
            log.rod_lines += file.rod.pieces;
            log.seconds[PHASE_READ] += file.read_seconds - file.structure_seconds;
            log.seconds[PHASE_STRUCTURE] += file.structure_seconds;
        }
        if (index == 0)
            report.header_field = file.rod.header_field;
        const CellId tree = file.rod.tree;
        std::optional<PhaseTimer> timer(std::in_place, PHASE_SYNCHRONISE);
        const uint32_t file_shift = synchronise(base, report.tree, tree, file.rod.lines);
        timer.emplace(PHASE_CF);
        add_cf_line(tree, rod_name(slot).c_str(), slot + 1, {file.rod.size, file.rod.crc, file.rod.regular});
        timer.emplace(PHASE_MERGE);
        store_times_as_merged(base, file.rod.lines, file_shift);
        const TimeFrame frame{base.offset, base.scalings};
        RendezvousOrder *points = base.rendezvous.active() ? &base.rendezvous : nullptr;
        report.tree = time_mode ? merge_report_by_time(memo, report.tree, tree, frame, points)
                                : merge_report(memo, report.tree, tree, frame, points);
        ++report.files;
        report.names_in_heads &= file.rod.lines.ie_in_first_part;
        if (ahead && points)
            ahead->names_wanted.store(true, std::memory_order_relaxed);
    }
    ahead.reset();
    report.time_offset = base.offset;
    return report;
}

} // namespace

struct RodPipeline {
    bool time_mode = false;
    RodGate gate;
    DeferredOutput output;
    MergedReport report;
    std::thread thread;
};

namespace {

std::unique_ptr<RodPipeline> pipeline_in_run;

// The runs come first: each one's start waits for the main thread, which
// a busy engine would keep from its core. The engine's threads (its loaders
// inherit it) take what the runs leave; raising the priority again after
// the runs would take a privilege, and nothing of ours competes with the
// engine then.
constexpr int ENGINE_NICENESS = 10;

void load_beside_runs(RodPipeline &pipeline)
{
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), ENGINE_NICENESS);
    defer_output(&pipeline.output);
    try {
        pipeline.report = load_all(pipeline.time_mode, &pipeline.gate);
    } catch (const DeferredExit &) {
    } catch (const LoadingStopped &) {
    }
    defer_output(nullptr);
}

// The process ends before the loading did: the loading stops, and what it
// took goes back.
void stop_pipeline_for_exit()
{
    const std::unique_ptr<RodPipeline> pipeline = std::move(pipeline_in_run);
    if (!pipeline)
        return;
    stop_gate(pipeline->gate);
    if (pipeline->thread.joinable())
        pipeline->thread.join();
    set_exit_preparation(nullptr);
    model_release();
}

} // namespace

RodPipeline *rod_pipeline_start(bool time_mode)
{
    if (resource_tracking_active() || pipeline_in_run)
        return nullptr;
    auto pipeline = std::make_unique<RodPipeline>();
    pipeline->time_mode = time_mode;
    try {
        pipeline->thread = std::thread(load_beside_runs, std::ref(*pipeline));
    } catch (const std::system_error &) {
        return nullptr;
    }
    pipeline_in_run = std::move(pipeline);
    set_exit_preparation(stop_pipeline_for_exit);
    return pipeline_in_run.get();
}

void rod_pipeline_written(RodPipeline &pipeline, int slot)
{
    if (slot < 0 || slot >= PAIR_TABLE_SIZE)
        return;
    {
        const std::lock_guard lock(pipeline.gate.mutex);
        pipeline.gate.written[std::size_t(slot)] = true;
    }
    pipeline.gate.changed.notify_all();
}

MergedReport rod_pipeline_finish(RodPipeline *pipeline)
{
    {
        // Every run has ended: whatever each file holds now is final.
        const std::lock_guard lock(pipeline->gate.mutex);
        pipeline->gate.runs_ended = Clock::now();
        pipeline->gate.written.fill(true);
    }
    pipeline->gate.changed.notify_all();
    pipeline->thread.join();
    give_deferred_output(pipeline->output);
    MergedReport report = std::move(pipeline->report);
    set_exit_preparation(nullptr);
    pipeline_in_run.reset();
    return report;
}

ScratchVector<LineId> rod_scan_bytes(char *bytes, std::size_t size, int file, bool time_mode, bool first,
                                     std::string &header_field, std::size_t cut)
{
    const bool cut_after_newline = cut > 0 && cut < size && bytes[cut - 1] == '\n';
    ScannedText scanned = scan_text(bytes, size, file, time_mode, first, cut_after_newline ? cut : 0);
    header_field = std::move(scanned.header_field);
    return std::move(scanned.lines);
}

RodFile rod_load_bytes(char *bytes, std::size_t size, int file, bool time_mode, bool first, bool in_halves)
{
    const uint16_t crc = text_crc(bytes, size, in_halves);
    RodFile rod = structure(bytes, size, file, time_mode, first, in_halves, nullptr);
    rod.crc = crc;
    return rod;
}

std::string rod_file_changed()
{
    for (int slot = 0; slot < PAIR_TABLE_SIZE; ++slot)
        if (!rod_name(slot).empty() && rod_bytes_changed(slot + 1, rod_name(slot).c_str()))
            return rod_name(slot);
    return {};
}


MergedReport rod_load_all(bool time_mode) { return load_all(time_mode, nullptr); }
