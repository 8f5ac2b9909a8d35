#include "rodload.h"

#include "cstsyst.h"
#include "exec.h"
#include "phaselog.h"
#include "i18nerrgest.h"
#include "rodadcf.h"
#include "rodadnam.h"
#include "rodadtp.h"
#include "rodbase.h"
#include "rodinser.h"
#include "rodprune.h"
#include "rodsync.h"
#include "rodtrait.h"

#include <QString>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

[[noreturn]] void unexpected_end() { report_fatal("UNEXPTEOF", QString(), QString()); }

// Appends cells at the tail so that building a list stays linear.
struct ListBuilder {
    Objet *head = nullptr;
    Objet *tail = nullptr;

    void append_cell(Objet *cell)
    {
        if (tail)
            tail->link.next = cell;
        else
            head = cell;
        tail = cell;
    }
    void append_item(Objet *item) { append_cell(list1(item)); }
};

// Reads the next piece of a physical line: up to ROD_LINE_PIECE bytes, the
// newline included when it fits. A CR just before the newline is dropped, as
// text mode does on the system that writes ROD files. False at end of file.
bool read_piece(FILE *file, std::string &piece)
{
    piece.clear();
    while (piece.size() < ROD_LINE_PIECE) {
        const int byte = getc_unlocked(file);
        if (byte == EOF)
            break;
        if (byte == '\n' && !piece.empty() && piece.back() == '\r')
            piece.back() = '\n';
        else
            piece.push_back(static_cast<char>(byte));
        if (byte == '\n')
            break;
    }
    return !piece.empty();
}

bool ends_line(const std::string &piece) { return !piece.empty() && piece.back() == '\n'; }

// The rest of the stream; false when it holds nothing.
bool read_whole(FILE *file, std::string &text)
{
    char block[1 << 16];
    std::size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0)
        text.append(block, got);
    return !text.empty();
}

int item_count(const Objet *list)
{
    int count = 0;
    for (; list; list = list->link.next)
        ++count;
    return count;
}

// Tail cell of a chain (lines are short: code, fields, origin pairs).
Objet *last_cell(Objet *list)
{
    while (list->link.next)
        list = list->link.next;
    return list;
}

} // namespace

long find_quote(const char *text, std::size_t length, std::size_t from)
{
    for (std::size_t offset = from; offset < length; ++offset)
        if (text[offset] == '"')
            return static_cast<long>(offset);
    return -1;
}

long find_closing_quote(const char *text, std::size_t length, std::size_t open)
{
    std::size_t offset = open + 1;
    while (offset < length) {
        if (text[offset] == '"') {
            if (offset + 1 < length && text[offset + 1] == '"') {
                offset += 2;
                continue;
            }
            return static_cast<long>(offset);
        }
        ++offset;
    }
    return -1;
}

long code_length(const char *text, std::size_t length, std::size_t start)
{
    std::size_t end = start;
    while (end < length && text[end] != '"' && text[end] != '\n' && text[end] != '\0')
        ++end;
    if (end == start)
        return 0;
    std::size_t last = end - 1;
    while (last > start && text[last] == ' ')
        --last;
    if (last == start)
        return -1;
    return static_cast<long>(last - start + 1);
}

Objet *rod_scan_line(std::string_view line)
{
    const char *text = line.data();
    const std::size_t length = line.size();
    const long code_size = code_length(text, length, 0);
    // Every line starts with a two-letter code; anything shorter is a damaged file.
    if (code_size < 2)
        unexpected_end();
    ListBuilder fields;
    fields.append_item(str_new(text, static_cast<std::size_t>(code_size)));
    std::size_t search = 2;
    for (;;) {
        const long open = find_quote(text, length, search);
        if (open < 0)
            break;
        const long close = find_closing_quote(text, length, static_cast<std::size_t>(open));
        if (close < 0)
            unexpected_end();
        fields.append_item(str_new(text + open, static_cast<std::size_t>(close - open + 1)));
        search = static_cast<std::size_t>(close) + 1;
    }
    return fields.head;
}

Objet *rod_read_lines_reference(Objet *stream)
{
    FILE *file = stream->link.stream;
    ListBuilder lines;
    std::string piece;
    piece.reserve(ROD_LINE_PIECE + 1);
    bool previous_was_cut = false;
    while (read_piece(file, piece)) {
        // A NUL byte is no text: the printer would cut the line there and
        // write a truncated report.
        if (piece.find('\0') != std::string::npos)
            unexpected_end();
        // The newline left over from a line cut exactly at the piece size
        // belongs to that line, not to a line of its own.
        const bool lone_newline = piece == "\n";
        if (!(previous_was_cut && lone_newline))
            lines.append_item(rod_scan_line(piece));
        previous_was_cut = !ends_line(piece);
    }
    return lines.head;
}

Objet *rod_read_lines(Objet *stream)
{
    std::string text;
    if (!read_whole(stream->link.stream, text))
        return nullptr;
    // The same pieces as rod_read_lines_reference, found with memchr in the
    // whole text instead of byte by byte from the stream.
    ListBuilder lines;
    char *const data = text.data();
    const std::size_t size = text.size();
    // A NUL byte is no text (see the reference); every fault of the scan is
    // the same end of the run, so which piece holds it does not matter.
    if (std::memchr(data, '\0', size))
        unexpected_end();
    std::size_t at = 0;
    bool previous_was_cut = false;
    while (at < size) {
        const std::size_t window = std::min(ROD_LINE_PIECE, size - at);
        const auto *newline = static_cast<const char *>(std::memchr(data + at, '\n', window));
        std::size_t length = window; // bytes of the text taken into the piece
        std::size_t piece_size = window;
        if (newline) {
            length = static_cast<std::size_t>(newline - (data + at)) + 1;
            piece_size = length;
            // CR LF reads as LF: the CR becomes the piece's newline.
            if (length >= 2 && data[at + length - 2] == '\r') {
                data[at + length - 2] = '\n';
                piece_size = length - 1;
            }
        }
        const std::string_view piece(data + at, piece_size);
        if (!(previous_was_cut && piece == "\n"))
            lines.append_item(rod_scan_line(piece));
        previous_was_cut = !newline;
        at += length;
    }
    return lines.head;
}

Objet *number_lines(Objet *file_number, Objet *lines)
{
    int32_t line_number = 0;
    for (Objet *cell = lines; cell; cell = cell->link.next) {
        Objet *line = cell->head.item;
        line->head.item->count = item_count(line) - 1;
        Objet *file_copy = obj_copy(file_number);
        file_copy->tag = 3;
        Objet *number = int_new(++line_number);
        number->tag = 2;
        last_cell(line)->link.next = list2(file_copy, number);
    }
    return lines;
}

Objet *rod_structure_lines(Objet *lines, bool time_mode)
{
    lines = time_mode ? filter_codes_time(lines) : filter_codes(lines);
    name_lines(lines);
    convert_numeric_fields(lines);
    lines = add_tp_lines(lines);
    lines = close_runs(lines);
    Objet *tree = nest_blocks(lines);
    tree = prune_selection(tree);
    return regroup_timed(tree);
}

// The straightforward run searches the merged report for its SY lines,
// shifts it at once and walks its groups for every insertion.
MergeState::MergeState() : remember(!merge_uses_reference()) {}

void synchronise_next(MergeState &state, Objet *merged, Objet *tree)
{
    if (synchronise(merged, tree, state.remember ? &state.clocks : nullptr))
        merge_memo_forget(state.memo);
}

Objet *merge_next(MergeState &state, Objet *merged, Objet *tree, bool time_mode)
{
    MergeMemo *memo = state.remember ? &state.memo : nullptr;
    store_times_as_merged(tree, state.clocks);
    state.memo.time_offset = state.clocks.pending_shift;
    return time_mode ? merge_report_by_time(merged, tree, memo) : merge_report(merged, tree, memo);
}

void finish_merge(MergeState &state, Objet *merged) { settle_pending_shift(merged, state.clocks); }

namespace {

bool load_ahead_enabled = true;

// One ROD file read, numbered and structured, ready for its synchronisation
// and merge; or, when a loader thread loaded it, the messages and status
// with which its loading ended the run.
struct LoadedFile {
    Objet *header = nullptr; // the cell holding the file's first line
    Objet *tree = nullptr;
    long long rod_bytes = 0;
    long long rod_lines = 0;
    double read_seconds = 0;
    double structure_seconds = 0;
    DeferredOutput output;
};

[[noreturn]] void access_problem(const std::string &file_name)
{
    report_fatal("FICNOTOPN", QString::fromLocal8Bit(file_name.data(), qsizetype(file_name.size())), QString());
}

// Reads and structures the file of `slot`; `first` tells the first file of
// the run, whose header line must carry the field the RDD header takes over.
void load_rod_file(LoadedFile &file, int slot, bool time_mode, bool first)
{
    const std::string &file_name = rod_name(slot);
    std::optional<PhaseTimer> timer(std::in_place, file.read_seconds);
    Objet *name = str_new(file_name.data(), file_name.size());
    Objet *mode = str_new("r", 1);
    Objet *stream = stream_open(name, mode);
    if (!stream)
        access_problem(file_name);
    Objet *lines = rod_read_lines(stream);
    // A read error (a directory, a failing disk) must not pass for the end of the file.
    if (std::ferror(stream->link.stream))
        access_problem(file_name);
    file.rod_bytes = std::ftell(stream->link.stream);
    stream_close(stream);
    obj_free(stream);
    obj_free(mode);
    obj_free(name);

    // A ROD file holds a header line and at least one report line.
    if (!lines || !lines->link.next)
        unexpected_end();
    if (first && item_count(lines->head.item) < 3)
        unexpected_end();

    Objet *file_number = int_new(slot + 1);
    Objet *rest = lines->link.next;
    lines->link.next = nullptr;
    file.header = lines;
    number_lines(file_number, rest);
    obj_free(file_number);
    if (phase_log().enabled)
        file.rod_lines = 1 + item_count(rest);

    timer.emplace(file.structure_seconds);
    file.tree = rod_structure_lines(rest, time_mode);
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
    std::vector<LoadedFile> files;
    std::vector<char> ready;
    std::size_t merging = 0; // the file the merge waits for or works on
    std::size_t started = 0;
    std::size_t needed;      // files past one whose loading ended the run are not
    unsigned running = 0;    // loader threads that did not return
    unsigned waiting = 0;    // of them, those holding a loading that ended the run
    bool stopping = false;
    bool releasing = false;  // the run is left by unwinding: waiting loaders return too
    std::mutex mutex;
    std::condition_variable wanted;
    std::condition_variable loaded;
    std::vector<std::thread> threads;

    LoadAhead(const std::vector<int> &file_slots, bool time_mode, unsigned thread_count);
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
    if (file.output.exit_status >= 0)
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

void load_files_ahead(LoadAhead &ahead)
{
    while (const std::optional<std::size_t> index = next_file_to_load(ahead)) {
        LoadedFile file;
        LoadingEnd end{&ahead, *index, &file};
        file.output.at_exit = publish_ended_loading;
        file.output.context = &end;
        defer_output(&file.output);
        try {
            load_rod_file(file, ahead.file_slots[*index], ahead.time_mode, *index == 0);
        } catch (const DeferredExit &) {
            defer_output(nullptr);
            continue; // handed over by publish_ended_loading
        }
        defer_output(nullptr);
        const std::lock_guard lock(ahead.mutex);
        publish_locked(ahead, *index, file);
    }
    pool_leave_thread();
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

LoadAhead::LoadAhead(const std::vector<int> &file_slots, bool time_mode, unsigned thread_count)
    : file_slots(file_slots), time_mode(time_mode), files(file_slots.size()), ready(file_slots.size(), 0),
      needed(file_slots.size()), running(thread_count)
{
    running_loaders = this;
    set_exit_preparation(stop_running_loaders);
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

// Stops every loader and frees the loaded files the merge did not take.
LoadAhead::~LoadAhead()
{
    {
        const std::lock_guard lock(mutex);
        stopping = true;
        releasing = true;
    }
    wanted.notify_all();
    for (std::thread &thread : threads)
        if (thread.joinable())
            thread.join();
    set_exit_preparation(nullptr);
    running_loaders = nullptr;
    for (std::size_t index = 0; index < files.size(); ++index) {
        if (!ready[index])
            continue;
        obj_free(files[index].header);
        obj_free(files[index].tree);
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
    if (!load_ahead_enabled || file_count < 2 || allocation_hooks_active() || std::thread::hardware_concurrency() < 2)
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

} // namespace

void rod_use_load_ahead(bool enabled) { load_ahead_enabled = enabled; }

Objet *rod_load_all(bool time_mode, RddHeaderMaker make_header)
{
    const std::vector<int> file_slots = named_slots();
    const unsigned thread_count = loader_threads_for(file_slots.size());
    std::optional<LoadAhead> ahead;
    if (thread_count)
        ahead.emplace(file_slots, time_mode, thread_count);
    if (ahead && ahead->threads.empty())
        ahead.reset();
    ListBuilder header_lines;
    Objet *merged = nullptr;
    MergeState state;
    PhaseLog &log = phase_log();
    log.loader_threads = ahead ? static_cast<int>(ahead->threads.size()) : 0;
    for (std::size_t index = 0; index < file_slots.size(); ++index) {
        const int slot = file_slots[index];
        LoadedFile file;
        if (ahead) {
            const PhaseTimer timer(PHASE_WAIT);
            file = take_loaded_file(*ahead, index);
            give_deferred_output(file.output);
        } else {
            load_rod_file(file, slot, time_mode, index == 0);
        }
        if (log.enabled) {
            ++log.files;
            log.rod_bytes += file.rod_bytes;
            log.rod_lines += file.rod_lines;
            log.seconds[PHASE_READ] += file.read_seconds;
            log.seconds[PHASE_STRUCTURE] += file.structure_seconds;
        }
        header_lines.append_cell(file.header);
        Objet *tree = file.tree;
        std::optional<PhaseTimer> timer(std::in_place, PHASE_SYNCHRONISE);
        synchronise_next(state, merged, tree);
        timer.emplace(PHASE_CF);
        add_cf_line(tree, rod_name(slot).c_str(), slot + 1);
        timer.emplace(PHASE_MERGE);
        merged = merge_next(state, merged, tree, time_mode);
    }
    ahead.reset();
    {
        const PhaseTimer timer(PHASE_SYNCHRONISE);
        finish_merge(state, merged);
    }
    return make_header(header_lines.head, merged);
}
