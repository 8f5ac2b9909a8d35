// The report model. Every ROD file is read once and kept whole: a line of a
// report is a small fixed record that says where its code and fields lie in
// those bytes, holds the numbers of its numeric fields and its origin pair;
// texts are never copied. The report tree is made of cells, each holding an
// item (a line, the first cell of a list, or nothing) and the next cell of
// its list: a group is a list whose first item is a line, a block a group
// from its opening to its closing line. Lines, cells and gathered origin
// pairs live in three stores of fixed-size chunks, each thread carving its
// own chunks, so that a file's loading takes no lock per record and the
// whole run is released in one step.
#pragma once

#include <sys/stat.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Line kinds: the position of a code in the keyword table (rodbase).
enum LineKind : uint8_t {
    KIND_SY = 0,
    KIND_RE = 1,
    KIND_SC = 2,
    KIND_IT = 3,
    KIND_DE = 4,
    KIND_PR = 5,
    KIND_PE = 6,
    KIND_RU = 7,
    KIND_PO = 8,
    KIND_XX = 9,
    KIND_XI = 10,
    KIND_DT = 11,
    KIND_XE = 12,
    KIND_YI = 13,
    KIND_YT = 14,
    KIND_FE = 15,
    KIND_DP = 16,
    KIND_FP = 17,
    KIND_DS = 18,
    KIND_DA = 19,
    KIND_PA = 20,
    KIND_DW = 21,
    KIND_DX = 22,
    KIND_EV = 23,
    KIND_CH = 24,
    KIND_FS = 25,
    KIND_SN = 26,
    KIND_UN = 27,
    KIND_CO = 28,
    KIND_ER = 29,
    KIND_PT = 30,
    KIND_RD = 31,
    KIND_EX = 32,
    KIND_PP = 33,
    KIND_PQ = 34,
    KIND_BF = 35,
    KIND_BC = 36,
    KIND_DB = 37,
    KIND_IE = 38,
    KIND_CF = 39,
    KIND_TP = 40,
    KIND_FW = 41,
    KIND_FF = 42,
    KIND_FQ = 43,
    KIND_FV = 44,
    KIND_FX = 45,
    KIND_FO = 46,
    KIND_FA = 47,
    KIND_FN = 48,
    KIND_FR = 49,
    KIND_FT = 50,
    KIND_TN = 51,
    KIND_TF = 52,
    KIND_FB = 53,
    KIND_IC = 54,
    KIND_ID = 55,
};
constexpr int ROD_KEYWORD_COUNT = 56;

using LineId = uint32_t;
using CellId = uint32_t; // 0: no cell
// What a cell holds: 0 for nothing, a line (odd) or a list (its first cell).
using Item = uint32_t;
constexpr Item NO_ITEM = 0;

inline bool is_line_item(Item x) { return (x & 1) != 0; }
inline bool is_list_item(Item x) { return x != 0 && (x & 1) == 0; }
inline LineId line_of(Item x) { return x >> 1; }
inline CellId list_of(Item x) { return x >> 1; }
inline Item line_item(LineId line) { return (line << 1) | 1; }
inline Item list_item(CellId cell) { return cell << 1; }

struct Cell {
    Item item;
    CellId next;
};

// A line: read from a ROD file, or made by the engine (TP, the closing
// lines, FW, CF). Numbers are kept as the signed 32-bit values the report
// computes with; the numeric fields of a kind (rodadnam) take the slots in
// order. The kinds that gather other files' origin pairs when the merge
// joins lines (XI, DT, XE, YI, YT, FE, DS, FS) have at most three numeric
// fields: their fourth slot holds the chain of gathered pairs.
struct Line {
    uint32_t text;           // offset of its first byte in its file's bytes (low 32 bits); made CF: its texts
    uint32_t number;         // line number in its file (origin pair)
    int32_t values[4];       // numeric fields
    uint16_t length : 13;    // bytes as read, newline included (a piece is at most 5119)
    uint16_t exact_code : 1; // the code is exactly its two letters
    uint16_t has_origin : 1; // read lines and their FW copies carry an origin pair
    uint16_t has_text : 1;   // its code and fields lie in its file's bytes
    uint16_t count : 12;     // fields the line had when read
    uint16_t overridden : 1; // some text field was replaced (line_set_field_text)
    uint16_t made_cf : 1;    // the CF line describing its ROD file
    uint16_t recycled : 1;   // no longer in its report; made again by a later line_new
    uint16_t selects : 1;    // its text field 1 starts as "1" (a selected PP or DA block)
    uint16_t file;           // file number, 1 to 1000
    uint8_t text_high;       // offset bits 32 to 39
    uint8_t kind;
};
static_assert(sizeof(Line) == 32, "a line record stays two to a cache line");

constexpr int GATHERED_SLOT = 3;

// The kinds whose lines gather the origin pairs of the lines joined to them.
inline bool gathers_origins(uint8_t kind)
{
    return (kind >= KIND_XI && kind <= KIND_FE) || kind == KIND_DS || kind == KIND_FS;
}

constexpr std::size_t HUGE_PAGE = std::size_t{1} << 21;
// A block of `bytes` on whole huge pages (advised as such where the system
// gives them on request), taken through xmalloc_reserve (xcalloc_reserve
// when `zeroed`); `raw` gets what to xfree.
char *huge_block(std::size_t bytes, void *&raw, bool zeroed = false);
// A block of one huge page (zeroed when asked) for a store or structure
// that grows a page at a time, faulted in ahead by a helper thread that
// takes only processor time the run leaves idle: a huge page's first touch
// (the kernel zeroing it, and on a virtual machine the host's fault) costs
// far more than its use, and the thread that would touch it is mostly on
// the run's longest chain of work. None is ready ahead when the helper
// lags, cannot start or finds memory short, nor while a test hook counts
// allocations: then it is huge_block's. `raw` gets what to xfree.
char *warm_huge_page(void *&raw, bool zeroed);
// How many are ready ahead now, and how many the helper keeps ready: at
// most WARM_PAGES_AHEAD, and at most one more than an eighth of those taken
// so far.
constexpr std::size_t WARM_PAGES_AHEAD = 32;
std::size_t warm_huge_pages_ready();
std::size_t warm_huge_pages_wanted();

// Room for a big file's scratch arrays (its lines in order, the chains and
// elements of its structuring, what it prunes). A block that glibc would
// map on its own (from SCRATCH_HUGE_MIN on) takes whole huge pages instead:
// on small ones each 4 KB first touched is a page fault, and on a virtual
// machine a trap to the host. Smaller blocks come from the heap, which
// reuses its room file after file. Failing as operator new does.
constexpr std::size_t SCRATCH_HUGE_MIN = HUGE_PAGE / 2;
void *scratch_new(std::size_t bytes);
void scratch_delete(void *block, std::size_t bytes);
template <typename T> struct ScratchAllocator {
    using value_type = T;
    ScratchAllocator() = default;
    template <typename U> ScratchAllocator(const ScratchAllocator<U> &) {}
    T *allocate(std::size_t count) { return static_cast<T *>(scratch_new(count * sizeof(T))); }
    void deallocate(T *block, std::size_t count) { scratch_delete(block, count * sizeof(T)); }
    friend bool operator==(ScratchAllocator, ScratchAllocator) { return true; }
};
template <typename T> using ScratchVector = std::vector<T, ScratchAllocator<T>>;

// The chunks of the three stores (see rodmodel.cpp); records are reached
// through line_at, cell_at and gathered_at.
namespace store_chunks {
// Chunks of 2 MB each, on huge pages.
constexpr unsigned LINE_BITS = 16;
constexpr unsigned CELL_BITS = 18;
constexpr unsigned GATHERED_BITS = 15;
extern Line *lines[std::size_t{1} << (31 - LINE_BITS)];
extern Cell *cells[std::size_t{1} << (31 - CELL_BITS)];
} // namespace store_chunks

inline Line &line_at(LineId id)
{
    return store_chunks::lines[id >> store_chunks::LINE_BITS][id & ((1u << store_chunks::LINE_BITS) - 1)];
}
inline Cell &cell_at(CellId id)
{
    return store_chunks::cells[id >> store_chunks::CELL_BITS][id & ((1u << store_chunks::CELL_BITS) - 1)];
}

// A zeroed line record (file 0, no text, no origin).
LineId line_new();
// The one record every closing line the engine makes of `kind` (FF to FR)
// shares: such a line has no fields, no origin and is never written.
LineId made_closing_line(LineKind kind);
CellId cell_new(Item item = NO_ITEM, CellId next = 0);
LineId line_copy(LineId id);
// Records no report holds any more (a file's pruned blocks): the calling
// thread makes its next lines and cells in them before taking fresh room,
// so that what a file drops does not add to the peak of the run. The list
// itself is kept as the free list when that is empty. Lines are first
// marked `recycled` (until made again), which any one thread may do: no
// other reads them.
void lines_mark_recycled(std::span<const LineId> ids);
void lines_recycle(ScratchVector<LineId> ids);
void cells_recycle(ScratchVector<CellId> ids);

// Room for `size` bytes of a ROD file, kept until the model is released.
// A thread's files lie one after the other in large blocks on huge pages.
char *rod_bytes_new(std::size_t size);
// The bytes of file `file` (1 to 1000), in room from rod_bytes_new or
// mapped by rod_bytes_map.
void rod_text_keep(int file, char *bytes, std::size_t size);

// The bytes of the regular file open on `fd` (`status` is what fstat told
// of it; no mapping when it is empty), mapped copy-on-write for file `file`
// and kept until the model is released; null when they cannot be mapped
// (the caller then reads them). A ROD file was just written by its
// post-processor run, so its pages are already in memory: mapping them
// saves copying them into fresh memory, which costs more than the rest of
// the reading. A page the file loses while mapped (it is cut short under
// the run) reads as zeros instead of ending the process, and
// rod_bytes_changed tells.
char *rod_bytes_map(int fd, const struct stat &status, int file);
// Whether mapped file `file` lost pages since it was mapped, or the file
// named `name` is now the mapped file with another size or modification
// time. False for files read into room.
bool rod_bytes_changed(int file, const char *name);
// Test hook: no mapping, every file is read.
void rod_mapping_off(bool off);
// The line's bytes as read (its code, fields and what lies between).
std::string_view line_bytes(const Line &line);
void line_set_offset(Line &line, std::size_t offset);

// A text made by the engine (a CF field, a renamed IE name), kept until the
// model is released.
std::string_view text_keep(std::string text);

// The double quotes of a line's bytes in order, found 64 bytes at a time
// (sixteen at a time with SSE2, else byte by byte). Bytes up to
// `readable_end` may be read past the line's end, so that a short line
// needs no copy; a quote in its first two bytes (its code) is not counted.
class QuoteCursor {
public:
    QuoteCursor(std::string_view bytes, const char *readable_end);
    // The position of the next quote, or npos when there is none.
    std::size_t next()
    {
        while (bits_ == 0) {
            base_ += 64;
            if (base_ >= size_)
                return std::string_view::npos;
            load();
        }
        const std::size_t at = base_ + static_cast<std::size_t>(__builtin_ctzll(bits_));
        bits_ &= bits_ - 1;
        return at;
    }

private:
    void load();

    const char *text_;
    std::size_t size_;
    const char *readable_end_;
    std::size_t base_ = 0;
    uint64_t bits_ = 0;
};

// Test hook: the quote search byte by byte, and no byte_marks, even where
// SSE2 is there.
void quote_search_portable(bool portable);

// Where the newlines and double quotes lie among 64 readable bytes (bit i
// for bytes[i]), found in one pass sixteen bytes at a time: the scan of a
// short line takes its end and its fields from one load of its bytes. Only
// where byte_marks_available() (SSE2); the scan then searches the line end
// and the quotes on their own.
struct ByteMarks {
    uint64_t newlines;
    uint64_t quotes;
};
bool byte_marks_available();
// The bits below bit `count` (at most 64), to keep the marks of a line's own bytes.
inline uint64_t low_bits(std::size_t count) { return count >= 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1; }
ByteMarks byte_marks(const char *bytes);

// The fields of a line's bytes in order, each as written, quotes included.
// A field left open ends the fields, and is told by damaged() (a line kept
// by the scan has none).
class FieldCursor {
public:
    explicit FieldCursor(std::string_view bytes, const char *readable_end = nullptr)
        : bytes_(bytes), quotes_(bytes, readable_end ? readable_end : bytes.data() + bytes.size())
    {
    }
    // In the header: the field is handed back in registers, not through
    // memory the caller reads again at once.
    bool next(std::string_view &field)
    {
        const std::size_t open = quotes_.next();
        if (open == std::string_view::npos)
            return false;
        for (;;) {
            const std::size_t close = quotes_.next();
            if (close == std::string_view::npos) {
                damaged_ = true;
                return false;
            }
            // A doubled quote stays inside its field.
            if (close + 1 < bytes_.size() && bytes_[close + 1] == '"') {
                quotes_.next();
                continue;
            }
            field = bytes_.substr(open, close - open + 1);
            return true;
        }
    }
    bool damaged() const { return damaged_; }

private:
    std::string_view bytes_;
    QuoteCursor quotes_;
    bool damaged_ = false;
};

// The fields of a piece of at most 64 bytes whose quotes are the bits of
// `quotes` (bit i for byte i, those of its code left out), taken from the
// bits alone: field(k, text) for each, as FieldCursor would find them; the
// number of fields, or -1 for a field the piece ends in.
template <typename Field> int fields_of_quotes(std::string_view piece, uint64_t quotes, Field field)
{
    int count = 0;
    while (quotes != 0) {
        const unsigned open = static_cast<unsigned>(std::countr_zero(quotes));
        quotes &= quotes - 1;
        for (;;) {
            if (quotes == 0)
                return -1;
            const unsigned close = static_cast<unsigned>(std::countr_zero(quotes));
            quotes &= quotes - 1;
            // A doubled quote stays inside its field (no bit past byte 63).
            if ((quotes & (uint64_t{2} << close)) == 0) {
                field(++count, piece.substr(open, close - open + 1));
                break;
            }
            quotes &= quotes - 1;
        }
    }
    return count;
}

// The fields of a line read from a file (the search may read on into the
// file's later bytes).
FieldCursor line_fields(const Line &line);

// Field k (1 to count) of a line as written, quotes included: the replacing
// text when it was replaced, else its bytes in the file; empty when the line
// has no such field as text. Numeric fields read from the values instead.
std::string_view line_field_text(LineId id, int k);
// Replaces the text of field k; `text` must live as long as the model.
void line_set_field_text(LineId id, int k, std::string_view text);

// Origin pairs: a line's own (file, number) and those it gathered.
struct OriginPair {
    int32_t file;
    int32_t number;
};
// Moves every origin pair of `from` (its own and those it gathered) to the
// end of the pairs of `into`.
void line_gather_origins(LineId into, LineId from);
// Calls visit(pair) for the pairs of a line in order; true when some visit
// returned true (the walk then stops).
template <typename Visit> bool line_any_origin(LineId id, Visit visit);
// The gathered pairs after the own one, for line_any_origin: a ring of
// nodes of up to seven pairs each. A merged line gathers a pair per file
// merged, between which other lines take theirs, so one pair a node would
// put each of a line's pairs in a cache line of its own.
struct GatheredNode {
    static constexpr uint32_t PAIRS = 7;
    OriginPair pairs[PAIRS];
    uint32_t next;
    uint32_t count;
};
static_assert(sizeof(GatheredNode) == 64, "a node is one cache line, and a chunk fills a huge page");
namespace store_chunks {
extern GatheredNode *gathered[std::size_t{1} << (31 - GATHERED_BITS)];
} // namespace store_chunks
inline GatheredNode &gathered_at(uint32_t id)
{
    return store_chunks::gathered[id >> store_chunks::GATHERED_BITS][id & ((1u << store_chunks::GATHERED_BITS) - 1)];
}

// Releases every record, text and file of the run; the model starts empty
// again (no other thread may still be making records).
void model_release();

// Each loader thread takes and frees the same few megabytes of scratch for
// file after file. The allocator is told to keep freed room for the next
// file instead of giving it back to the system, which zeroes it again at
// a page fault per 4 KB. Called once, before the engine starts.
void model_memory_setup();

template <typename Visit> bool line_any_origin(LineId id, Visit visit)
{
    const Line &line = line_at(id);
    if (!line.has_origin)
        return false;
    if (visit(OriginPair{line.file, static_cast<int32_t>(line.number)}))
        return true;
    if (!gathers_origins(line.kind))
        return false;
    const uint32_t tail = static_cast<uint32_t>(line.values[GATHERED_SLOT]);
    if (tail == 0)
        return false;
    for (uint32_t at = gathered_at(tail).next;; at = gathered_at(at).next) {
        const GatheredNode &node = gathered_at(at);
        for (uint32_t k = 0; k < node.count; ++k)
            if (visit(node.pairs[k]))
                return true;
        if (at == tail)
            return false;
    }
}
