// The timeline of a lane with more marks than the page affords: counts and
// worst verdicts per time bin. The bins lie on a grid that grows as times
// arrive, since the time range is only known once the RDD file is read.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

// Scenario verdict codes of the data block.
enum Verdict : int { PASSED = 0, FAILED = 1, INCONCLUSIVE = 2, UNKNOWN = 3, NEVER_CLOSED = 4 };

// Worst first on the timeline: failed, never closed, unknown, inconclusive.
int severity(int verdict);

// Bins a binned lane has on the page, over the report's time range.
constexpr int PAGE_BINS = 1024;
// Bins kept while reading: twice as fine, so that the page's bins are
// whole after the last growth.
constexpr int GRID_BINS = 2 * PAGE_BINS;

struct Grid {
    bool set = false;
    uint64_t start = 0;
    uint64_t width = 1; // a power of two: it starts at 1 and only doubles

    uint64_t end() const { return start + width * GRID_BINS; }
    // A shift, not a division: every mark of every lane is binned.
    int bin(uint32_t time) const { return static_cast<int>((time - start) >> std::countr_zero(width)); }
};

struct LaneBins {
    std::vector<int32_t> cover;   // scenarios: +1 where one starts, -1 after it ends
    std::vector<uint16_t> started; // scenarios that start here (saturating): a short one folds out of `cover`
    std::vector<uint8_t> worst;   // severity + 1 of the worst scenario that did not pass, 0 for none
    std::vector<uint16_t> act;    // events, rendezvous and instance blocks that start here (saturating)

    void allocate();
};

// The grid grown (each growth doubles the bin width) until it holds `time`;
// every lane's bins are folded onto it.
void grow_grid(Grid &grid, uint32_t time, std::vector<LaneBins *> lanes);
// A mark from `start` to `end` (on the grid): a scenario with its verdict,
// or any other mark.
void add_to_bins(LaneBins &bins, const Grid &grid, uint32_t start, uint32_t end, bool scenario, int verdict);
// The lane as the data block gives it: PAGE_BINS bins over first..last,
// base64 of one byte each for scenarios (verdict code + 1 in the high 3
// bits, bit length of the count in the low 5) and for the other marks
// (their count, 255 for more).
std::string lane_bins_json(const LaneBins &bins, const Grid &grid, uint32_t first, uint32_t last);
