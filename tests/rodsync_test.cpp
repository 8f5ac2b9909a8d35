// Synchronisation: the closed forms that replace the borrow loop, and the
// rendezvous order kept over a merged body that keeps growing.
#include "rodsync.h"

#include "rod_text.h"

#include "i18n_zrm_msg.h"
#include "rodadnam.h"
#include "rodbase.h"
#include "rodmodel.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

TEST(SyncArithmetic, OriginMovedBackAsTheBorrowLoopMovesIt)
{
    std::mt19937 random(7);
    for (int trial = 0; trial < 20000; ++trial) {
        // Small periods and shifts, or periods of 2^20 and more with any shift.
        const bool small = trial % 2 == 0;
        const uint32_t period = small ? 1 + random() % 50 : (1u << 20) + random() % (0xFFFFFFF0u - (1u << 20));
        const uint32_t d = small ? 1 + random() % 200 : 1 + random() % 0xFFFFFFFEu;
        const SyOrigin origin{static_cast<int32_t>(random()), static_cast<int32_t>(random() % period),
                              static_cast<int32_t>(period)};
        uint32_t low = static_cast<uint32_t>(origin.low);
        uint32_t high = static_cast<uint32_t>(origin.high);
        for (int steps = 0; low < d && steps < 1000000; ++steps) {
            low += period;
            --high;
        }
        const auto moved = origin_moved_back(origin, d);
        if (low < d)
            continue; // the loop would go on longer than tried here
        ASSERT_TRUE(moved) << trial;
        EXPECT_EQ(static_cast<uint32_t>(moved->low), low - d) << trial;
        EXPECT_EQ(static_cast<uint32_t>(moved->high), high) << trial;
    }
    EXPECT_FALSE(origin_moved_back({0, 0, 0}, 1));
    // low + n * 2^31 takes the values 0 and 2^31 only, never 2^31 + 1.
    EXPECT_FALSE(origin_moved_back({0, 0, INT32_MIN}, 0x80000001u));
}

Item line(LineKind kind, const std::string &name = "")
{
    const LineId id = line_new();
    line_at(id).kind = kind;
    line_at(id).exact_code = 1;
    if (!name.empty()) {
        line_at(id).count = 1;
        line_set_field_text(id, 1, text_keep("\"" + name + "\""));
    }
    return line_item(id);
}

// A block: its opening line, an RD line named `name`, its closing line.
Item block(const std::string &name)
{
    const CellId closing = cell_new(line(KIND_YI));
    return list_item(cell_new(line(KIND_XI), cell_new(line(KIND_RD, name), closing)));
}

// An RD line of file `file` named `name`, its name slot `slot`; with
// neither, a line the order names by its text, to look a name up with.
LineId rd_line(const std::string &name, uint16_t file, int32_t slot = 0)
{
    const LineId rd = line_of(line(KIND_RD, name));
    line_at(rd).file = file;
    line_at(rd).values[RD_NAME_SLOT] = slot;
    return rd;
}

std::vector<std::string> names_in_order(RendezvousOrder &order, const std::vector<std::string> &names)
{
    std::vector<LineId> probes;
    for (const std::string &name : names)
        probes.push_back(rd_line(name, 0));
    std::vector<std::string> seen;
    uint64_t after = 0;
    for (;;) {
        LineId first = 0;
        uint64_t first_label = UINT64_MAX;
        for (const LineId probe : probes) {
            const RendezvousOrder::Named found = order.next_named(probe, after);
            if (found.line && found.label < first_label) {
                first = found.line;
                first_label = found.label;
            }
        }
        if (!first)
            return seen;
        seen.emplace_back(line_field_text(first, 1));
        after = first_label;
    }
}

// Blocks named a, b or c go into a body made of `initial`, one at a time,
// each after the block `next` picks (its index and the new block's name);
// the named lines must still come out in tree order.
template <typename Next> void expect_tree_order(const std::vector<std::string> &initial, int count, Next next)
{
    CellId first = 0;
    for (auto name = initial.rbegin(); name != initial.rend(); ++name)
        first = cell_new(block(*name), first);
    RendezvousOrder order;
    order.build(cell_new(list_item(first)));
    std::vector<std::string> expected;
    for (const std::string &name : initial)
        expected.push_back("\"" + name + "\"");
    for (int k = 0; k < count; ++k) {
        const auto [after, name] = next(k, expected.size());
        CellId place = first;
        for (std::size_t step = 0; step < after; ++step)
            place = cell_at(place).next;
        const CellId added = cell_new(block(name), cell_at(place).next);
        cell_at(place).next = added;
        order.linked(cell_at(added).item, cell_at(added).next, {});
        expected.insert(expected.begin() + static_cast<std::ptrdiff_t>(after) + 1, "\"" + name + "\"");
    }
    EXPECT_EQ(names_in_order(order, {"a", "b", "c"}), expected);
    model_release();
}

TEST(RendezvousOrder, NamedLinesStayInTreeOrderThroughInsertions)
{
    // Again and again right after the first block, which soon leaves no room
    // between two labels.
    expect_tree_order({"a", "b"}, 3000, [](int k, std::size_t) {
        return std::pair<std::size_t, std::string>{0, k % 2 ? "b" : "c"};
    });
    // At pseudo-random places of a growing body, so that the lines of each
    // name fill, split and extend their chunks at the front, middle and end.
    uint32_t random = 12345;
    expect_tree_order({"a"}, 4000, [&random](int, std::size_t size) {
        random = random * 1103515245u + 12345u;
        return std::pair<std::size_t, std::string>{(random >> 8) % size, std::string(1, char('a' + (random >> 4) % 3))};
    });
    // Rising, as a file's lines go in: each a little after the last, with
    // gaps that make the search gallop over one, two, many lines of its name.
    std::size_t place = 0;
    expect_tree_order({"a", "b", "a", "c", "a", "b"}, 4000, [&place](int k, std::size_t size) {
        place = (place + 1 + static_cast<std::size_t>(k % 5) * (k % 7)) % size;
        return std::pair<std::size_t, std::string>{place, k % 3 ? "a" : "b"};
    });
}

// A list of the given items.
Item list_of_items(std::initializer_list<Item> items)
{
    CellId first = 0;
    for (auto item = std::rbegin(items); item != std::rend(items); ++item)
        first = cell_new(*item, first);
    return list_item(first);
}

TEST(RendezvousOrder, ItemsLinkedBeforeTheOrderIsReadArePlacedAsTheyLie)
{
    // A body of runs (lists of XI groups). Between two reads of the order
    // the merge links new XI groups into runs (their search goes on after
    // the run: the chain `then`) and RD lines or EV blocks into groups,
    // also into groups linked since the last read: a search then stops at
    // a line of an item not yet placed, or passes items without anchors.
    // An EV block's lines are not labelled, but an RD line inside one is.
    std::mt19937 random(11);
    std::vector<CellId> groups;
    std::vector<CellId> runs;
    CellId first = 0;
    for (int k = 0; k < 6; ++k) {
        const Item group = list_of_items({line(KIND_XI), line(KIND_YI)});
        groups.push_back(list_of(group));
        first = cell_new(list_of_items({group}), first);
        runs.push_back(first);
    }
    const CellId body = cell_new(list_item(first));
    RendezvousOrder order;
    order.build(body);
    const std::vector<std::string> names{"a", "b", "c"};
    const auto expect_tree_order = [&](int k) {
        std::vector<std::string> expected;
        for (const LineId rd : collect_lines(body, KIND_RD))
            expected.emplace_back(line_field_text(rd, 1));
        EXPECT_EQ(names_in_order(order, names), expected) << "after " << k << " items";
    };
    for (int k = 1; k <= 3000; ++k) {
        if (random() % 8 == 0) {
            const Item group = list_of_items({line(KIND_XI), line(KIND_RD, names[random() % 3]), line(KIND_YI)});
            const CellId run = runs[random() % runs.size()];
            CellId place = list_of(cell_at(run).item);
            for (uint32_t steps = random() % 3; steps > 0 && cell_at(place).next; --steps)
                place = cell_at(place).next;
            const CellId added = cell_new(group, cell_at(place).next);
            cell_at(place).next = added;
            groups.push_back(list_of(group));
            order.linked(group, cell_at(added).next, {cell_at(run).next});
        } else {
            Item item = line(KIND_RD, names[random() % 3]);
            if (random() % 4 == 0)
                item = list_of_items({line(KIND_EV), random() % 2 ? item : line(KIND_CH), line(KIND_CH)});
            CellId place = groups[random() % groups.size()];
            for (uint32_t steps = random() % 6; steps > 0 && cell_at(cell_at(place).next).next; --steps)
                place = cell_at(place).next;
            const CellId added = cell_new(item, cell_at(place).next);
            cell_at(place).next = added;
            order.linked(item, cell_at(added).next);
        }
        if (k % 700 == 0)
            expect_tree_order(k);
    }
    expect_tree_order(3000);
    model_release();
}

TEST(RendezvousOrder, RdLinesOfTheFileAboutToMergeAreNamedByTheirSlots)
{
    for (int position = 1; position < 8; ++position)
        EXPECT_NE(numeric_slot(KIND_RD, position), RD_NAME_SLOT) << position;

    FileLines file;
    for (const char *name : {"b", "a", "b", "c"})
        file.body_rd.push_back(rd_line(name, 5));
    name_rendezvous_lines(file);
    EXPECT_EQ(file.rd_names, (std::vector<std::string_view>{"\"b\"", "\"a\"", "\"c\""}));
    std::vector<int32_t> name_slots;
    for (const LineId rd : file.body_rd)
        name_slots.push_back(line_at(rd).values[RD_NAME_SLOT]);
    EXPECT_EQ(name_slots, (std::vector<int32_t>{1, 2, 1, 3}));

    // The body holds a line of an earlier file; the merge links the file's
    // lines, then one of another file and one without a slot, whose slots
    // are not the file's: those are named by their text.
    const CellId first = cell_new(list_of_items({line(KIND_XI), line(KIND_RD, "a"), line(KIND_YI)}));
    RendezvousOrder order;
    order.build(cell_new(list_item(first)));
    order.take_names(file.rd_names, 5);
    std::vector<LineId> linked = file.body_rd;
    linked.push_back(rd_line("a", 6, 3));
    linked.push_back(rd_line("c", 5));
    CellId last = list_of(cell_at(first).item);
    for (const LineId rd : linked) {
        const CellId added = cell_new(line_item(rd), cell_at(last).next);
        cell_at(last).next = added;
        last = added;
        order.linked(line_item(rd), cell_at(added).next, {});
    }
    EXPECT_EQ(names_in_order(order, {"a", "b", "c"}),
              (std::vector<std::string>{"\"b\"", "\"a\"", "\"b\"", "\"c\"", "\"a\"", "\"c\"", "\"a\""}));
    // A lookup by line finds what a lookup by its name finds.
    for (const LineId rd : linked) {
        const std::string_view name = line_field_text(rd, 1);
        const LineId probe = rd_line(std::string(name.substr(1, name.size() - 2)), 0);
        EXPECT_EQ(order.next_named(rd, 0).line, order.next_named(probe, 0).line);
    }
    model_release();
}

TEST(RendezvousOrder, LookupsFindTheNextLineWhateverTheStrideOrDirection)
{
    // Many lines of one name span many chunks; lookups rise with strides
    // of every size (the search gallops from where the last one ended) and
    // then fall (it starts over).
    constexpr int COUNT = 6000;
    std::vector<CellId> cells(COUNT);
    for (int k = COUNT - 1; k >= 0; --k)
        cells[k] = cell_new(block("a"), k + 1 < COUNT ? cells[k + 1] : 0);
    RendezvousOrder order;
    order.build(cell_new(list_item(cells[0])));
    const LineId a = rd_line("a", 0);
    std::vector<LineId> lines;
    std::vector<uint64_t> labels;
    for (uint64_t after = 0;;) {
        const RendezvousOrder::Named found = order.next_named(a, after);
        if (!found.line)
            break;
        lines.push_back(found.line);
        labels.push_back(found.label);
        after = found.label;
    }
    ASSERT_EQ(lines.size(), std::size_t{COUNT});
    auto expect_next = [&](std::size_t at) {
        EXPECT_EQ(order.next_named(a, labels[at]).line, at + 1 < lines.size() ? lines[at + 1] : 0)
            << "after line " << at;
    };
    for (std::size_t stride : {1, 2, 3, 7, 50, 255, 256, 257, 700, 2500})
        for (std::size_t at = 0; at < lines.size(); at += stride)
            expect_next(at);
    for (std::size_t at = lines.size(); at-- > 0; at -= std::min<std::size_t>(at, 37))
        expect_next(at);
    model_release();
}

// A new file aligns by clock only when every SY line merged so far names
// its clock: its origin, 3 after the first file's, then moves its times by
// 3, where aligning their first events (both at 100) moves nothing.
TEST(ClockAlignment, EveryEarlierSyLineMustNameTheNewClock)
{
    catalog_fill();
    const auto sy = [](const char *clock, const char *low) {
        return std::string("SY \"") + clock + "\" \"0\" \"" + low + "\" \"1000\" \"1\" \"ms\"\n";
    };
    struct Row {
        std::vector<std::string> heads; // each file's SY lines, the new file's last
        uint32_t shift;
    };
    const Row rows[] = {
        {{sy("A", "5"), sy("A", "8")}, 3},
        {{sy("A", "5"), sy("A", "5"), sy("A", "5") + sy("A", "6"), sy("A", "8")}, 3},
        {{sy("A", "5"), sy("B", "5"), sy("A", "8")}, 0},
        {{sy("A", "5") + sy("B", "5"), sy("A", "8")}, 0},
        {{sy("A", "5"), sy("A", "5"), sy("B", "5"), sy("A", "5"), sy("A", "8")}, 0},
        {{sy("B", "5"), sy("A", "8")}, 0},
    };
    for (const Row &row : rows) {
        TimeBase base;
        CellId merged = 0;
        uint32_t shift = 0;
        for (std::size_t at = 0; at < row.heads.size(); ++at) {
            const RodFile file = rodtext::load("RE \"r\" \"1\" \"0\"\n" + row.heads[at] +
                                                   "XI \"100\" \"2\" \"0\"\nYI \"110\" \"3\"\nDB \"d\"\nBF \"e\"\n",
                                               false, static_cast<int>(at) + 1);
            shift = synchronise(base, merged, file.tree, file.lines);
            merged = file.tree;
        }
        std::string files;
        for (const std::string &head : row.heads)
            files += "[" + head + "]";
        EXPECT_EQ(shift, row.shift) << files;
        model_release();
    }
}

// A finer file multiplies the merged side's times, RD field 4 among them,
// after its rendezvous order was built: the alignment compares the value
// the merged RD line holds now (56000 against 5040), not the one it held
// when the order took it in (5600).
TEST(RendezvousAlignment, ComparesTheMergedValueAsScaledSince)
{
    catalog_fill();
    const auto load = [](const char *clock, const char *unit, const char *value, int number) {
        return rodtext::load(std::string("RE \"r\" \"1\" \"0\"\nSY \"") + clock + "\" \"0\" \"0\" \"1000\" \"" + unit +
                                 "\" \"ms\"\nXI \"100\" \"2\" \"0\"\nRD \"R\" \"x\" \"1\" \"" + value +
                                 "\" \"100\"\nYI \"110\" \"3\"\nDB \"d\"\nBF \"e\"\n",
                             false, number);
    };
    TimeBase base;
    const RodFile merged = load("A", "10", "5600", 1);
    synchronise(base, 0, merged.tree, merged.lines);
    const RodFile same_unit = load("B", "10", "5600", 2);
    EXPECT_EQ(synchronise(base, merged.tree, same_unit.tree, same_unit.lines), 0u);
    ASSERT_TRUE(base.rendezvous.active());
    const RodFile finer = load("C", "1", "5040", 3);
    EXPECT_EQ(synchronise(base, merged.tree, finer.tree, finer.lines), (56000u - 5040u) / 28);
    model_release();
}

} // namespace
