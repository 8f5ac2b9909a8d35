#include "rodmodel.h"

#include "cstsyst.h"

#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace store_chunks {
Line *lines[std::size_t{1} << (31 - LINE_BITS)];
Cell *cells[std::size_t{1} << (31 - CELL_BITS)];
GatheredNode *gathered[std::size_t{1} << (31 - GATHERED_BITS)];
} // namespace store_chunks

namespace {

// The `bytes` on whole huge pages within `raw`, which is HUGE_PAGE longer,
// advised as such where the system has that advice.
char *align_block(void *raw, std::size_t bytes)
{
    const auto address = reinterpret_cast<std::uintptr_t>(raw);
    char *aligned = static_cast<char *>(raw) + (HUGE_PAGE - address % HUGE_PAGE) % HUGE_PAGE;
#ifdef MADV_HUGEPAGE
    madvise(aligned, bytes, MADV_HUGEPAGE);
#else
    (void)bytes;
#endif
    return aligned;
}

// Zeroed huge pages faulted in ahead (see warm_huge_page). The helper
// thread runs only on processor time nothing else wants; no taker waits for
// it, not even for its lock. Pages ready ahead are memory the run may never
// use, so there are at most an eighth of those taken so far (plus one, up
// to WARM_PAGES_AHEAD): a small run's peak stays as it was.
class WarmPages {
public:
    WarmPages() { pthread_atfork(stop_before_fork, nullptr, nullptr); }

    char *take(void *&raw)
    {
        if (allocation_hooks_active())
            return nullptr;
        taken_.fetch_add(1, std::memory_order_relaxed);
        const std::unique_lock lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock())
            return nullptr;
        if (helper_ == Helper::NotStarted)
            start_helper();
        wanted_.notify_one(); // a page is taken, or there is room for one more
        if (ready_.empty())
            return nullptr;
        const Block block = ready_.back();
        ready_.pop_back();
        raw = block.raw;
        return block.page;
    }

    std::size_t ready()
    {
        const std::lock_guard lock(mutex_);
        return ready_.size();
    }

    std::size_t wanted() const { return room_ahead(); }

private:
    static constexpr std::size_t SMALL_PAGE = 4096;
    struct Block {
        char *page;
        void *raw;
    };
    enum class Helper { NotStarted, Running, Gone };

    void start_helper()
    {
        try {
            helper_thread_ = std::thread([this] { fault_ahead(); });
            helper_ = Helper::Running;
        } catch (const std::system_error &) {
            helper_ = Helper::Gone;
        }
    }

    // A fork copies the forking thread alone: the helper ends first, so
    // that no lock and no list of threads is copied halfway through a
    // change, and the next take on either side starts it again. (The run
    // starts its tools with posix_spawn, which does not come here.)
    static void stop_before_fork();

    void stop_helper()
    {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wanted_.notify_one();
        if (helper_thread_.joinable())
            helper_thread_.join();
        const std::lock_guard lock(mutex_);
        stopping_ = false;
        if (helper_ == Helper::Running)
            helper_ = Helper::NotStarted;
    }

    void fault_ahead()
    {
        take_idle_time_only();
        std::unique_lock lock(mutex_);
        for (;;) {
            wanted_.wait(lock, [this] { return stopping_ || ready_.size() < room_ahead(); });
            if (stopping_)
                return;
            lock.unlock();
            // Not through the wrappers: memory short here is no fault of the
            // run, whose own allocations then say so where they fail.
            void *raw = std::calloc(1, 2 * HUGE_PAGE);
            if (!raw) {
                lock.lock();
                helper_ = Helper::Gone;
                return;
            }
            char *page = align_block(raw, HUGE_PAGE);
            for (std::size_t at = 0; at < HUGE_PAGE; at += SMALL_PAGE)
                reinterpret_cast<volatile char *>(page)[at] = 0;
            lock.lock();
            ready_.push_back({page, raw});
        }
    }

    std::size_t room_ahead() const
    {
        return std::min(WARM_PAGES_AHEAD, 1 + taken_.load(std::memory_order_relaxed) / 8);
    }

    static void take_idle_time_only()
    {
        const sched_param none{};
        if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &none) != 0)
            setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
    }

    std::mutex mutex_;
    std::condition_variable wanted_;
    std::atomic<std::size_t> taken_{0};
    std::vector<Block> ready_;
    Helper helper_ = Helper::NotStarted;
    bool stopping_ = false;
    std::thread helper_thread_;
};

// Never destroyed: the helper waits on it until the process ends.
WarmPages &warm_pages = *new WarmPages;

void WarmPages::stop_before_fork() { warm_pages.stop_helper(); }

} // namespace

char *warm_huge_page(void *&raw, bool zeroed)
{
    if (char *page = warm_pages.take(raw))
        return page;
    return huge_block(HUGE_PAGE, raw, zeroed);
}

std::size_t warm_huge_pages_ready() { return warm_pages.ready(); }

std::size_t warm_huge_pages_wanted() { return warm_pages.wanted(); }

// A large merge reaches gigabytes of records and file bytes in no order:
// with small pages most accesses miss the address translation cache, and
// every 4 KB first touched costs a page fault.
char *huge_block(std::size_t bytes, void *&raw, bool zeroed)
{
    raw = zeroed ? xcalloc_reserve(bytes + HUGE_PAGE) : xmalloc_reserve(bytes + HUGE_PAGE);
    return align_block(raw, bytes);
}

void *scratch_new(std::size_t bytes)
{
    if (bytes < SCRATCH_HUGE_MIN)
        return ::operator new(bytes);
    // Rounded up so that the block's last part lies on a huge page too.
    const std::size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    void *block = ::operator new(rounded, std::align_val_t{HUGE_PAGE});
    align_block(block, rounded);
    return block;
}

void scratch_delete(void *block, std::size_t bytes)
{
    if (bytes < SCRATCH_HUGE_MIN)
        ::operator delete(block);
    else
        ::operator delete(block, std::align_val_t{HUGE_PAGE});
}

namespace {

// Records in chunks of 2^ChunkBits, taken through the allocation wrappers
// (so exhaustion ends the run with their fatal text) and kept until the
// model is released. Ids are below 2^31 (an item keeps one bit for its
// kind); id 0 means none. Chunk pointers never move: a record's address is
// stable, and a thread reads another's records once they were handed over.
// Nothing here allocates under a lock: a thread that runs out of memory
// ends the run, and must not hold a lock another thread waits for while
// the process ends. The chunk table is a template argument, not a member:
// a store is then all zeros and lies in zeroed memory, which no start-up
// code touches and the program file does not carry.
template <typename T, unsigned ChunkBits, T **Chunks> class ChunkedStore {
public:
    static constexpr uint32_t CHUNK = uint32_t{1} << ChunkBits;
    static constexpr uint32_t MAX_CHUNKS = (uint32_t{1} << 31) >> ChunkBits;

    static_assert(sizeof(T) * CHUNK == HUGE_PAGE);

    T &at(uint32_t id) { return Chunks[id >> ChunkBits][id & (CHUNK - 1)]; }

    // Takes a fresh chunk; returns its first usable id and its end.
    std::pair<uint32_t, uint32_t> take_chunk()
    {
        void *raw = nullptr;
        char *block = warm_huge_page(raw, false);
        T *chunk = reinterpret_cast<T *>(block);
        {
            const std::lock_guard lock(mutex_);
            if (count_ < MAX_CHUNKS) {
                Chunks[count_] = chunk;
                raw_[count_] = raw;
                const uint32_t first = count_++ << ChunkBits;
                return {first == 0 ? 1 : first, first + CHUNK};
            }
        }
        xfree(raw);
        fatal_out_of_memory();
    }

    void release()
    {
        const std::lock_guard lock(mutex_);
        for (uint32_t chunk = 0; chunk < count_; ++chunk) {
            xfree(raw_[chunk]);
            Chunks[chunk] = nullptr;
        }
        count_ = 0;
    }

private:
    void *raw_[MAX_CHUNKS] = {};
    uint32_t count_ = 0;
    std::mutex mutex_;
};

ChunkedStore<Line, store_chunks::LINE_BITS, store_chunks::lines> line_store;
ChunkedStore<Cell, store_chunks::CELL_BITS, store_chunks::cells> cell_store;
ChunkedStore<GatheredNode, store_chunks::GATHERED_BITS, store_chunks::gathered> gathered_store;

// Bumped by model_release: a thread's cursor of an earlier generation points
// into released chunks and starts afresh.
std::atomic<uint32_t> generation{1};

struct Cursor {
    uint32_t next = 0;
    uint32_t end = 0;
    uint32_t generation = 0;
};

thread_local Cursor line_cursor;
thread_local Cursor cell_cursor;
thread_local Cursor gathered_cursor;

// Recycled ids of one thread, made again before fresh room is taken.
struct FreeIds {
    ScratchVector<uint32_t> ids;
    uint32_t generation = 0;
};

thread_local FreeIds free_lines;
thread_local FreeIds free_cells;

template <typename Store> uint32_t next_id(Store &store, Cursor &cursor, FreeIds *free = nullptr)
{
    const uint32_t now = generation.load(std::memory_order_relaxed);
    if (free && free->generation == now && !free->ids.empty()) {
        const uint32_t id = free->ids.back();
        free->ids.pop_back();
        return id;
    }
    if (cursor.generation != now || cursor.next == cursor.end) {
        const auto [first, end] = store.take_chunk();
        cursor = {first, end, now};
    }
    return cursor.next++;
}

constexpr int MAX_FILES = 1000;

struct RodText {
    char *bytes = nullptr;
    std::size_t size = 0;
};
RodText rod_texts[MAX_FILES + 1];

// File bytes: a thread's files one after the other in blocks that grow from
// one huge page to 64 MB (a small run takes little); a file of more than
// 16 MB in a block of its own.
constexpr std::size_t BYTES_BLOCK = std::size_t{64} << 20;
constexpr std::size_t OWN_BLOCK = std::size_t{16} << 20;

struct BytesRoom {
    char *next = nullptr;
    std::size_t left = 0;
    uint32_t generation = 0;
    std::size_t block = 0; // size of the thread's last block
};
thread_local BytesRoom bytes_room;
std::mutex bytes_blocks_mutex;
std::vector<void *> bytes_blocks;

char *bytes_block(std::size_t bytes)
{
    void *raw = nullptr;
    char *block = huge_block(bytes, raw);
    std::unique_lock lock(bytes_blocks_mutex);
    while (bytes_blocks.size() == bytes_blocks.capacity()) {
        // The list grows without the lock (see ChunkedStore).
        const std::size_t wanted = 2 * bytes_blocks.capacity() + 16;
        lock.unlock();
        std::vector<void *> bigger;
        bigger.reserve(wanted);
        lock.lock();
        if (bytes_blocks.capacity() < wanted) {
            bigger.assign(bytes_blocks.begin(), bytes_blocks.end());
            bytes_blocks.swap(bigger);
        }
    }
    bytes_blocks.push_back(raw);
    return block;
}

// Engine-made texts and replaced fields: made and read on the merge thread.
std::deque<std::string> kept_texts;
std::unordered_map<LineId, std::vector<std::pair<int, std::string_view>>> field_texts;

uint32_t gathered_new(OriginPair pair)
{
    const uint32_t id = next_id(gathered_store, gathered_cursor);
    GatheredNode &node = gathered_store.at(id);
    node.pairs[0] = pair;
    node.next = id;
    node.count = 1;
    return id;
}

// Gathered nodes form a ring; the slot holds its tail, whose next is the head.
uint32_t gathered_tail(const Line &line) { return static_cast<uint32_t>(line.values[GATHERED_SLOT]); }

void set_gathered_tail(Line &line, uint32_t tail) { line.values[GATHERED_SLOT] = static_cast<int32_t>(tail); }

void append_ring(Line &into, uint32_t ring_tail)
{
    const uint32_t tail = gathered_tail(into);
    if (tail != 0) {
        GatheredNode &last = gathered_at(tail);
        GatheredNode &added_tail = gathered_at(ring_tail);
        const uint32_t head = last.next;
        last.next = added_tail.next;
        added_tail.next = head;
    }
    set_gathered_tail(into, ring_tail);
}

// One pair more at the end: in the tail node while it has room.
void append_pair(Line &into, OriginPair pair)
{
    const uint32_t tail = gathered_tail(into);
    if (tail != 0) {
        GatheredNode &last = gathered_at(tail);
        if (last.count < GatheredNode::PAIRS) {
            last.pairs[last.count++] = pair;
            return;
        }
    }
    append_ring(into, gathered_new(pair));
}

} // namespace

namespace {

bool portable_quote_search = false;

// Bit i set when bytes[i] is a double quote, for the first `count` (at most
// 64) bytes.
uint64_t quote_bits_portable(const char *bytes, std::size_t count)
{
    uint64_t bits = 0;
    for (std::size_t i = 0; i < count; ++i)
        bits |= uint64_t{bytes[i] == '"'} << i;
    return bits;
}

#ifdef __SSE2__
// Bit i set when bytes[16 * part + i] is `byte`.
uint64_t bits_of_part(const char *bytes, int part, __m128i byte)
{
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + 16 * part));
    return uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, byte)))} << (16 * part);
}

// The same for 64 readable bytes, sixteen at a time.
uint64_t quote_bits_sse2(const char *bytes)
{
    const __m128i quote = _mm_set1_epi8('"');
    uint64_t bits = 0;
    for (int part = 0; part < 4; ++part)
        bits |= bits_of_part(bytes, part, quote);
    return bits;
}

ByteMarks byte_marks_sse2(const char *bytes)
{
    const __m128i newline = _mm_set1_epi8('\n');
    const __m128i quote = _mm_set1_epi8('"');
    ByteMarks marks{0, 0};
    for (int part = 0; part < 4; ++part) {
        marks.newlines |= bits_of_part(bytes, part, newline);
        marks.quotes |= bits_of_part(bytes, part, quote);
    }
    return marks;
}
#endif

} // namespace

void quote_search_portable(bool portable) { portable_quote_search = portable; }

bool byte_marks_available()
{
#ifdef __SSE2__
    return !portable_quote_search;
#else
    return false;
#endif
}

ByteMarks byte_marks(const char *bytes)
{
#ifdef __SSE2__
    return byte_marks_sse2(bytes);
#else
    // No newline among them: the scan searches on its own.
    (void)bytes;
    return {0, 0};
#endif
}

QuoteCursor::QuoteCursor(std::string_view bytes, const char *readable_end)
    : text_(bytes.data()), size_(bytes.size()), readable_end_(readable_end)
{
    if (size_ == 0)
        return;
    load();
    bits_ &= ~uint64_t{3};
}

void QuoteCursor::load()
{
    const std::size_t count = std::min<std::size_t>(64, size_ - base_);
    const char *bytes = text_ + base_;
#ifdef __SSE2__
    if (!portable_quote_search && readable_end_ - bytes >= 64) {
        const uint64_t all = quote_bits_sse2(bytes);
        bits_ = count == 64 ? all : all & ((uint64_t{1} << count) - 1);
        return;
    }
#endif
    bits_ = quote_bits_portable(bytes, count);
}

LineId line_new()
{
    const LineId id = next_id(line_store, line_cursor, &free_lines);
    std::memset(&line_store.at(id), 0, sizeof(Line));
    return id;
}

CellId cell_new(Item item, CellId next)
{
    const CellId id = next_id(cell_store, cell_cursor, &free_cells);
    cell_store.at(id) = {item, next};
    return id;
}

namespace {

// A big file prunes hundreds of thousands of records: the list it hands
// over becomes the free list when that is empty, rather than a copy in
// fresh memory (a page fault per 4 KB of it).
void add_free(FreeIds &free, ScratchVector<uint32_t> &&ids)
{
    const uint32_t now = generation.load(std::memory_order_relaxed);
    if (free.generation != now || free.ids.empty()) {
        free.ids = std::move(ids);
        free.generation = now;
        return;
    }
    free.ids.insert(free.ids.end(), ids.begin(), ids.end());
}

} // namespace

void lines_mark_recycled(std::span<const LineId> ids)
{
    for (const LineId id : ids)
        line_store.at(id).recycled = 1;
}

void lines_recycle(ScratchVector<LineId> ids) { add_free(free_lines, std::move(ids)); }

void cells_recycle(ScratchVector<CellId> ids) { add_free(free_cells, std::move(ids)); }

LineId made_closing_line(LineKind kind)
{
    static std::mutex mutex;
    static LineId lines[KIND_FR - KIND_FF + 1];
    static uint32_t made_in = 0;
    // A thread's own copy: a big file makes a closing line every few lines.
    thread_local uint32_t known_in = 0;
    thread_local LineId known[KIND_FR - KIND_FF + 1];
    const uint32_t now = generation.load(std::memory_order_relaxed);
    if (known_in == now)
        return known[kind - KIND_FF];
    std::unique_lock lock(mutex);
    if (made_in != now) {
        // Made without the lock (see ChunkedStore); a thread that made
        // them too late leaves its own unused.
        lock.unlock();
        LineId made[KIND_FR - KIND_FF + 1];
        for (int at = KIND_FF; at <= KIND_FR; ++at) {
            const LineId id = line_new();
            line_at(id).kind = static_cast<uint8_t>(at);
            line_at(id).exact_code = 1;
            made[at - KIND_FF] = id;
        }
        lock.lock();
        if (made_in != now) {
            std::copy(std::begin(made), std::end(made), std::begin(lines));
            made_in = now;
        }
    }
    std::copy(std::begin(lines), std::end(lines), std::begin(known));
    known_in = now;
    return known[kind - KIND_FF];
}

LineId line_copy(LineId id)
{
    const LineId copy = line_new();
    line_store.at(copy) = line_store.at(id);
    return copy;
}

char *rod_bytes_new(std::size_t size)
{
    const std::size_t rounded = (size + 1 + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    if (size + 1 > OWN_BLOCK)
        return bytes_block(rounded);
    const uint32_t now = generation.load(std::memory_order_relaxed);
    if (bytes_room.generation != now || bytes_room.left < size + 1) {
        const std::size_t grown = bytes_room.generation == now ? std::min(2 * bytes_room.block, BYTES_BLOCK) : HUGE_PAGE;
        const std::size_t block = std::max(grown, rounded);
        bytes_room = {bytes_block(block), block, now, block};
    }
    char *bytes = bytes_room.next;
    bytes_room.next += size + 1;
    bytes_room.left -= size + 1;
    return bytes;
}

void rod_text_keep(int file, char *bytes, std::size_t size) { rod_texts[file] = {bytes, size}; }

namespace {

// A mapped ROD file: where it lies (read by the bus error handler, on any
// thread) and what its file was when mapped.
struct Mapping {
    std::atomic<char *> start{nullptr};
    std::atomic<std::size_t> length{0};
    std::atomic<bool> lost{false};
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
};
Mapping mappings[MAX_FILES + 1];
std::size_t page_size = 4096;
bool mapping_off = false;

struct sigaction bus_action_before{};

// A bus error in a mapped ROD file is a page the file lost: a page of
// zeros takes its place and the file is marked. Any other goes on to the
// handling there was before (the default action ends the process).
void on_bus_error(int signal, siginfo_t *info, void *)
{
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Mapping &mapping : mappings) {
        const auto start = reinterpret_cast<std::uintptr_t>(mapping.start.load(std::memory_order_acquire));
        if (!start || address < start || address - start >= mapping.length.load(std::memory_order_relaxed))
            continue;
        void *page = reinterpret_cast<void *>(address & ~(page_size - 1));
        if (mmap(page, page_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
            MAP_FAILED) {
            mapping.lost.store(true, std::memory_order_relaxed);
            return;
        }
    }
    sigaction(signal, &bus_action_before, nullptr);
}

void guard_mappings()
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        page_size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        struct sigaction action {};
        action.sa_sigaction = on_bus_error;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &bus_action_before);
    });
}

} // namespace

void rod_mapping_off(bool off) { mapping_off = off; }

char *rod_bytes_map(int fd, const struct stat &status, int file)
{
    const auto size = static_cast<std::size_t>(status.st_size);
    if (mapping_off || size == 0)
        return nullptr;
    guard_mappings();
    void *bytes = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    if (bytes == MAP_FAILED)
        return nullptr;
    Mapping &mapping = mappings[file];
    mapping.device = status.st_dev;
    mapping.inode = status.st_ino;
    mapping.size = status.st_size;
    mapping.modified = status.st_mtim;
    mapping.lost.store(false, std::memory_order_relaxed);
    mapping.length.store(size, std::memory_order_relaxed);
    mapping.start.store(static_cast<char *>(bytes), std::memory_order_release);
    return static_cast<char *>(bytes);
}

bool rod_bytes_changed(int file, const char *name)
{
    const Mapping &mapping = mappings[file];
    if (!mapping.start.load(std::memory_order_acquire))
        return false;
    if (mapping.lost.load(std::memory_order_relaxed))
        return true;
    struct stat status {};
    // A file put in its place under the name leaves the mapped one whole.
    if (stat(name, &status) != 0 || status.st_dev != mapping.device || status.st_ino != mapping.inode)
        return false;
    return status.st_size != mapping.size || status.st_mtim.tv_sec != mapping.modified.tv_sec ||
           status.st_mtim.tv_nsec != mapping.modified.tv_nsec;
}

std::string_view line_bytes(const Line &line)
{
    const std::size_t offset = (std::size_t{line.text_high} << 32) | line.text;
    return {rod_texts[line.file].bytes + offset, line.length};
}

FieldCursor line_fields(const Line &line)
{
    const RodText &file = rod_texts[line.file];
    return FieldCursor(line_bytes(line), file.bytes + file.size);
}

void line_set_offset(Line &line, std::size_t offset)
{
    line.text = static_cast<uint32_t>(offset);
    line.text_high = static_cast<uint8_t>(offset >> 32);
}

std::string_view text_keep(std::string text) { return kept_texts.emplace_back(std::move(text)); }

std::string_view line_field_text(LineId id, int k)
{
    const Line &line = line_store.at(id);
    if (line.overridden) {
        const auto found = field_texts.find(id);
        if (found != field_texts.end())
            for (const auto &[field, text] : found->second)
                if (field == k)
                    return text;
    }
    if (!line.has_text || k < 1 || k > line.count)
        return {};
    FieldCursor fields = line_fields(line);
    std::string_view field;
    for (int at = 1; fields.next(field); ++at)
        if (at == k)
            return field;
    return {};
}

void line_set_field_text(LineId id, int k, std::string_view text)
{
    line_store.at(id).overridden = 1;
    auto &fields = field_texts[id];
    for (auto &[field, replaced] : fields) {
        if (field == k) {
            replaced = text;
            return;
        }
    }
    fields.emplace_back(k, text);
}

void line_gather_origins(LineId into, LineId from)
{
    Line &target = line_store.at(into);
    Line &source = line_store.at(from);
    if (source.has_origin) {
        append_pair(target, {source.file, static_cast<int32_t>(source.number)});
        source.has_origin = 0;
    }
    if (gathers_origins(source.kind) && gathered_tail(source) != 0) {
        append_ring(target, gathered_tail(source));
        set_gathered_tail(source, 0);
    }
}

void model_memory_setup()
{
    // Blocks under 1 MB come from the heap, not from mappings of their own,
    // and up to 32 MB of freed room stays with it. Bigger blocks (a big
    // file's scratch arrays, see scratch_new) still go back when freed: the
    // room one thread keeps is no use to the others, and would add to the
    // peak.
    mallopt(M_MMAP_THRESHOLD, SCRATCH_HUGE_MIN);
    mallopt(M_TRIM_THRESHOLD, 32 << 20);
}

void model_release()
{
    line_store.release();
    cell_store.release();
    gathered_store.release();
    for (RodText &text : rod_texts)
        text = {};
    for (Mapping &mapping : mappings) {
        if (char *start = mapping.start.exchange(nullptr))
            munmap(start, mapping.length.load(std::memory_order_relaxed));
    }
    {
        const std::lock_guard lock(bytes_blocks_mutex);
        for (void *block : bytes_blocks)
            xfree(block);
        bytes_blocks.clear();
    }
    kept_texts.clear();
    field_texts.clear();
    generation.fetch_add(1, std::memory_order_relaxed);
}
