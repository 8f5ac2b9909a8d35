#include "exec.h"
#include "fct_sys.h"
#include "stub_tools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Words = std::vector<std::string>;

constexpr const char *OPTIONS = "  -RA=RA -VA=EVAL -LE=GB -COMMENT -LANDSCAPE -NOSUMMARY -ROD";

} // namespace

TEST(Names, RodFileAndOutputArgumentFollowTheLastDot)
{
    struct Case {
        const char *rio, *rod, *output;
    };
    for (const Case &c : {Case{"run1.rio", "run1.rod", "run1.ro"}, Case{"run1.res", "run1.rod", "run1.res"},
                          Case{"run1", "run1.rod", "run1"}, Case{"dir.v2/run1", "dir.rod", "dir.v2/run1"},
                          Case{"run1.rio2", "run1.rod", "run1.ro"}, Case{"RUN1.RIO", "RUN1.rod", "RUN1.RIO"},
                          Case{"d/run.1.rio", "d/run.1.rod", "d/run.1.ro"}}) {
        EXPECT_EQ(rod_file_name(c.rio), c.rod) << c.rio;
        EXPECT_EQ(postpro_output_argument(c.rio), c.output) << c.rio;
    }
}

TEST(CommandTexts, WindowsInterpreterLines)
{
    const std::string options = postpro_option_text(OPTIONS, "plan.tdc");
    EXPECT_EQ(options, std::string(OPTIONS) + " -TDC=\"plan.tdc\"");
    EXPECT_EQ(postpro_executable_text("D:\\kit"), "D:\\kit\\zrmpostpro.exe");
    EXPECT_EQ(postpro_command_text("D:\\kit\\ZRMPOS~1.EXE", "run1.rio", "run1.ro", options, false),
              "\"\"D:\\kit\\ZRMPOS~1.EXE\" \"run1.rio\" \"run1.ro\"   -RA=RA -VA=EVAL -LE=GB -COMMENT -LANDSCAPE "
              "-NOSUMMARY -ROD -TDC=\"plan.tdc\" -NOLOG\"");
    EXPECT_TRUE(postpro_command_text("e", "r", "o", "x", true).ends_with(" x -LOG\""));
    EXPECT_EQ(uml_executable_text("D:\\kit"), "D:\\kit\\zrmuml.exe");
    EXPECT_EQ(uml_command_text("D:\\kit\\zrmuml.exe", "C:\\out", "report.rdd"),
              "\"\"D:\\kit\\zrmuml.exe\" -path \"C:\\out\" -name \"report.rdd\" -nobanner \"");
}

TEST(CommandTexts, PosixArgumentVectors)
{
    EXPECT_EQ(postpro_arguments("/kit", "my run.rio", "my run.ro", OPTIONS, "the plan.tdc", false),
              (Words{"/kit/zrmpostpro", "my run.rio", "my run.ro", "-RA=RA", "-VA=EVAL", "-LE=GB", "-COMMENT",
                     "-LANDSCAPE", "-NOSUMMARY", "-ROD", "-TDC=the plan.tdc", "-NOLOG"}));
    EXPECT_EQ(postpro_arguments("k", "r", "o", "", "t", true), (Words{"k/zrmpostpro", "r", "o", "-TDC=t", "-LOG"}));
    EXPECT_EQ(uml_arguments("/kit", ".", "x.rdd"), (Words{"/kit/zrmuml", "-path", ".", "-name", "x.rdd", "-nobanner"}));
}

TEST(RunTool, StatusesSignalsAndStartFailures)
{
    char pattern[] = "/tmp/exec.XXXXXX";
    const std::string dir = mkdtemp(pattern);
    write_script(dir + "/five", "exit 5\n");
    write_script(dir + "/killed", "kill -9 $$\n");
    std::ofstream(dir + "/plain") << "exit 0\n";
    EXPECT_EQ(run_tool({dir + "/five"}), 5);
    EXPECT_EQ(run_tool({dir + "/killed"}), 128 + 9);
    testing::internal::CaptureStderr();
    EXPECT_EQ(run_tool({dir + "/missing"}), -1);
    EXPECT_EQ(run_tool({dir + "/plain"}), -1); // not executable
    EXPECT_NE(testing::internal::GetCapturedStderr().find(dir + "/missing: cannot start"), std::string::npos);
    std::system(("rm -rf " + dir).c_str());
}

TEST(RunTool, JobsFromTheEnvironmentValue)
{
    EXPECT_EQ(postpro_jobs("", 6), 1);
    EXPECT_EQ(postpro_jobs("1", 6), 1);
    EXPECT_EQ(postpro_jobs("064", 6), 64);
    EXPECT_EQ(postpro_jobs("0", 6), 6);
    EXPECT_EQ(postpro_jobs("auto", 100), MAX_POSTPRO_JOBS);
    EXPECT_EQ(postpro_jobs("AUTO", 0), 1);
    for (const char *bad : {"65", "0064", "-1", "+2", "two", "2 "})
        EXPECT_FALSE(postpro_jobs(bad, 6)) << bad;
}

// While runs are watched for interruption, our own mask holds the signals
// back; a tool must not inherit that, or it could not be ended.
TEST(RunTool, ToolsStartWithTheMaskOfBeforeTheWatch)
{
    const auto tool_mask = [] {
        const FileHandle capture = open_capture_file();
        int error = 0;
        const pid_t child = spawn_tool({"/bin/grep", "SigBlk", "/proc/self/status"}, capture.fd, -1, error);
        int status = 0;
        waitpid(child, &status, 0);
        std::string text(64, '\0');
        text.resize(std::size_t(std::max<ssize_t>(pread(capture.fd, text.data(), text.size(), 0), 0)));
        return text;
    };
    const std::string before = tool_mask();
    ASSERT_TRUE(before.starts_with("SigBlk:")) << before;
    const InterruptWatch watch;
    EXPECT_EQ(tool_mask(), before);
}
