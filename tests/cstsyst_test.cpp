#include "cstsyst.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <thread>

namespace {

struct ProcessEnded {
    int status;
};

void throw_on_exit(int status) { throw ProcessEnded{status}; }

std::string fatal_text_of(void (*action)())
{
    set_exit_hook(throw_on_exit);
    testing::internal::CaptureStderr();
    int status = 0;
    try {
        action();
    } catch (const ProcessEnded &end) {
        status = end.status;
    }
    set_exit_hook(nullptr);
    set_allocation_failure_after(-1);
    std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 7) << text;
    return text;
}

} // namespace

TEST(TimeText, EnglishNamesTwoDigitDayAndNoNewline)
{
    struct tm t {};
    t.tm_wday = 0;
    t.tm_mon = 0;
    t.tm_mday = 5;
    t.tm_hour = 9;
    t.tm_min = 7;
    t.tm_sec = 3;
    t.tm_year = 125;
    EXPECT_EQ(format_time_text(t), "Sun Jan 05 09:07:03 2025");
    t.tm_wday = 6;
    t.tm_mon = 11;
    t.tm_mday = 31;
    t.tm_hour = 23;
    EXPECT_EQ(format_time_text(t), "Sat Dec 31 23:07:03 2025");
}

TEST(TimeText, CurrentTimeHasTheFixedShapeWhateverTheLocale)
{
    setenv("LC_ALL", "fr_FR.UTF-8", 1);
    const std::string text = current_time_text();
    unsetenv("LC_ALL");
    EXPECT_EQ(text.size(), 24u);
    EXPECT_TRUE(std::regex_match(text, std::regex("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                                                  "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                                  "\\d\\d \\d\\d:\\d\\d:\\d\\d \\d{4}")))
        << text;
}

TEST(Wrappers, FailuresWriteTheirFixedFatalTexts)
{
    EXPECT_EQ(fatal_text_of([] {
                  set_allocation_failure_after(0);
                  xmalloc(16);
              }),
              "FATAL ERROR on malloc,\n Please contact your administrative.\n");
    EXPECT_EQ(fatal_text_of([] {
                  set_allocation_failure_after(0);
                  xstrdup("x");
              }),
              "FATAL ERROR on strdup,\n Please contact your administrative.\n");
    EXPECT_EQ(fatal_text_of([] {
                  set_allocation_failure_after(0);
                  xrealloc(nullptr, 8);
              }),
              "FATAL ERROR on realloc,\n Please contact your administrative.\n");
}

TEST(Wrappers, QuietCases)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(xstrdup(nullptr), nullptr);
    FILE *stream = reinterpret_cast<FILE *>(1);
    EXPECT_FALSE(xfopen("/nonexistent/dir/file", "r", &stream));
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(xsprintf("%s-%03d", "a", 7), "a-007");
}

TEST(Environment, UnsetAndEmptyBothGiveEmpty)
{
    unsetenv("ZV_TEST_VARIABLE");
    EXPECT_EQ(getenv_copy("ZV_TEST_VARIABLE"), "");
    setenv("ZV_TEST_VARIABLE", "", 1);
    EXPECT_EQ(getenv_copy("ZV_TEST_VARIABLE"), "");
    setenv("ZV_TEST_VARIABLE", "v", 1);
    EXPECT_EQ(getenv_copy("ZV_TEST_VARIABLE"), "v");
}

TEST(PathParts, BaseAndDirectoryNames)
{
    std::string buffer = "kept";
    file_basename("", buffer);
    EXPECT_EQ(buffer, "kept");
    file_basename("run/x.rod", buffer);
    EXPECT_EQ(buffer, "x.rod");
    file_dirname("", buffer);
    EXPECT_EQ(buffer, "");
    file_dirname("run/x.rod", buffer);
    EXPECT_EQ(buffer, "run");
    file_dirname("x.rod", buffer);
    EXPECT_EQ(buffer, ".");
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
    const std::string given = [&kept] {
        set_exit_hook(throw_on_exit);
        testing::internal::CaptureStderr();
        write_error_output("owner's line\n");
        EXPECT_THROW(give_deferred_output(kept), ProcessEnded);
        set_exit_hook(nullptr);
        return testing::internal::GetCapturedStderr();
    }();
    set_exit_preparation(nullptr);
    EXPECT_TRUE(prepared) << "helpers are stopped before the process ends";
    EXPECT_EQ(given, "owner's line\nwarning first\nFATAL ERROR on malloc,\n Please contact your administrative.\n");

    testing::internal::CaptureStderr();
    give_deferred_output(DeferredOutput{}); // nothing kept: no text, no end
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
