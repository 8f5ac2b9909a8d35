#include "i18n_zrm_msg.h"
#include "rod_text.h"
#include "rodinser.h"
#include "rodload.h"
#include "rodsync.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

struct ProcessEnded {
    int status;
};

void throw_on_exit(int status) { throw ProcessEnded{status}; }

// A field of a test line: quoted text or a number.
struct Field {
    Field(const char *text) : text(text) {}
    Field(int32_t number) : number(number) {}
    const char *text = nullptr;
    int32_t number = 0;
};

Objet *chain(std::initializer_list<Objet *> items)
{
    Objet *first = nullptr;
    Objet *last = nullptr;
    for (Objet *item : items)
        list_push_back(first, last, item);
    return first;
}

Objet *line(LineKind kind, std::initializer_list<Field> fields)
{
    Objet *code = str_new(rod_keywords[kind].code, 2);
    code->tag = kind;
    Objet *result = list1(code);
    for (const Field &field : fields)
        list_append(result, list1(field.text ? str_new(field.text, std::strlen(field.text)) : long_new(field.number)));
    return result;
}

Objet *sy(const char *clock, int32_t high, int32_t low, int32_t period, int32_t unit, const char *label)
{
    return line(KIND_SY, {clock, high, low, period, unit, label});
}

Objet *xi_group(int32_t start) { return chain({line(KIND_XI, {start, 0, 0}), line(KIND_YI, {start + 1})}); }

Objet *rd(const char *name, int32_t value, int32_t time)
{
    return line(KIND_RD, {name, "\"\"", 0, value, time});
}

// A default-mode report tree: first part (an RE block holding the SY line),
// body cell whose item E holds the runs and then `rest`, last part.
Objet *report(Objet *sy_line, std::initializer_list<Objet *> runs, Objet *rest = nullptr)
{
    Objet *first = chain({chain({line(KIND_RE, {"\"r\""}), sy_line, line(KIND_FR, {})})});
    Objet *body = cons(chain(runs), rest);
    return chain({first, body, chain({line(KIND_BC, {"\"end\""})})});
}

// One run holding an XI group that starts at `start`.
Objet *run(int32_t start) { return chain({xi_group(start)}); }

// The SY lines, then the timed lines of a tree, as the printer writes them.
std::string text_of(Objet *tree)
{
    std::string text;
    for (LineKind kind : {KIND_SY, KIND_XI, KIND_DS, KIND_RD, KIND_EV}) {
        Objet *lines = collect_lines(tree, keyword_string(kind));
        for (Objet *cell = lines; cell; cell = cell->link.next)
            text += rodtext::print(cell->head.item);
        release_collected(lines);
    }
    return text;
}

class Sync : public ::testing::Test {
protected:
    void SetUp() override
    {
        catalog_fill();
        keywords_init();
        time_key_init();
        set_exit_hook(throw_on_exit);
    }
    void TearDown() override
    {
        set_exit_hook(nullptr);
        obj_free(merged);
        obj_free(fresh);
    }
    // Runs synchronise and expects the run to end with status 7.
    void expect_fatal()
    {
        testing::internal::CaptureStderr();
        try {
            synchronise(merged, fresh);
            testing::internal::GetCapturedStderr();
            FAIL() << "synchronise returned";
        } catch (const ProcessEnded &ended) {
            EXPECT_EQ(ended.status, 7);
            EXPECT_NE(testing::internal::GetCapturedStderr().find("Molvex-F-UNEXPTEOF"), std::string::npos);
        }
    }
    Objet *merged = nullptr;
    Objet *fresh = nullptr;
};

} // namespace

TEST(SyncArithmetic, FirstMultipleInRange)
{
    struct Case {
        uint64_t step, modulus, low, high;
        std::optional<uint64_t> n;
    };
    const Case cases[] = {
        {0, 1, 0, 0, 0},         {0, 7, 0, 3, 0},        {0, 7, 1, 3, std::nullopt},
        {3, 7, 5, 5, 4},         {4, 16, 5, 8, 2},       {4, 16, 1, 3, std::nullopt},
        {2, 12, 5, 5, std::nullopt}, {5, 16, 15, 15, 3}, {7, 23, 22, 22, 13},
    };
    for (const Case &c : cases)
        EXPECT_EQ(first_multiple_in_range(c.step, c.modulus, c.low, c.high), c.n)
            << c.step << " " << c.modulus << " " << c.low << " " << c.high;
}

TEST(SyncArithmetic, OriginMovedBackBorrowsWholePeriods)
{
    struct Case {
        SyOrigin origin;
        uint32_t d;
        int32_t high, low;
    };
    const Case cases[] = {
        {{0, 20, 0}, 10, 0, 10},     // no borrow needed, even without a period
        {{1, 100, 1000}, 200, 0, 900},
        {{0, 900, 1000}, 2500, -2, 400},
        {{5, 0, 7}, 10, 3, 4},
        {{0, 3, -1}, 10, -4, -11},   // a negative period wraps the low part
        {{0, 1, 0x40000000}, 1000, -1, 0x40000000 - 999},
    };
    for (const Case &c : cases) {
        const auto moved = origin_moved_back(c.origin, c.d);
        ASSERT_TRUE(moved.has_value()) << c.d;
        EXPECT_EQ(moved->high, c.high) << c.origin.low << " " << c.d;
        EXPECT_EQ(moved->low, c.low) << c.origin.low << " " << c.d;
    }
    // The loop would never end: no period, or a period whose multiples
    // never reach d once they wrap.
    EXPECT_FALSE(origin_moved_back({0, 5, 0}, 10).has_value());
    EXPECT_FALSE(origin_moved_back({0, 0, INT32_MIN}, 0x80000001u).has_value());
}

TEST(SyncArithmetic, ClockOffsetIsOriginDifference)
{
    EXPECT_EQ(clock_offset({0, 500, 1000}, {0, 200, 1000}), 300);
    EXPECT_EQ(clock_offset({1, 100, 1000}, {0, 900, 1000}), 200);
    EXPECT_EQ(clock_offset({0, 200, 1000}, {1, 100, 1000}), -900);
    // Periods differ: the whole periods count in the new side's period.
    EXPECT_EQ(clock_offset({2, 0, 1000}, {0, 0, 300}), 2 * 3 * 300);
    EXPECT_EQ(clock_offset({0, 1, 0}, {0, 0, 10}), std::nullopt);
    EXPECT_EQ(clock_offset({0, 1, 10}, {0, 0, 0}), std::nullopt);
}

TEST_F(Sync, FirstFileIsLeftAlone)
{
    fresh = report(sy("\"A\"", 0, 500, 1000, 1000, "\"ms\""), {run(100)});
    const std::string before = text_of(fresh);
    synchronise(nullptr, fresh);
    EXPECT_EQ(text_of(fresh), before);
}

TEST_F(Sync, ClocksAreRescaledToTheFinerUnitAndShiftedToTheEarlierOrigin)
{
    struct Side {
        const char *clock;
        int32_t high, low, period, unit;
        const char *label;
        int32_t first_event;
    };
    struct Case {
        const char *what;
        Side merged, fresh;
        const char *merged_after; // null: not checked
        const char *fresh_after;
    };
    const Case cases[] = {
        {"coarser merged report", {"\"A\"", 0, 5, 1000, 1000, "\"ms\"", 7},
         {"\"A\"", 0, 500, 100000, 10, "\"10us\"", 40},
         "SY \"A\" \"0\" \"500\" \"100000\" \"10\" \"10us\" \nXI \"700\" \"0\" \"0\" \n",
         "SY \"A\" \"0\" \"500\" \"100000\" \"10\" \"10us\" \nXI \"40\" \"0\" \"0\" \n"},
        {"coarser new file", {"\"A\"", 0, 500, 100000, 10, "\"10us\"", 40}, {"\"A\"", 0, 5, 1000, 1000, "\"ms\"", 7},
         nullptr, "SY \"A\" \"0\" \"500\" \"100000\" \"10\" \"10us\" \nXI \"700\" \"0\" \"0\" \n"},
        {"uneven units scale by the truncated ratio", {"\"A\"", 0, 0, 1000, 10, "\"cs\"", 40},
         {"\"B\"", 0, 0, 1000, 15, "\"x15\"", 40}, nullptr,
         "SY \"B\" \"0\" \"0\" \"1000\" \"15\" \"cs\" \nXI \"40\" \"0\" \"0\" \n"},
        {"same clock, merged origin later", {"\"A\"", 0, 500, 1000, 1, "\"t\"", 100}, {"\"A\"", 0, 200, 1000, 1, "\"t\"", 100},
         "SY \"A\" \"0\" \"200\" \"1000\" \"1\" \"t\" \nXI \"400\" \"0\" \"0\" \n",
         "SY \"A\" \"0\" \"200\" \"1000\" \"1\" \"t\" \nXI \"100\" \"0\" \"0\" \n"},
        {"same clock, borrowing a period", {"\"A\"", 1, 100, 1000, 1, "\"t\"", 100}, {"\"A\"", 0, 900, 1000, 1, "\"t\"", 100},
         "SY \"A\" \"0\" \"900\" \"1000\" \"1\" \"t\" \nXI \"300\" \"0\" \"0\" \n", nullptr},
        {"same clock, new origin later", {"\"A\"", 0, 200, 1000, 1, "\"t\"", 100}, {"\"A\"", 0, 500, 1000, 1, "\"t\"", 100},
         nullptr, "SY \"A\" \"0\" \"200\" \"1000\" \"1\" \"t\" \nXI \"400\" \"0\" \"0\" \n"},
        {"products wrap at 32 bits (5e9 mod 2^32)", {"\"A\"", 0, 0, 1000, 1000000, "\"s\"", 5000},
         {"\"A\"", 0, 0, 1000, 1, "\"us\"", 5000},
         "SY \"A\" \"0\" \"0\" \"1000000000\" \"1\" \"us\" \nXI \"705032704\" \"0\" \"0\" \n", nullptr},
    };
    auto build = [](const Side &side) {
        return report(sy(side.clock, side.high, side.low, side.period, side.unit, side.label), {run(side.first_event)});
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        merged = build(c.merged);
        fresh = build(c.fresh);
        synchronise(merged, fresh);
        if (c.merged_after) {
            EXPECT_EQ(text_of(merged), c.merged_after);
        }
        if (c.fresh_after) {
            EXPECT_EQ(text_of(fresh), c.fresh_after);
        }
        obj_free(merged);
        obj_free(fresh);
        merged = fresh = nullptr;
    }
}

TEST_F(Sync, RendezvousAlignsOtherClocks)
{
    merged = report(sy("\"A\"", 0, 0, 1000, 1, "\"t\""), {run(100)}, chain({rd("\"R1\"", 5600, 10)}));
    fresh = report(sy("\"B\"", 0, 0, 1000, 1, "\"t\""), {run(100)}, chain({rd("\"R1\"", 5040, 10)}));
    synchronise(merged, fresh);
    // The new side's rendezvous is the earlier one: it is moved forward by 20.
    EXPECT_EQ(text_of(merged), "SY \"A\" \"0\" \"0\" \"1000\" \"1\" \"t\" \n"
                               "XI \"100\" \"0\" \"0\" \n"
                               "RD \"R1\" \"\" \"0\" \"5600\" \"10\" \n");
    EXPECT_EQ(text_of(fresh), "SY \"B\" \"-1\" \"980\" \"1000\" \"1\" \"t\" \n"
                              "XI \"120\" \"0\" \"0\" \n"
                              "RD \"R1\" \"\" \"0\" \"5040\" \"30\" \n");
}

TEST_F(Sync, RendezvousMatchFromAMovingPosition)
{
    // New R1 matches the first merged R1 (gap 84: 3), R2 the R2 after it
    // (gap -30: -1 towards zero); the last new R1 finds nothing after that
    // R2. (3 - 1) / 2 = 1, and the first events (900, 100) play no part.
    merged = report(sy("\"A\"", 0, 0, 1000, 1, "\"t\""), {run(900)},
                    chain({rd("\"R1\"", 184, 1), rd("\"R1\"", 5000, 2), rd("\"R2\"", 100, 3)}));
    fresh = report(sy("\"B\"", 0, 0, 1000, 1, "\"t\""), {run(100)},
                   chain({rd("\"R1\"", 100, 5), rd("\"R2\"", 130, 6), rd("\"R1\"", 0, 7)}));
    synchronise(merged, fresh);
    EXPECT_NE(text_of(merged).find("XI \"900\""), std::string::npos);
    EXPECT_NE(text_of(fresh).find("XI \"101\""), std::string::npos);
}

TEST_F(Sync, FirstEventsAlignWithoutClockOrRendezvous)
{
    merged = report(sy("\"A\"", 0, 0, 1000, 1, "\"t\""), {run(100), run(150)}, chain({rd("\"R1\"", 0, 9)}));
    fresh = report(sy("\"B\"", 0, 0, 1000, 1, "\"t\""), {run(40)}, chain({rd("\"R2\"", 0, 9)}));
    synchronise(merged, fresh);
    // Merged first event 100, new 40: the new file moves forward by 60 so
    // that both first events stand at 100.
    EXPECT_EQ(text_of(merged), "SY \"A\" \"0\" \"0\" \"1000\" \"1\" \"t\" \n"
                               "XI \"100\" \"0\" \"0\" \n"
                               "XI \"150\" \"0\" \"0\" \n"
                               "RD \"R1\" \"\" \"0\" \"0\" \"9\" \n");
    EXPECT_EQ(text_of(fresh), "SY \"B\" \"-1\" \"940\" \"1000\" \"1\" \"t\" \n"
                              "XI \"100\" \"0\" \"0\" \n"
                              "RD \"R2\" \"\" \"0\" \"0\" \"69\" \n");
}

TEST_F(Sync, TwoClockNamesNeverUseTheClock)
{
    // A merged report of clocks A and B: a third file on clock A is aligned
    // on its first event, not on the A origin.
    merged = report(sy("\"A\"", 0, 500, 1000, 1, "\"t\""), {run(100)});
    list_append(merged->link.next->link.next->head.item, chain({sy("\"B\"", 0, 0, 1000, 1, "\"t\"")}));
    fresh = report(sy("\"A\"", 0, 200, 1000, 1, "\"t\""), {run(70)});
    synchronise(merged, fresh);
    EXPECT_EQ(text_of(merged), "SY \"A\" \"0\" \"500\" \"1000\" \"1\" \"t\" \n"
                               "SY \"B\" \"0\" \"0\" \"1000\" \"1\" \"t\" \n"
                               "XI \"100\" \"0\" \"0\" \n");
    EXPECT_EQ(text_of(fresh), "SY \"A\" \"0\" \"170\" \"1000\" \"1\" \"t\" \n"
                              "XI \"100\" \"0\" \"0\" \n");
}

TEST_F(Sync, ScalesAndShiftsTheTimeFieldsOfEveryKind)
{
    Objet *all = chain({
        line(KIND_XI, {10, 10, 10}),
        line(KIND_DT, {10}),
        line(KIND_RD, {"\"r\"", "\"\"", 10, 10, 10}),
        line(KIND_TN, {10, 10}),
        line(KIND_DP, {"\"p\"", 10}),
        line(KIND_DS, {"\"s\"", "\"\"", "\"\"", "\"i\"", 10, 10, 10}),
        line(KIND_DA, {"\"a\"", "\"\"", 10, 10, 10}),
        line(KIND_DW, {"\"w\"", "\"\"", 10, 10, 10}),
        line(KIND_EV, {"\"e\"", "\"\"", 10, 10, 10}),
        line(KIND_FS, {"\"f\"", 10, "\"1\""}),
        line(KIND_SN, {"\"n\"", "\"\"", "\"\"", 10, 10, 10}),
        line(KIND_TP, {10}),
        line(KIND_FW, {"\"w\"", "\"\"", 10, 10, 10}),
        line(KIND_FT, {10, 10}),
        line(KIND_IC, {"\"\"", "\"\"", "\"\"", "\"\"", 10, 10, 10}),
        line(KIND_ID, {"\"\"", "\"\"", "\"\"", 10, 10}),
        line(KIND_YI, {10}),
        line(KIND_BF, {"\"10\""}),
    });
    // Scaling by 3 then shifting by 1 tells the two tables apart.
    scale_times(all, 3);
    shift_times(all, 1);
    const char *expected = "XI \"31\" \"10\" \"10\" \n"
                           "DT \"31\" \n"
                           "RD \"r\" \"\" \"30\" \"30\" \"31\" \n"
                           "TN \"30\" \"31\" \n"
                           "DP \"p\" \"31\" \n"
                           "DS \"s\" \"\" \"\" \"i\" \"31\" \"10\" \"10\" \n"
                           "DA \"a\" \"\" \"30\" \"30\" \"31\" \n"
                           "DW \"w\" \"\" \"30\" \"30\" \"31\" \n"
                           "EV \"e\" \"\" \"30\" \"10\" \"31\" \n"
                           "FS \"f\" \"30\" \"1\" \n"
                           "SN \"n\" \"\" \"\" \"30\" \"30\" \"31\" \n"
                           "TP \"31\" \n"
                           "FW \"w\" \"\" \"30\" \"30\" \"31\" \n"
                           "FT \"30\" \"31\" \n"
                           "IC \"\" \"\" \"\" \"\" \"30\" \"10\" \"31\" \n"
                           "ID \"\" \"\" \"\" \"30\" \"31\" \n"
                           "YI \"10\" \n"
                           "BF \"10\" \n";
    std::string text;
    for (Objet *cell = all; cell; cell = cell->link.next)
        text += rodtext::print(cell->head.item);
    EXPECT_EQ(text, expected);
    obj_free(all);
}

TEST_F(Sync, UnusableClocksAndBodiesEndTheRun)
{
    auto t_clock = [](const char *clock) { return sy(clock, 0, 0, 1000, 1, "\"t\""); };
    // With -TIME the body holds no XI or DS line: an XX block comes first.
    auto timed_run = [](int32_t time) { return chain({line(KIND_XX, {"\"x\""}), line(KIND_TP, {time})}); };
    Objet *no_first_event = report(t_clock("\"B\""), {run(10)});
    obj_free(no_first_event->link.next->head.item);
    no_first_event->link.next->head.item = nullptr;
    const struct {
        const char *what;
        Objet *merged, *fresh;
    } cases[] = {
        {"a side without SY line", report(line(KIND_SC, {"\"x\""}), {run(10)}), report(t_clock("\"A\""), {run(10)})},
        {"zero unit on the finer side", report(sy("\"A\"", 0, 0, 1000, 10, "\"t\""), {run(10)}),
         report(sy("\"A\"", 0, 0, 1000, 0, "\"t\""), {run(10)})},
        {"zero period on one clock", report(t_clock("\"A\""), {run(10)}), report(sy("\"A\"", 0, 5, 0, 1, "\"t\""), {run(10)})},
        // Clocks differ, first events differ by 50: the merged origin would
        // have to borrow periods of 0.
        {"endless borrow", report(sy("\"A\"", 0, 5, 0, 1, "\"t\""), {run(40)}), report(t_clock("\"B\""), {run(90)})},
        {"missing unit label", report(line(KIND_SY, {"\"A\"", 0, 0, 1000, 1000}), {run(10)}),
         report(sy("\"A\"", 0, 0, 1000, 10, "\"t\""), {run(10)})},
        {"empty body has no first event", report(t_clock("\"A\""), {run(10)}), no_first_event},
        {"time mode without clock or rendezvous", report(t_clock("\"A\""), {timed_run(5)}),
         report(t_clock("\"B\""), {timed_run(9)})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        merged = c.merged;
        fresh = c.fresh;
        expect_fatal();
        obj_free(merged);
        obj_free(fresh);
        merged = fresh = nullptr;
    }
}

// The SY lines a merge remembers from file to file must be those a search of
// the merged report finds, and the aligned report the same (shifts of the
// merged report wait, then are written), until a file brings SY lines
// outside its first part: then the record is given up.
TEST_F(Sync, RememberedClockLinesFollowTheMergedReport)
{
    auto files = [] {
        return std::vector<Objet *>{
            report(sy("\"A\"", 0, 500, 1000, 1, "\"t\""), {run(100)}),
            report(sy("\"A\"", 0, 200, 1000, 10, "\"t10\""), {}),
            report(sy("\"A\"", 0, 300, 1000, 1, "\"t\""), {}),
            report(sy("\"A\"", 0, 400, 1000, 1, "\"t\""), {}, chain({sy("\"A\"", 0, 50, 1000, 1, "\"t\"")})),
            report(sy("\"A\"", 0, 100, 1000, 1, "\"t\""), {}),
        };
    };
    auto listed = [](Objet *lines) {
        std::string text;
        for (Objet *cell = lines; cell; cell = cell->link.next)
            text += rodtext::print(cell->head.item);
        return text;
    };
    std::string searched_result;
    for (const bool remember : {false, true}) {
        MergeState state; // as the loading loop keeps it
        MergedClockLines &clocks = state.clocks;
        Objet *result = nullptr;
        int number = 0;
        bool shift_waited = false;
        for (Objet *file : files()) {
            SCOPED_TRACE(++number);
            if (!remember) {
                synchronise(result, file);
                result = merge_report(result, file);
                continue;
            }
            synchronise_next(state, result, file);
            shift_waited |= clocks.pending_shift != 0;
            result = merge_next(state, result, file, false);
            EXPECT_EQ(clocks.known, number < 4);
            if (clocks.known) {
                Objet *searched = collect_lines(result, keyword_string(KIND_SY));
                EXPECT_EQ(listed(clocks.first), listed(searched));
                release_collected(searched);
            }
        }
        if (remember) {
            EXPECT_TRUE(shift_waited);
            finish_merge(state, result);
        }
        const std::string text = text_of(result);
        obj_free(result);
        if (remember) {
            EXPECT_EQ(text, searched_result);
        }
        searched_result = text;
    }
}
