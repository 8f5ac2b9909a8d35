// Memory exhaustion injected into merges and into the writing of their
// report, each failure in a child process of its own: every one ends with
// the fatal malloc text and status 7, never a crash, a hang or another text.
//   - a small merge (two example files, both modes): every allocation;
//   - a larger merge (eight generated files of 500 KB with every line kind,
//     both modes, loaded ahead by the loader threads): every allocation too,
//     since the engine takes its memory in chunks of megabytes and such a
//     merge makes a few dozen;
//   - a small merge beside the post-processor runs (files written in
//     reverse order): every allocation, on the loading thread or not;
//   - the two-thread writer of a generated report: every allocation of the
//     writing thread, and every allocation of the helper thread.
#include "cstsyst.h"
#include "e2e_util.h"
#include "exec.h"
#include "i18n_zrm_msg.h"
#include "rodgen.h"
#include "rodload.h"
#include "rodprd.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// ROD files in a scratch directory, named in the ROD table as the tool
// runner would name them; the table is cleared and the directory removed
// when the set goes.
struct RodSet {
    std::string dir = make_temp_dir();

    explicit RodSet(const std::vector<std::string> &texts)
    {
        catalog_fill();
        clear_pair_tables();
        for (std::size_t slot = 0; slot < texts.size(); ++slot) {
            write_file(dir + "/run" + std::to_string(slot) + ".rod", texts[slot]);
            set_rod_name(int(slot), dir + "/run" + std::to_string(slot) + ".rod");
        }
    }
    ~RodSet()
    {
        clear_pair_tables();
        fs::remove_all(dir);
    }
};

bool write_to_null(const MergedReport &report)
{
    FILE *out = std::fopen("/dev/null", "w");
    const bool written = write_rdd_lines(out, "H", report.tree, report.time_offset, report.names_in_heads);
    std::fclose(out);
    return written;
}

// Runs `work` in a child whose allocations counted by `threads` fail from
// the n-th on, for n = 0, 1, 2, ... until one gets through. Returns how many
// children the failure ended.
int fail_allocations(const std::string &what, FailingThreads threads, const std::function<bool()> &work)
{
    for (long n = 0; n < 100000; ++n) {
        ::testing::internal::CaptureStderr();
        const pid_t child = fork();
        if (child == 0) {
            set_allocation_failure_after(n, threads);
            std::exit(work() ? 0 : 1);
        }
        int status = -1;
        waitpid(child, &status, 0);
        const std::string err = ::testing::internal::GetCapturedStderr();
        const std::string where = what + ", allocation " + std::to_string(n);
        if (!WIFEXITED(status) || WEXITSTATUS(status) == 0) {
            EXPECT_TRUE(WIFEXITED(status)) << where << ": ended by signal " << WTERMSIG(status) << "\n" << err;
            return int(n);
        }
        // Another ending would come again at every later allocation: stop at the first.
        if (WEXITSTATUS(status) != 7 || err != "FATAL ERROR on malloc,\n Please contact your administrative.\n") {
            ADD_FAILURE() << where << ": status " << WEXITSTATUS(status) << "\n" << err;
            return int(n);
        }
    }
    ADD_FAILURE() << what << ": never got through";
    return 0;
}

std::vector<std::string> generated_rods(GenParams params)
{
    std::vector<std::string> texts;
    for (int file = 0; file < params.files; ++file)
        texts.push_back(gen_rod_text(params, file));
    return texts;
}

void fail_merge(const std::vector<std::string> &texts, bool time_mode)
{
    const RodSet set(texts);
    const std::string what = std::string(time_mode ? "-TIME " : "") + "merge of " + std::to_string(texts.size()) + " files";
    const int failed = fail_allocations(what, FailingThreads::ANY,
                                        [time_mode] { return write_to_null(rod_load_all(time_mode)); });
    EXPECT_GT(failed, 2) << what;
}

TEST(Robustness, EveryAllocationOfASmallMergeEndsWithTheFatalMallocText)
{
    for (const bool time_mode : {false, true})
        fail_merge({example_body("door_open_run1.rio"), example_body("door_open_run2.rio")}, time_mode);
}

TEST(Robustness, EveryAllocationOfALargerMergeEndsWithTheFatalMallocText)
{
    GenParams params;
    params.files = 8;
    params.bytes_per_file = 500000;
    params.variety = true;
    fail_merge(generated_rods(params), false);
    params.scenario = GenScenario::TimeMode; // every line of the body fit for -TIME
    fail_merge(generated_rods(params), true);
}

TEST(Robustness, EveryAllocationOfAMergeBesideTheRunsEndsWithTheFatalMallocText)
{
    const RodSet set({example_body("door_open_run1.rio"), example_body("door_open_run2.rio"),
                      example_body("door_lock_run1.rio")});
    const int failed = fail_allocations("merge beside the runs", FailingThreads::ANY, [] {
        RodPipeline *pipeline = rod_pipeline_start(false);
        if (!pipeline)
            return false;
        for (const int slot : {2, 1, 0})
            rod_pipeline_written(*pipeline, slot);
        return write_to_null(rod_pipeline_finish(pipeline));
    });
    EXPECT_GT(failed, 2);
}

// Either writer thread running out of memory ends the run as one thread
// would: the fatal text once, status 7, while the other thread stops.
TEST(Robustness, EachWriterThreadRunningOutOfMemoryEndsTheRunCleanly)
{
    if (std::thread::hardware_concurrency() < 2)
        GTEST_SKIP() << "one core: the report is written on one thread";
    // Large enough that the writing thread cannot write it all alone before
    // the helper has started (the helper's first allocation comes then).
    GenParams params;
    params.files = 4;
    params.bytes_per_file = 1500000;
    const RodSet set(generated_rods(params));
    const MergedReport report = rod_load_all(false);
    ASSERT_TRUE(report.names_in_heads) << "the report would be written on one thread";
    for (const FailingThreads threads : {FailingThreads::THIS_ONE, FailingThreads::OTHERS}) {
        const std::string what = threads == FailingThreads::THIS_ONE ? "writing thread" : "helper thread";
        EXPECT_GT(fail_allocations(what, threads, [&report] { return write_to_null(report); }), 0) << what;
    }
    model_release();
}

} // namespace
