// Time-ordered insertion into long-lived chains: whatever the shifts,
// wraps past 2^32, rescalings and fixed keys, each item lands where a walk
// from the start of the chain would put it.
#include "rodtri.h"

#include "rodmodel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <vector>

namespace {

// An item of the chain: a TP line keeps a stored time; a YI line has the
// fixed key; a CH line has no key.
struct Entry {
    Item item;
    std::optional<uint32_t> stored; // none: fixed key or no key
    bool fixed;
};

Item make_line(LineKind kind, uint32_t stored)
{
    const LineId id = line_new();
    line_at(id).kind = kind;
    line_at(id).values[0] = static_cast<int32_t>(stored);
    return line_item(id);
}

// The walk the records stand for: before the first item whose real key
// (stored + offset, or the fixed key) is greater.
std::size_t walked_place(const std::vector<Entry> &chain, uint32_t real, uint32_t offset)
{
    for (std::size_t at = 0; at < chain.size(); ++at) {
        const Entry &entry = chain[at];
        if (!entry.stored && !entry.fixed)
            continue;
        const uint32_t other = entry.fixed ? FIXED_TIME_KEY : *entry.stored + offset;
        if (other > real)
            return at;
    }
    return chain.size();
}

std::vector<Item> chain_items(CellId head, CellId end)
{
    std::vector<Item> items;
    for (CellId cell = cell_at(head).next; cell != end; cell = cell_at(cell).next)
        items.push_back(cell_at(cell).item);
    return items;
}

TEST(TimeOrder, EveryInsertionLandsWhereTheWalkPutsIt)
{
    for (uint32_t seed = 1; seed <= 30; ++seed) {
        std::mt19937 random(seed);
        const bool near_wrap = seed % 3 == 0;
        auto time = [&] { return (near_wrap ? 0xFFFFF000u : 0u) + random() % 8192; };
        const CellId closing = cell_new(make_line(KIND_YI, 0));
        const CellId head = cell_new(make_line(KIND_XI, 0), closing);
        std::vector<Entry> chain;
        // What the chain holds before the records are first found.
        for (int k = 0; k < 20; ++k) {
            const int kind = k % 7 == 3 ? 1 : k % 11 == 5 ? 2 : 0;
            const uint32_t stored = time();
            const Entry entry{make_line(kind == 1 ? KIND_CH : kind == 2 ? KIND_YI : KIND_TP, stored),
                              kind == 0 ? std::optional<uint32_t>(stored) : std::nullopt, kind == 2};
            cell_at(head).next = cell_new(entry.item, cell_at(head).next);
            chain.insert(chain.begin(), entry);
        }
        TimeOrder order(head, closing);
        TimeFrame frame;
        for (int step = 0; step < 3000; ++step) {
            const uint32_t roll = random() % 100;
            if (roll < 3) {
                frame.offset += near_wrap ? 0x1000u + random() % 0x4000 : random() % 64;
            } else if (roll == 3 && !near_wrap) {
                // A rescaling rewrites the stored times and the offset.
                const uint32_t k = 2 + random() % 3;
                for (Entry &entry : chain) {
                    if (entry.stored) {
                        *entry.stored *= k;
                        line_at(line_of(entry.item)).values[0] = static_cast<int32_t>(*entry.stored);
                    }
                }
                frame.offset *= k;
                ++frame.scalings;
            } else {
                const bool fixed = roll == 4;
                const uint32_t stored = time();
                const Entry entry{make_line(fixed ? KIND_YI : KIND_TP, stored),
                                  fixed ? std::nullopt : std::optional<uint32_t>(stored), fixed};
                const uint32_t real = fixed ? FIXED_TIME_KEY : stored + frame.offset;
                chain.insert(chain.begin() + static_cast<std::ptrdiff_t>(walked_place(chain, real, frame.offset)), entry);
                order.insert(entry.item, item_time(entry.item), cell_new(), frame);
            }
        }
        std::vector<Item> expected;
        for (const Entry &entry : chain)
            expected.push_back(entry.item);
        ASSERT_EQ(chain_items(head, closing), expected) << "seed " << seed;
        EXPECT_EQ(cell_at(order.tail(frame)).next, closing);
        model_release();
    }
}

// Files come one after the other, each with its items mostly in time
// order: the search goes on from the last place, across chunks of records,
// and back to the start when a key falls behind it.
TEST(TimeOrder, FilesInTimeOrderLandWhereTheWalkPutsThem)
{
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 random(seed);
        const CellId closing = cell_new(make_line(KIND_YI, 0));
        const CellId head = cell_new(make_line(KIND_XI, 0), closing);
        std::vector<Entry> chain;
        TimeOrder order(head, closing);
        const TimeFrame frame;
        for (int file = 0; file < 40; ++file) {
            uint32_t stored = random() % 500;
            for (int k = 0; k < 150; ++k) {
                stored = random() % 20 == 0 ? stored - std::min<uint32_t>(stored, random() % 300)
                                            : stored + random() % (file % 4 == 0 ? 400 : 40);
                const Entry entry{make_line(KIND_TP, stored), stored, false};
                chain.insert(chain.begin() + static_cast<std::ptrdiff_t>(walked_place(chain, stored, 0)), entry);
                order.insert(entry.item, item_time(entry.item), cell_new(), frame);
            }
        }
        std::vector<Item> expected;
        for (const Entry &entry : chain)
            expected.push_back(entry.item);
        ASSERT_EQ(chain_items(head, closing), expected) << "seed " << seed;
        model_release();
    }
}

} // namespace
