// Time keys: the time that orders a line or a group among the items of a
// list, and the fixed key of the closing lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "rodmodel.h"

// The key shared by every YI, YT, FE and FS line, whatever its fields hold.
constexpr uint32_t FIXED_TIME_KEY = 33;

// Position of the time field of a kind; 0 for kinds without one, including
// YI, YT, FE and FS, whose key is FIXED_TIME_KEY.
int time_field_position(int kind);
// Kinds with a time field of their own (TP, which the engine makes, aside).
bool has_own_time(int kind);

// A time key. A time field holds a value of the report's time base; the
// merge compares what it stands for (see MergeMemo). The fixed key is a
// value of its own, untouched by shifts.
struct TimeKey {
    bool present = false;
    bool fixed = false;
    uint32_t value = 0;
};

TimeKey line_time(LineId line);
// The key of the first line directly in the list that has one; nested
// groups are passed over.
TimeKey group_time(CellId list);
// line_time for a line, group_time for a group, none otherwise.
TimeKey item_time(Item x);

// The merged report's time base as the merge sees it: its time fields hold
// their real values minus `offset`; `scalings` counts the rescalings that
// rewrote them (see TimeBase).
struct TimeFrame {
    uint32_t offset = 0;
    uint32_t scalings = 0;
};

// Records of a chain for time-ordered insertion: a sorted sequence of
// (key, cell) in chunks of at most 64, with the greatest key of each chunk
// side by side, so that a search is a binary search over those and one in
// a chunk, and an insertion moves at most one chunk.
class RecordList {
    struct Chunk;

public:
    // A place: the chunk's number and, but at the end, the chunk itself,
    // so that the records of a known place are read without the tables.
    // A place stays good through insertions at it (a split keeps the chunk
    // at its number), not through clear().
    struct Pos {
        std::size_t chunk = 0;
        std::size_t index = 0;
        Chunk *records = nullptr;
    };
    // The first record whose key is greater than `key` (end() when none).
    Pos upper_bound(int64_t key) const;
    // The same, searched forward from `from` when no record before it has a
    // greater key (the next item of a file mostly lands at or after the
    // last one's place); from the start otherwise, or when `from` has no
    // chunk.
    Pos upper_bound_from(Pos from, int64_t key) const;
    // Fetches the cells of `count` records from `pos` on, within its chunk.
    void prefetch_cells(Pos pos, uint32_t count) const;
    Pos end() const { return {chunks_.size(), 0, nullptr}; }
    bool is_end(Pos pos) const { return pos.chunk == chunks_.size(); }
    CellId &cell(Pos pos) { return pos.records->cells[pos.index]; }
    // The key of the record before `pos`; false when there is none.
    bool key_before(Pos pos, int64_t &key) const;
    // Inserts before `pos` (at the end for end()); keys must stay sorted.
    void insert(Pos pos, int64_t key, CellId cell);
    void clear();

private:
    static constexpr uint32_t CHUNK = 64;
    struct Chunk {
        uint32_t size = 0;
        int64_t keys[CHUNK];
        CellId cells[CHUNK];
    };
    // The first record of chunk `chunk` whose key is greater than `key`
    // (the chunk's greatest key is).
    Pos searched_in(std::size_t chunk, int64_t key) const;
    void split(std::size_t at);
    std::vector<std::unique_ptr<Chunk>> chunks_;
    std::vector<int64_t> greatest_; // the last key of each chunk
};

// Time-ordered insertion into a chain that takes items from file after file
// (a merged group's inner items, the -TIME body): each item goes before the
// first cell whose item's key is greater, items without key are never the
// place, and equal keys keep arrival order. The first cell with a greater key
// is the first record with a greater key, a record being a cell whose key is
// greater than every key before it; an insertion leaves the other records
// in place, so it is one search instead of a walk.
//
// Keys compare as the unsigned 32-bit real times. A shift of the merged
// report moves every real time but the fixed key alike: the records hold
// while no time crosses 2^32 relative to the others (they are kept as
// 64-bit values on one side of a wrap), and while the fixed key, which
// shifts leave alone, is not among them. Otherwise, and after a rescaling,
// they are found again from the chain.
class TimeOrder {
public:
    // The chain is made of the cells after `head`, up to (without) `end`.
    TimeOrder(CellId head, CellId end) : head_(head), end_(end) {}
    // Puts `item` (which has `key`) in its place, using the free cell
    // `holder`; returns the cell that holds it.
    CellId insert(Item item, const TimeKey &key, CellId holder, const TimeFrame &frame);
    // The chain's last cell (head when it is empty).
    CellId tail(const TimeFrame &frame);

private:
    bool holds(const TimeFrame &frame) const;
    void rebuild(const TimeFrame &frame);
    void note_key(int64_t value, bool fixed);

    CellId head_;
    CellId end_;
    CellId tail_ = 0;
    RecordList records_;
    RecordList::Pos last_place_; // where the last insertion went
    bool built_ = false;
    TimeFrame built_frame_;
    int64_t low_ = 0;
    int64_t high_ = 0;
    bool timed_ = false; // some key that shifts move
    bool fixed_ = false; // some fixed key
};
