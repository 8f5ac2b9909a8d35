// Synchronisation of time bases: before a file's tree is merged, its times
// and those of the merged report are brought to one time unit (the finer of
// the two) and one origin, using the SY lines (clock description) of both
// sides, else the RD lines (rendezvous) of the bodies, else the first event
// of each body.
//
// Numbers are computed as 32-bit values that wrap. Every fault (a side
// without SY line, a unit or period of 0 where it would be divided by or
// looped on, a missing field, no event to align) ends the run with
// UNEXPTEOF.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cstsyst.h"
#include "rodbase.h"
#include "rodmodel.h"

// The slot of an RD line's values (its numeric fields take the three
// before it) that holds, once name_rendezvous_lines named its file's lines,
// 1 + the index of its field 1 among the rendezvous names of its file
// (FileLines::rd_names): the merge then finds each RD line's name without
// reading its bytes, which lie in a file loaded a while ago. 0: not named.
constexpr int RD_NAME_SLOT = 3;

// The merged body's RD lines in tree order, for aligning file after file by
// rendezvous without walking the merged body each time: an order-
// maintenance list over the body's RD lines and the opening and closing
// lines of its groups that take items (XI, DT, XE and DS groups), whose
// labels rise in tree order, and the RD lines of each rendezvous name by
// label. It is built from the body the first time a file is aligned by
// rendezvous; from then on the merge tells it every item it links into the
// body. An item goes in before the first labelled line found from its place
// on, which a group's opening or closing line bounds.
//
// The items a file's merge links are placed when the order is next read
// (before the next file is aligned), all in one pass: their searches are
// independent walks of the merged body, taken several at once so that
// their cache misses overlap. A search then also stops at the lines of
// items still to be placed, which go in first.
class RendezvousOrder {
public:
    bool active() const { return active_; }
    // Labels the merged body (the item of `body`).
    void build(CellId body);
    // Labels an item the merge linked into the body: before the first
    // labelled line found from the cell `from` on (its chain and the lists in
    // it), then along the chains `then` in turn (0: none); at the end when
    // none. Only cells linked after it may come between the item and those
    // chains until the order is read.
    void linked(Item item, CellId from, std::array<CellId, 2> then = {});
    // An RD line of the order, its label and its field 4.
    struct Named {
        LineId line = 0;
        uint64_t label = 0;
        int32_t value = 0;
    };
    // The first RD line named as the RD line `rd` whose label is above
    // `after` (0: from the start); line 0 when there is none.
    Named next_named(LineId rd, uint64_t after);
    // The rendezvous names of the file whose lines are numbered `file`,
    // about to be aligned and merged: from now on its RD lines' names are
    // taken from their name slot.
    void take_names(std::span<const std::string_view> names, uint16_t file);
    // The merged body's times were multiplied: field 4 of its RD lines is
    // read again.
    void reread_values();

private:
    // Blocks of one huge page each, held until the order goes.
    class HugeBlocks {
    public:
        char *take(bool zeroed = false)
        {
            void *raw = nullptr;
            char *block = warm_huge_page(raw, zeroed);
            raws_.emplace_back(raw);
            return block;
        }

    private:
        std::vector<std::unique_ptr<void, XFree>> raws_;
    };
    struct Node {
        uint64_t label;
        uint32_t prev;
        uint32_t next;
    };
    // Grows a huge page at a time: nothing is moved, and a big merged
    // body's labels take a page fault per 2 MB, not per 4 KB.
    template <typename T> class Chunked {
    public:
        T &operator[](uint32_t index) { return chunks_[index >> BITS][index & (SIZE - 1)]; }
        const T &operator[](uint32_t index) const { return chunks_[index >> BITS][index & (SIZE - 1)]; }
        uint32_t size() const { return size_; }
        void push_back(const T &value)
        {
            if ((size_ & (SIZE - 1)) == 0)
                chunks_.push_back(reinterpret_cast<T *>(blocks_.take()));
            (*this)[size_++] = value;
        }

    private:
        static constexpr uint32_t SIZE = HUGE_PAGE / sizeof(T);
        static constexpr unsigned BITS = std::countr_zero(SIZE);
        static_assert(std::has_single_bit(SIZE));
        std::vector<T *> chunks_;
        HugeBlocks blocks_;
        uint32_t size_ = 0;
    };
    using Nodes = Chunked<Node>;
    // The RD lines of one rendezvous name in label order, each with a copy
    // of its label and of its field 4, in chunks: a search compares with the
    // copies beside one another, not with a node elsewhere in memory per
    // label it reads, and the alignment reads no line merged long ago.
    // When make_room moves labels, it moves the copies too (relabel). A
    // file's RD lines are placed and looked up in rising order, so each
    // search gallops on from where the last one ended.
    class NamedLines {
    public:
        void insert(uint64_t label, LineId line, int32_t value);
        // The first line whose label is above `after`; line 0 when none is.
        Named first_above(uint64_t after);
        void reread_values();
        // The line labelled `old` now has the label `fresh`. The lines a
        // pass of make_room relabels come in label order, so after the
        // first of a pass each is the one after the last; their copies
        // keep their order.
        void relabel(uint64_t old, uint64_t fresh, uint64_t pass);

    private:
        static constexpr uint32_t CHUNK = 256;
        // A line and its field 4 side by side: a lookup's result is one
        // load once the search found its place.
        struct Entry {
            LineId line;
            int32_t value;
        };
        struct Chunk {
            uint32_t size = 0;
            uint64_t labels[CHUNK];
            Entry entries[CHUNK];
        };
        std::size_t chunk_above(uint64_t label);
        uint32_t index_above(std::size_t at, uint64_t label) const;
        std::vector<std::unique_ptr<Chunk>> chunks_;
        std::vector<uint64_t> lasts_;  // the last label of each chunk
        std::size_t finger_ = 0;       // the chunk the last search ended in
        std::size_t finger_chunk_ = 0; // the chunk and place after the line
        uint32_t finger_index_ = 0;    // the last search found or placed
        uint64_t pass_ = 0;            // the relabel pass that last moved a label,
        std::size_t pass_chunk_ = 0;   // and the chunk and place of that label
        uint32_t pass_index_ = 0;
    };
    // Names compare with a copy kept in the table: a name from a file
    // loaded long ago would be a cache miss per lookup.
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const { return std::hash<std::string_view>()(name); }
    };
    uint32_t node_of(LineId line) const;
    bool is_labelled(LineId line) const;
    void set_node(LineId line, uint32_t node);
    void insert_before(uint32_t successor, LineId line);
    void make_room(uint32_t at);
    void relabel(uint32_t node, uint64_t label);
    void collect_anchors(Item item);
    // An item linked since the order was last read: where its search
    // starts, its anchors (in pending_anchors_) and where the search stopped.
    struct Pending {
        CellId from;
        std::array<CellId, 2> then;
        uint32_t first_anchor;
        uint32_t anchor_count;
        LineId stop; // a labelled line or an anchor of a pending item; 0: none
        bool placed;
    };
    // A search under way: the cell it reads next and the line it tests
    // next (both fetched ahead), and the chains it goes back to, as
    // LineCursor walks.
    struct Lane {
        uint32_t item;
        CellId cell;
        LineId check;
        uint32_t then_at;
        std::vector<CellId> resume;
    };
    // Places the pending items.
    void settle();
    void find_stops();
    bool start_lane(Lane &lane, uint32_t item);
    bool advance_lane(Lane &lane);
    bool step_lane(Lane &lane);
    void place_pending(uint32_t item);
    void prefetch_place(uint32_t item, bool node);
    // The name (in named_) of `name`, added when new.
    uint32_t name_index(std::string_view name);
    // The name of the RD line `rd`, added when new.
    uint32_t name_of(LineId rd);

    bool active_ = false;
    Nodes nodes_; // from build on, 0: before the first line, 1: after the last
    Chunked<uint32_t> names_; // the name (in named_) of each node's RD line, NO_NAME for others
    std::vector<uint32_t *> node_chunks_; // node of each labelled line, by line id
    // One bit per line id, set for the labelled lines: a search for the
    // next labelled line passes many that are not, and this table stays in
    // the caches where node_chunks_ would be a miss per line.
    std::vector<uint64_t> labelled_;
    HugeBlocks node_blocks_;
    std::vector<NamedLines> named_;
    std::unordered_map<std::string, uint32_t, NameHash, std::equal_to<>> by_name_;
    uint64_t relabel_pass_ = 0;
    // The names of the file take_names was last told of, by its name slots.
    std::vector<uint32_t> file_names_;
    uint16_t names_file_ = 0;
    // Scratch of collect_anchors, kept from item to item.
    struct Place {
        CellId cell;
        bool first;
        bool bounded;
    };
    std::vector<Place> places_;
    std::vector<LineId> anchors_;
    std::vector<Pending> pending_;
    std::vector<LineId> pending_anchors_;
    static constexpr std::size_t LANES = 16;
    std::array<Lane, LANES> lanes_;
    std::vector<uint32_t> chain_; // scratch of place_pending
};

// The merged report's time base, kept from file to file.
//
// Shifts of the merged report are not written into its time fields (a walk
// of the whole report for every file): they add up in `offset`, and the
// real value of a time field of the merged report (the one field of its
// kind that a shift moves) is its stored value plus the offset, wrapping.
// A file's lines join the merged report in that stored form
// (store_times_as_merged); the writer adds the offset. SY lines are moved
// at once: the merged report's SY lines are kept in tree order while every
// file's SY lines lie in its first part, which the merge keeps in file
// order at the head of the report; after a file with SY lines elsewhere
// the report is searched for them each time.
struct TimeBase {
    uint32_t offset = 0;
    std::vector<LineId> sy_lines;
    bool sy_known = true;
    // Field 1 (the clock, as written) of each of sy_lines: every new file's
    // clock is compared with them all, whose bytes lie in as many files.
    std::vector<std::string> sy_clocks;
    // Counts the scalings of the merged report, which change the stored
    // times themselves (an index over them must be rebuilt).
    uint32_t scalings = 0;
    RendezvousOrder rendezvous;
};

// What the loading knows of a file's lines, so that its synchronisation
// walks no tree.
struct FileLines {
    ScratchVector<LineId> lines;  // every line, in tree order
    std::vector<LineId> sy_lines; // those whose code is "SY"
    std::vector<LineId> sy_kind;  // those of kind SY, whose origins move with its times
    bool sy_in_first_part = true;
    std::vector<LineId> body_rd;  // the body's lines whose code is "RD"
    // The names (field 1) of body_rd, each once, by their name slots.
    std::vector<std::string_view> rd_names;
    bool ie_in_first_part = true; // its IE lines (whose names the writer numbers)
};

// Fills rd_names and the name slots of body_rd. On the loader's thread:
// the lines' bytes are still near.
void name_rendezvous_lines(FileLines &file);

// Aligns the new file's tree `report` (whose lines `file` describes) with
// the merged report (nothing for the first file, `merged` 0) and records
// the new file's SY lines. Returns what the new file's time fields (but
// those of SY lines) still move by, which store_times_as_merged makes.
uint32_t synchronise(TimeBase &base, CellId merged, CellId report, const FileLines &file);
// Moves the time fields of a file about to be merged by `file_shift` and
// puts them in the stored form.
void store_times_as_merged(const TimeBase &base, const FileLines &file, uint32_t file_shift);

// The lines of kind `kind` whose code is exactly its keyword, in the tree
// from `tree` on (depth first, items before next).
std::vector<LineId> collect_lines(CellId tree, LineKind kind);

// An SY origin: high * period + low, in the report's units.
struct SyOrigin {
    int32_t high;   // field 2
    int32_t low;    // field 3
    int32_t period; // field 4
};

// Origin of `a` minus origin of `b` (both on one clock):
// (a.high - b.high) * (a.period / b.period) * b.period + (a.low - b.low),
// the division unsigned, the rest wrapping. Null when either period is 0.
std::optional<int32_t> clock_offset(SyOrigin a, SyOrigin b);

// The origin moved back by d: while low < d (unsigned), low += period and
// high -= 1; then low -= d (all wrapping). Computed in closed form; null
// when that loop would never end.
std::optional<SyOrigin> origin_moved_back(SyOrigin origin, uint32_t d);

// Smallest n >= 0 with (step * n) mod modulus in [low, high], for
// 0 <= low <= high < modulus <= 2^32 and step < modulus; null when none.
std::optional<uint64_t> first_multiple_in_range(uint64_t step, uint64_t modulus, uint64_t low, uint64_t high);
