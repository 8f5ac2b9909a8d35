#include "cstsyst.h"
#include "i18n_zrm_msg.h"
#include "pprint.h"
#include "rodbase.h"
#include "rodsync.h"
#include "rodtri.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

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
    for (Objet *item : items) {
        Objet *cell = list1(item);
        if (last)
            last->link.next = cell;
        else
            first = cell;
        last = cell;
    }
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

// The lines of a tree as the printer writes them, one per line of text.
std::string text_of(Objet *tree)
{
    char *buffer = nullptr;
    size_t size = 0;
    FILE *memory = open_memstream(&buffer, &size);
    Objet *stream = obj_new(OBJ_STREAM);
    stream->link.stream = memory;
    Objet *lines = collect_lines(tree, keyword_string(KIND_SY));
    for (Objet *cell = lines; cell; cell = cell->link.next)
        pprint(stream, cell->head.item);
    release_collected(lines);
    for (LineKind kind : {KIND_XI, KIND_DS, KIND_RD, KIND_EV}) {
        lines = collect_lines(tree, keyword_string(kind));
        for (Objet *cell = lines; cell; cell = cell->link.next)
            pprint(stream, cell->head.item);
        release_collected(lines);
    }
    std::fclose(memory);
    obj_free(stream);
    std::string text(buffer, size);
    std::free(buffer);
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

// The loop that origin_moved_back replaces, for values where it ends soon.
SyOrigin borrow_loop(SyOrigin o, uint32_t d)
{
    uint32_t high = static_cast<uint32_t>(o.high), low = static_cast<uint32_t>(o.low);
    while (low < d) {
        low += static_cast<uint32_t>(o.period);
        --high;
    }
    return {static_cast<int32_t>(high), static_cast<int32_t>(low - d), o.period};
}

} // namespace

TEST(SyncArithmetic, FirstMultipleInRangeAgreesWithCounting)
{
    for (uint64_t modulus : {1u, 2u, 7u, 12u, 16u, 23u}) {
        for (uint64_t step = 0; step < modulus; ++step) {
            for (uint64_t low = 0; low < modulus; ++low) {
                for (uint64_t high = low; high < modulus; ++high) {
                    std::optional<uint64_t> expected;
                    for (uint64_t n = 0; n < modulus && !expected; ++n)
                        if ((step * n) % modulus >= low && (step * n) % modulus <= high)
                            expected = n;
                    ASSERT_EQ(first_multiple_in_range(step, modulus, low, high), expected)
                        << step << " " << modulus << " " << low << " " << high;
                }
            }
        }
    }
}

TEST(SyncArithmetic, OriginMovedBackIsTheBorrowLoop)
{
    const SyOrigin cases[] = {
        {1, 100, 1000},   {0, 900, 1000}, {5, 0, 7},          {3, 2, 1},
        {0, 0, 1000},     {0, 3, -1},     {7, 10, -16},       {2, -5, 3},
        {0, 1, 0x40000000}, {-2, 0, 300},
    };
    for (const SyOrigin &o : cases) {
        for (uint32_t d : {1u, 10u, 200u, 999u, 1000u, 2500u}) {
            const auto moved = origin_moved_back(o, d);
            ASSERT_TRUE(moved.has_value());
            const SyOrigin expected = borrow_loop(o, d);
            EXPECT_EQ(moved->high, expected.high) << o.high << " " << o.low << " " << o.period << " " << d;
            EXPECT_EQ(moved->low, expected.low) << o.high << " " << o.low << " " << o.period << " " << d;
        }
    }
    // The loop would never end: no period, or a period whose multiples
    // never reach d once they wrap.
    EXPECT_FALSE(origin_moved_back({0, 5, 0}, 10).has_value());
    EXPECT_FALSE(origin_moved_back({0, 0, INT32_MIN}, 0x80000001u).has_value());
    EXPECT_TRUE(origin_moved_back({0, 20, 0}, 10).has_value());
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

TEST_F(Sync, CoarserMergedReportIsRescaled)
{
    merged = report(sy("\"A\"", 0, 5, 1000, 1000, "\"ms\""), {run(7)});
    fresh = report(sy("\"A\"", 0, 500, 100000, 10, "\"10us\""), {run(40)});
    synchronise(merged, fresh);
    EXPECT_EQ(text_of(merged), "SY \"A\" \"0\" \"500\" \"100000\" \"10\" \"10us\" \n"
                               "XI \"700\" \"0\" \"0\" \n");
    EXPECT_EQ(text_of(fresh), "SY \"A\" \"0\" \"500\" \"100000\" \"10\" \"10us\" \n"
                              "XI \"40\" \"0\" \"0\" \n");
}

TEST_F(Sync, CoarserNewFileIsRescaled)
{
    merged = report(sy("\"A\"", 0, 500, 100000, 10, "\"10us\""), {run(40)});
    fresh = report(sy("\"A\"", 0, 5, 1000, 1000, "\"ms\""), {run(7)});
    synchronise(merged, fresh);
    EXPECT_EQ(text_of(fresh), "SY \"A\" \"0\" \"500\" \"100000\" \"10\" \"10us\" \n"
                              "XI \"700\" \"0\" \"0\" \n");
}

TEST_F(Sync, UnevenUnitsScaleByTruncatedRatio)
{
    merged = report(sy("\"A\"", 0, 0, 1000, 10, "\"cs\""), {run(40)});
    fresh = report(sy("\"B\"", 0, 0, 1000, 15, "\"x15\""), {run(40)});
    synchronise(merged, fresh);
    EXPECT_EQ(text_of(fresh), "SY \"B\" \"0\" \"0\" \"1000\" \"15\" \"cs\" \n"
                              "XI \"40\" \"0\" \"0\" \n");
}

TEST_F(Sync, SameClockShiftsTheLaterOrigin)
{
    merged = report(sy("\"A\"", 0, 500, 1000, 1, "\"t\""), {run(100)});
    fresh = report(sy("\"A\"", 0, 200, 1000, 1, "\"t\""), {run(100)});
    synchronise(merged, fresh);
    EXPECT_EQ(text_of(merged), "SY \"A\" \"0\" \"200\" \"1000\" \"1\" \"t\" \n"
                               "XI \"400\" \"0\" \"0\" \n");
    EXPECT_EQ(text_of(fresh), "SY \"A\" \"0\" \"200\" \"1000\" \"1\" \"t\" \n"
                              "XI \"100\" \"0\" \"0\" \n");
}

TEST_F(Sync, SameClockBorrowsAPeriod)
{
    merged = report(sy("\"A\"", 1, 100, 1000, 1, "\"t\""), {run(100)});
    fresh = report(sy("\"A\"", 0, 900, 1000, 1, "\"t\""), {run(100)});
    synchronise(merged, fresh);
    EXPECT_EQ(text_of(merged), "SY \"A\" \"0\" \"900\" \"1000\" \"1\" \"t\" \n"
                               "XI \"300\" \"0\" \"0\" \n");
}

TEST_F(Sync, NewFileWithLaterOriginIsShifted)
{
    merged = report(sy("\"A\"", 0, 200, 1000, 1, "\"t\""), {run(100)});
    fresh = report(sy("\"A\"", 0, 500, 1000, 1, "\"t\""), {run(100)});
    synchronise(merged, fresh);
    EXPECT_EQ(text_of(fresh), "SY \"A\" \"0\" \"200\" \"1000\" \"1\" \"t\" \n"
                              "XI \"400\" \"0\" \"0\" \n");
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
    char *buffer = nullptr;
    size_t size = 0;
    FILE *memory = open_memstream(&buffer, &size);
    Objet *stream = obj_new(OBJ_STREAM);
    stream->link.stream = memory;
    for (Objet *cell = all; cell; cell = cell->link.next)
        pprint(stream, cell->head.item);
    std::fclose(memory);
    obj_free(stream);
    EXPECT_EQ(std::string(buffer, size), expected);
    std::free(buffer);
    obj_free(all);
}

TEST_F(Sync, ProductsWrapAt32Bits)
{
    merged = report(sy("\"A\"", 0, 0, 1000, 1000000, "\"s\""), {run(5000)});
    fresh = report(sy("\"A\"", 0, 0, 1000, 1, "\"us\""), {run(5000)});
    synchronise(merged, fresh);
    EXPECT_NE(text_of(merged).find("XI \"705032704\""), std::string::npos); // 5e9 mod 2^32
}

TEST_F(Sync, ASideWithoutSyLineIsRejected)
{
    merged = report(line(KIND_SC, {"\"x\""}), {run(10)});
    fresh = report(sy("\"A\"", 0, 0, 1000, 1, "\"t\""), {run(10)});
    expect_fatal();
}

TEST_F(Sync, ZeroUnitOnTheFinerSideIsRejected)
{
    merged = report(sy("\"A\"", 0, 0, 1000, 10, "\"t\""), {run(10)});
    fresh = report(sy("\"A\"", 0, 0, 1000, 0, "\"t\""), {run(10)});
    expect_fatal();
}

TEST_F(Sync, ZeroPeriodOnOneClockIsRejected)
{
    merged = report(sy("\"A\"", 0, 0, 1000, 1, "\"t\""), {run(10)});
    fresh = report(sy("\"A\"", 0, 5, 0, 1, "\"t\""), {run(10)});
    expect_fatal();
}

TEST_F(Sync, EndlessBorrowIsRejected)
{
    // Clocks differ, the first events differ by 50: the merged SY origin
    // would have to borrow periods of 0.
    merged = report(sy("\"A\"", 0, 5, 0, 1, "\"t\""), {run(40)});
    fresh = report(sy("\"B\"", 0, 0, 1000, 1, "\"t\""), {run(90)});
    expect_fatal();
}

TEST_F(Sync, MissingUnitLabelIsRejected)
{
    merged = report(line(KIND_SY, {"\"A\"", 0, 0, 1000, 1000}), {run(10)});
    fresh = report(sy("\"A\"", 0, 0, 1000, 10, "\"t\""), {run(10)});
    expect_fatal();
}

TEST_F(Sync, EmptyBodyHasNoFirstEvent)
{
    merged = report(sy("\"A\"", 0, 0, 1000, 1, "\"t\""), {run(10)});
    fresh = report(sy("\"B\"", 0, 0, 1000, 1, "\"t\""), {run(10)});
    Objet *body = fresh->link.next;
    obj_free(body->head.item);
    body->head.item = nullptr;
    expect_fatal();
}

TEST_F(Sync, TimeModeWithoutClockOrRendezvousIsRejected)
{
    // With -TIME the body holds no XI or DS line: an XX block comes first.
    merged = report(sy("\"A\"", 0, 0, 1000, 1, "\"t\""), {chain({line(KIND_XX, {"\"x\""}), line(KIND_TP, {5})})});
    fresh = report(sy("\"B\"", 0, 0, 1000, 1, "\"t\""), {chain({line(KIND_XX, {"\"x\""}), line(KIND_TP, {9})})});
    expect_fatal();
}
