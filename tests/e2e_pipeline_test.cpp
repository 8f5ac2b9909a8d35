// The engine loading and merging beside the post-processor runs against the
// engine started after the last run (ZV_ENGINE_AFTER_RUNS): the same message
// lines, the same RDD file and the same status, whichever run fails or which
// file the engine stops at, with and without -LOG, one run at a time or four.
#include "e2e_util.h"
#include "stub_tools.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

const std::vector<std::string> RIO_NAMES = {"r1.rio", "r2.rio", "r3.rio", "r4.rio", "r5.rio", "r6.rio"};

struct Outcome {
    RunResult result;
    std::string rdd; // its time stamp masked; empty when none was written
    std::string phases;
};

std::string masked_time_stamp(std::string rdd)
{
    const std::size_t end = rdd.find('\n');
    const std::size_t open = end == std::string::npos ? end : rdd.rfind(" \"", end);
    return open == std::string::npos ? rdd : rdd.substr(0, open) + " TIME" + rdd.substr(end);
}

Outcome run_engine(StubPlan &plan, bool log, const char *jobs, bool after_runs)
{
    std::vector<std::string> args{"t.tdc"};
    args.insert(args.end(), RIO_NAMES.begin(), RIO_NAMES.end());
    if (log)
        args.insert(args.begin(), "-LOG");
    RunOptions options{.cwd = plan.dir,
                       .env = {{"ZRM_DIR", plan.tool_dir}, {"ZV_PHASE_LOG", plan.dir + "/phases"}}};
    if (jobs)
        options.env["ZV_JOBS"] = jobs;
    if (after_runs)
        options.env["ZV_ENGINE_AFTER_RUNS"] = "1";
    Outcome outcome{run_zovizeve(args, options)};
    const std::string rdd = plan.dir + "/zrmrdd.rdd";
    if (file_exists(rdd))
        outcome.rdd = masked_time_stamp(read_file(rdd));
    outcome.phases = read_file(plan.dir + "/phases");
    std::remove(rdd.c_str());
    std::remove((plan.dir + "/phases").c_str());
    std::remove((plan.dir + "/calls").c_str());
    std::remove((plan.dir + "/order").c_str());
    return outcome;
}

// The seconds the merge waited for runs still going, from the phase log.
double wait_beside_runs(const std::string &phases)
{
    const std::size_t at = phases.find("beside_runs ");
    return at == std::string::npos ? -1 : std::stod(phases.substr(at + 12));
}

void expect_same_output(StubPlan &plan, const std::string &what, int status, const std::string &last_line)
{
    for (const bool log : {false, true}) {
        for (const char *jobs : {static_cast<const char *>(nullptr), "4"}) {
            const std::string where = what + (log ? ", -LOG" : "") + (jobs ? ", ZV_JOBS=4" : "");
            const Outcome after = run_engine(plan, log, jobs, true);
            const Outcome beside = run_engine(plan, log, jobs, false);
            EXPECT_EQ(after.result.status, status) << where << "\n" << after.result.err;
            EXPECT_EQ(split_lines(after.result.err).back(), last_line) << where;
            EXPECT_EQ(beside.result.status, after.result.status) << where;
            EXPECT_EQ(beside.result.out, after.result.out) << where;
            EXPECT_EQ(beside.result.err, after.result.err) << where;
            EXPECT_EQ(beside.rdd, after.rdd) << where;
            if (!after.phases.empty()) {
                EXPECT_EQ(wait_beside_runs(after.phases), 0) << where << ": the engine did not wait for the runs";
            }
        }
    }
}

const std::string POSTFAILD =
    "Molvex-F-POSTFAILD,  The generation of some ROD report has failed. No RDD report generated";

// A RIO file whose report text `body` replaces the example's.
void rio_with_body(StubPlan &plan, const std::string &name, const std::string &body)
{
    write_file(plan.dir + "/" + name, korva_header("RIO file", "t") + body);
}

struct Set {
    std::string name;
    std::function<void(StubPlan &)> arrange;
    int status;
    std::string last_line;
};

} // namespace

TEST(EngineBesideRuns, ShowsWhatTheEngineAfterTheRunsShows)
{
    const std::string body = example_body("door_open_run1.rio");
    const std::vector<Set> sets = {
        {"all well, status 3 runs",
         [](StubPlan &plan) {
             set_stub_status(plan.dir, "r2.rio", "3");
             set_stub_status(plan.dir, "r5.rio", "3");
         },
         3, "Molvex-I-ENDNOEWAR,  End of execution with 2 warning(s)"},
        {"a failing run after a damaged file was loaded",
         [&body](StubPlan &plan) {
             rio_with_body(plan, "r1.rio", body + "EV \"cut in a field\n");
             set_stub_status(plan.dir, "r4.rio", "2");
             set_stub_status(plan.dir, "r2.rio", "3");
         },
         7, POSTFAILD},
        {"a killed run",
         [](StubPlan &plan) { set_stub_status(plan.dir, "r6.rio", "kill"); }, 7, POSTFAILD},
        {"a missing ROD file",
         [](StubPlan &plan) {
             write_file(plan.dir + "/norod.r3.rio", "");
             set_stub_status(plan.dir, "r2.rio", "3");
         },
         7, "Molvex-F-FICNOTOPN,  File r3.rod access problem"},
        {"an engine fault in a later file",
         [&body](StubPlan &plan) {
             rio_with_body(plan, "r5.rio", body + "QQ \"no such code\"\n");
             set_stub_status(plan.dir, "r6.rio", "3");
         },
         7, "Molvex-F-ERRINTERN,  "},
    };
    for (const Set &set : sets) {
        StubPlan plan(RIO_NAMES);
        // Runs that end late, early pairs first, so that loading waits and
        // the side-by-side runs end out of order.
        write_file(plan.dir + "/delay.r1.rio", "0.2\n");
        write_file(plan.dir + "/delay.r4.rio", "0.1\n");
        write_file(plan.dir + "/stdout.r2.rio", "r2 says\n");
        set.arrange(plan);
        expect_same_output(plan, set.name, set.status, set.last_line);
    }
}

// The engine works while the runs go on: it waited for them, and the report
// is the one of the engine after the runs.
TEST(EngineBesideRuns, MergesWhileTheRunsGoOn)
{
    StubPlan plan(RIO_NAMES);
    write_file(plan.dir + "/delay.r6.rio", "2\n");
    const Outcome beside = run_engine(plan, false, nullptr, false);
    ASSERT_EQ(beside.result.status, 0) << beside.result.err;
    EXPECT_GT(wait_beside_runs(beside.phases), 0);
    EXPECT_EQ(beside.rdd, run_engine(plan, false, nullptr, true).rdd);
}
