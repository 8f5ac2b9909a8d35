// Post-processor runs side by side (ZV_JOBS): the user sees exactly what the
// one-at-a-time run shows; bad values stop before any run; an interrupted run
// leaves neither a tool running nor a temporary file.
#include "e2e_util.h"
#include "stub_tools.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <thread>

namespace {

const std::vector<std::string> RIO_NAMES = {"r1.rio", "r2.rio", "r3.rio", "r4.rio", "r5.rio", "r6.rio"};

RunResult run_with_jobs(StubPlan &plan, const std::vector<std::string> &args, const char *jobs, bool one_output,
                        const char *tmpdir = nullptr)
{
    RunOptions options{.cwd = plan.dir, .env = {{"ZRM_DIR", plan.tool_dir}}, .one_output = one_output};
    if (tmpdir)
        options.env["TMPDIR"] = tmpdir;
    if (jobs)
        options.env["ZV_JOBS"] = jobs;
    return run_zovizeve(args, options);
}

std::vector<std::string> command_line(bool log)
{
    std::vector<std::string> args{"t.tdc"};
    args.insert(args.end(), RIO_NAMES.begin(), RIO_NAMES.end());
    if (log)
        args.insert(args.begin(), "-LOG");
    return args;
}

// Whether a run started while another was under way, by the stubs' `order` file.
bool runs_overlapped(const StubPlan &plan)
{
    int running = 0;
    bool overlapped = false;
    for (const std::string &line : split_lines(read_file(plan.dir + "/order"))) {
        overlapped |= line.starts_with("start ") && running > 0;
        running += line.starts_with("start ") ? 1 : -1;
    }
    std::remove((plan.dir + "/order").c_str());
    return overlapped;
}

// `tmpdir`: where the output of runs is kept (none there: each run waits for
// its turn). `overlapping`: whether the runs of ZV_JOBS=4 overlap.
void expect_same_as_one_at_a_time(StubPlan &plan, const std::string &what, bool overlapping,
                                  const char *tmpdir = nullptr)
{
    for (const bool log : {false, true}) {
        for (const bool one_output : {false, true}) {
            const RunResult alone = run_with_jobs(plan, command_line(log), nullptr, one_output);
            EXPECT_FALSE(runs_overlapped(plan)) << what;
            const RunResult side_by_side = run_with_jobs(plan, command_line(log), "4", one_output, tmpdir);
            EXPECT_EQ(runs_overlapped(plan), overlapping) << what;
            const std::string where = what + (log ? ", -LOG" : "") + (one_output ? ", one output" : "");
            EXPECT_EQ(side_by_side.status, alone.status) << where;
            EXPECT_EQ(side_by_side.out, alone.out) << where;
            EXPECT_EQ(side_by_side.err, alone.err) << where;
        }
    }
}

bool process_exists(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

// The process number a hanging stub wrote in its hang file, once it did.
pid_t wait_for_hanging_stub(const std::string &hang_file)
{
    for (int tries = 0; tries < 400; ++tries) {
        const std::string text = read_file(hang_file);
        if (!text.empty() && text.back() == '\n')
            return pid_t(std::stol(text));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

// Whether `pid` ends within `seconds` (it is left to be waited for).
bool ends_within(pid_t pid, int seconds)
{
    for (int tries = 0; tries < seconds * 20; ++tries) {
        siginfo_t info{};
        if (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

} // namespace

TEST(SideBySideRuns, ShowWhatTheOneAtATimeRunShows)
{
    // Early pairs end last, so that the runs end out of order.
    StubPlan plan(RIO_NAMES);
    const std::map<std::string, std::string> status = {{"r2.rio", "3"}, {"r3.rio", "2"}, {"r4.rio", "kill"}, {"r6.rio", "3"}};
    for (const auto &[rio, value] : status)
        set_stub_status(plan.dir, rio, value);
    write_file(plan.dir + "/delay.r1.rio", "0.2\n");
    write_file(plan.dir + "/delay.r2.rio", "0.1\n");
    write_file(plan.dir + "/stdout.r1.rio", "r1 says\non two lines\n");
    write_file(plan.dir + "/stdout.r3.rio", "r3 says\n");
    write_file(plan.dir + "/stdout.r5.rio", "r5 says");
    expect_same_as_one_at_a_time(plan, "failures, status 3, both streams", true);
    expect_same_as_one_at_a_time(plan, "nowhere to keep the output", false, "/nonexistent");

    plan.tool_dir = make_temp_dir();
    write_stub_uml(plan.tool_dir);
    expect_same_as_one_at_a_time(plan, "no post-processor", false);
}

// One bad value end to end; RunTool.JobsFromTheEnvironmentValue holds the rest.
TEST(SideBySideRuns, BadValueStopsBeforeAnyRun)
{
    StubPlan plan({"r1.rio"});
    const RunResult result = run_with_jobs(plan, {"t.tdc", "r1.rio"}, "3.5", false);
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(result.err, "Molvex-F-ENVJOBBAD,  The environment variable ZV_JOBS=\"3.5\" is not valid: give from 1 to "
                          "64 runs at once, or 0 or auto for one per core\n");
    EXPECT_FALSE(file_exists(plan.dir + "/calls"));
}

TEST(SideBySideRuns, InterruptionEndsTheRunsAndLeavesNoFile)
{
    for (const auto &[jobs, signal] : {std::pair{"4", SIGTERM}, std::pair{"", SIGINT}}) {
        StubPlan plan({"r1.rio", "r2.rio", "r3.rio"});
        const std::string temp = make_temp_dir();
        for (const char *rio : {"r1.rio", "r2.rio", "r3.rio"})
            write_file(plan.dir + "/hang." + std::string(rio), "");
        const StartedProgram started =
            start_program(zovizeve_path(), {"t.tdc", "r1.rio", "r2.rio", "r3.rio"},
                          {.cwd = plan.dir, .env = {{"ZRM_DIR", plan.dir}, {"ZV_JOBS", jobs}, {"TMPDIR", temp}}});
        const std::vector<std::string> started_rios =
            *jobs ? std::vector<std::string>{"r1.rio", "r2.rio", "r3.rio"} : std::vector<std::string>{"r1.rio"};
        std::vector<pid_t> tools;
        for (const std::string &rio : started_rios)
            tools.push_back(wait_for_hanging_stub(plan.dir + "/hang." + rio));
        ::kill(started.pid, signal);
        const bool ended = ends_within(started.pid, 20);
        EXPECT_TRUE(ended) << jobs << ": still running";
        if (!ended) {
            for (const pid_t tool : tools)
                ::kill(tool, SIGKILL);
            ::kill(started.pid, SIGKILL);
        }
        const RunResult result = finish_program(started);
        EXPECT_EQ(result.status, 128 + signal) << jobs << "\n" << result.err;
        for (std::size_t i = 0; i < tools.size(); ++i) {
            ASSERT_GT(tools[i], 0) << jobs;
            EXPECT_FALSE(process_exists(tools[i])) << jobs;
            EXPECT_TRUE(file_exists(plan.dir + "/ended." + started_rios[i])) << jobs << ": not asked to end";
        }
        EXPECT_EQ(directory_names(temp), std::vector<std::string>{}) << jobs;
        std::system(("rm -rf " + temp).c_str());
    }
}
