#include "cmdline.h"
#include "cmdptro.h"
#include "exec.h"
#include "fct_sys.h"
#include "i18n_zrm_msg.h"
#include "stub_tools.h"
#include "veriftr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

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

TEST(Names, RodFilesSharedByTwoRuns)
{
    using Shared = std::optional<std::pair<std::size_t, std::size_t>>;
    EXPECT_EQ(first_shared_rod_file({"a.rod", "b.rod", "A.rod"}), Shared{});
    EXPECT_EQ(first_shared_rod_file({"x.rod", "a.rod", "b.rod", "a.rod", "b.rod"}), (Shared{{1, 3}}));
    EXPECT_EQ(first_shared_rod_file({"d/a.rod", "./d/a.rod"}), (Shared{{0, 1}}));
    EXPECT_EQ(first_shared_rod_file({"d/../a.rod", "a.rod"}), (Shared{{0, 1}}));

    // Two names of one file that exists: a link to its directory, a hard link.
    StubPlan plan(std::vector<std::string>{});
    std::system(("mkdir " + plan.dir + "/real && ln -s real " + plan.dir + "/alias && touch " + plan.dir +
                 "/real/r.rod && ln " + plan.dir + "/real/r.rod " + plan.dir + "/hard.rod")
                    .c_str());
    EXPECT_EQ(first_shared_rod_file({plan.dir + "/real/r.rod", plan.dir + "/alias/r.rod"}), (Shared{{0, 1}}));
    EXPECT_EQ(first_shared_rod_file({plan.dir + "/hard.rod", plan.dir + "/real/r.rod"}), (Shared{{0, 1}}));
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
    EXPECT_EQ(postpro_jobs("08", 6), 8);
    EXPECT_EQ(postpro_jobs("0", 6), 6);
    EXPECT_EQ(postpro_jobs("auto", 100), MAX_POSTPRO_JOBS);
    EXPECT_EQ(postpro_jobs("AUTO", 0), 1);
    for (const char *bad : {"65", "1000", "0064", "-1", "+2", "two", "x", "2 ", " 4", "3.5", "0x4", "autox"})
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

// The runner waits for its own runs only: a child the process started
// otherwise keeps its status for its owner, whatever ZV_JOBS is.
TEST(RunTool, OtherChildrenAreLeftToTheirOwner)
{
    catalog_fill();
    StubPlan plan({"r1.rio", "r2.rio", "r3.rio"});
    MergeSettings settings;
    for (const int jobs : {1, 3}) {
        const pid_t other = fork();
        if (other == 0)
            _exit(42);
        clear_pair_tables();
        cmdline_record().files = {plan.dir + "/t.tdc", plan.dir + "/r1.rio", plan.dir + "/r2.rio", plan.dir + "/r3.rio"};
        testing::internal::CaptureStderr();
        verify_input_files();
        run_postprocessors(plan.tool_dir, "", settings, jobs);
        testing::internal::GetCapturedStderr();
        int status = 0;
        ASSERT_EQ(waitpid(other, &status, 0), other) << jobs << " job(s): our child was reaped by the runner";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 42) << jobs;
    }
    clear_pair_tables();
}
