#include "cstsyst.h"
#include "exit_capture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <set>
#include <thread>

// English names whatever the locale; fixed dates, whatever day the suite
// runs on: a day below 10 has its leading zero, a day above 9 its two digits.
TEST(TimeText, FixedShapeWhateverTheLocaleAndTheDay)
{
    setenv("LC_ALL", "fr_FR.UTF-8", 1);
    const std::string text = current_time_text();
    unsetenv("LC_ALL");
    EXPECT_TRUE(std::regex_match(text, std::regex("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                                                  "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                                  "\\d\\d \\d\\d:\\d\\d:\\d\\d \\d{4}")))
        << text;
    struct tm t {};
    t.tm_year = 126;
    t.tm_mon = 11;
    t.tm_mday = 5;
    t.tm_wday = 6;
    t.tm_hour = 9;
    t.tm_min = 7;
    t.tm_sec = 3;
    EXPECT_EQ(format_time_text(t), "Sat Dec 05 09:07:03 2026");
    t.tm_mday = 23;
    t.tm_wday = 3;
    EXPECT_EQ(format_time_text(t), "Wed Dec 23 09:07:03 2026");
}

TEST(Wrappers, FailuresWriteTheirFixedFatalTexts)
{
    const std::pair<void (*)(), std::string> calls[] = {
        {[] { xmalloc(16); }, "malloc"}, {[] { xstrdup("x"); }, "strdup"}, {[] { xrealloc(nullptr, 8); }, "realloc"}};
    for (const auto &[call, name] : calls) {
        const Ending ending = run_to_end([call] {
            set_allocation_failure_after(0);
            call();
        });
        set_allocation_failure_after(-1);
        EXPECT_EQ(ending.status, 7) << name;
        EXPECT_EQ(ending.err, "FATAL ERROR on " + name + ",\n Please contact your administrative.\n");
    }
}

// The tracker sees a resized block as the old one released and the new one
// allocated, and a block that a failed realloc leaves in place as held.
TEST(Wrappers, ResizingKeepsTheTrackerInStep)
{
    static std::set<void *> held;
    set_resource_tracker({[](void *block) { held.insert(block); }, [](void *block) { held.erase(block); }});
    void *const resized = xrealloc(xmalloc(8), 4096);
    EXPECT_EQ(held, std::set<void *>{resized});
    const Ending ending = run_to_end([resized] {
        set_allocation_failure_after(0);
        xrealloc(resized, 1 << 20);
    });
    set_allocation_failure_after(-1);
    EXPECT_EQ(ending.status, 7);
    EXPECT_EQ(held, std::set<void *>{resized});
    xfree(resized);
    EXPECT_TRUE(held.empty());
    set_resource_tracker({});
}

// A helper thread's fatal text and status wait for the owning thread, which
// writes them after what it wrote itself, and only then ends the process.
TEST(DeferredOutput, KeptOnTheHelperThreadGivenInOrderByTheOwner)
{
    DeferredOutput kept;
    bool ended_by_throw = false;
    std::thread helper([&] {
        defer_output(&kept);
        try {
            write_error_output("warning first\n");
            fatal_service_text("FATAL ERROR on malloc,\n Please contact your administrative.\n");
        } catch (const DeferredExit &) {
            ended_by_throw = true;
        }
        defer_output(nullptr);
    });
    helper.join();
    EXPECT_TRUE(ended_by_throw);
    EXPECT_EQ(kept.exit_status, 7);

    static bool prepared = false;
    set_exit_preparation([] { prepared = true; });
    const Ending given = run_to_end([&kept] {
        write_error_output("owner's line\n");
        give_deferred_output(kept);
    });
    EXPECT_EQ(given.status, 7);
    set_exit_preparation(nullptr);
    EXPECT_TRUE(prepared) << "helpers are stopped before the process ends";
    EXPECT_EQ(given.err, "owner's line\nwarning first\nFATAL ERROR on malloc,\n Please contact your administrative.\n");

    testing::internal::CaptureStderr();
    give_deferred_output(DeferredOutput{}); // nothing kept: no text, no end
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
