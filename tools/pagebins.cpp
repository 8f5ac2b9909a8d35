#include "pagebins.h"

#include "pagejson.h"

#include <algorithm>

namespace {

uint16_t saturated_add(uint16_t a, uint32_t b) { return static_cast<uint16_t>(std::min<uint32_t>(0xFFFF, a + b)); }

void fold_bins(LaneBins &bins, const Grid &from, const Grid &to)
{
    LaneBins folded;
    folded.allocate();
    for (int bin = 0; bin < GRID_BINS; ++bin) {
        const int into = static_cast<int>((from.start + static_cast<uint64_t>(bin) * from.width - to.start) / to.width);
        folded.cover[into] += bins.cover[bin];
        folded.started[into] = saturated_add(folded.started[into], bins.started[bin]);
        folded.worst[into] = std::max(folded.worst[into], bins.worst[bin]);
        folded.act[into] = saturated_add(folded.act[into], bins.act[bin]);
    }
    bins = std::move(folded);
}

int bit_length(uint32_t value)
{
    int bits = 0;
    for (; value; value >>= 1)
        ++bits;
    return std::min(bits, 31);
}

} // namespace

int severity(int verdict)
{
    static constexpr int by_code[] = {0, 4, 1, 2, 3};
    return verdict >= 0 && verdict <= NEVER_CLOSED ? by_code[verdict] : 2;
}

void LaneBins::allocate()
{
    cover.assign(GRID_BINS, 0);
    started.assign(GRID_BINS, 0);
    worst.assign(GRID_BINS, 0);
    act.assign(GRID_BINS, 0);
}

void grow_grid(Grid &grid, uint32_t time, std::vector<LaneBins *> lanes)
{
    if (!grid.set) {
        grid.set = true;
        grid.start = time;
        return;
    }
    while (time < grid.start || time >= grid.end()) {
        Grid grown = grid;
        grown.width = grid.width * 2;
        if (time < grid.start)
            grown.start = grid.start >= grid.width * GRID_BINS ? grid.start - grid.width * GRID_BINS : 0;
        for (LaneBins *bins : lanes)
            fold_bins(*bins, grid, grown);
        grid = grown;
    }
}

void add_to_bins(LaneBins &bins, const Grid &grid, uint32_t start, uint32_t end, bool scenario, int verdict)
{
    const int from = grid.bin(start), to = grid.bin(end);
    if (!scenario) {
        bins.act[from] = saturated_add(bins.act[from], 1);
        return;
    }
    ++bins.cover[from];
    bins.started[from] = saturated_add(bins.started[from], 1);
    if (to + 1 < GRID_BINS)
        --bins.cover[to + 1];
    if (verdict != PASSED)
        for (int bin = from; bin <= to; ++bin)
            bins.worst[bin] = std::max(bins.worst[bin], static_cast<uint8_t>(severity(verdict) + 1));
}

// A binned lane laid onto PAGE_BINS bins over the report's time range.
std::string lane_bins_json(const LaneBins &bins, const Grid &grid, uint32_t first, uint32_t last)
{
    std::vector<uint32_t> count(PAGE_BINS, 0), started(PAGE_BINS, 0), act(PAGE_BINS, 0);
    std::vector<uint8_t> worst(PAGE_BINS, 0);
    const uint64_t span = uint64_t{last} - first + 1;
    int64_t cover = 0;
    for (int bin = 0; bin < GRID_BINS; ++bin) {
        cover += bins.cover[bin];
        const uint64_t time = grid.start + static_cast<uint64_t>(bin) * grid.width;
        if (time + grid.width <= first || time > last)
            continue;
        const uint64_t at = time < first ? 0 : time - first;
        const auto out = static_cast<std::size_t>(std::min<uint64_t>(PAGE_BINS - 1, at * PAGE_BINS / span));
        count[out] = std::max<uint32_t>(count[out], static_cast<uint32_t>(std::max<int64_t>(cover, 0)));
        started[out] += bins.started[bin];
        act[out] += bins.act[bin];
        worst[out] = std::max(worst[out], bins.worst[bin]);
    }
    // Severity + 1 back to the verdict code + 1 that the script reads.
    static constexpr uint8_t code_of_severity[] = {0, PASSED + 1, INCONCLUSIVE + 1, UNKNOWN + 1, NEVER_CLOSED + 1, FAILED + 1};
    std::vector<uint8_t> sc(PAGE_BINS), activity(PAGE_BINS);
    for (int i = 0; i < PAGE_BINS; ++i) {
        count[i] = std::max(count[i], started[i]);
        const uint8_t code = worst[i] ? code_of_severity[worst[i]] : (count[i] ? PASSED + 1 : 0);
        sc[i] = static_cast<uint8_t>(code << 5 | bit_length(count[i]));
        activity[i] = static_cast<uint8_t>(std::min<uint32_t>(255, act[i]));
    }
    return "{\"sc\":\"" + base64(sc) + "\",\"act\":\"" + base64(activity) + "\"}";
}
