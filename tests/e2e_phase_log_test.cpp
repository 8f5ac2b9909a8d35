// End to end: the phase-time log asked for through ZV_PHASE_LOG changes
// nothing of the run (status, messages, RDD bytes) and names every phase.
#include "e2e_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> FILES = {"door_open.tdc", "door_open_run1.rio", "door_open_run2.rio"};

// The RDD text without its header line, which ends with the run's time stamp.
std::string body_of(const std::string &rdd) { return rdd.substr(rdd.find('\n') + 1); }

TEST(PhaseLog, ChangesNothingElseAndNamesEveryPhase)
{
    const std::string dir = copy_examples(FILES);
    RunOptions options;
    options.cwd = dir;
    const RunResult plain = run_zovizeve({"-RDD=plain.rdd", FILES[0], FILES[1], FILES[2]}, options);
    options.env["ZV_PHASE_LOG"] = dir + "/phases.txt";
    const RunResult logged = run_zovizeve({"-RDD=logged.rdd", FILES[0], FILES[1], FILES[2]}, options);

    EXPECT_TRUE(plain.status == 0 || plain.status == 3) << plain.err;
    EXPECT_EQ(logged.status, plain.status);
    EXPECT_EQ(logged.err, plain.err);
    EXPECT_EQ(logged.out, plain.out);
    EXPECT_EQ(body_of(read_file(dir + "/logged.rdd")), body_of(read_file(dir + "/plain.rdd")));

    const std::string log = read_file(dir + "/phases.txt");
    for (const char *phase : {"read ", "structure ", "wait ", "synchronise ", "cf ", "merge ", "write ", "free ",
                              "engine ", "files 2\n", "rod_lines ", "loader_threads "})
        EXPECT_NE(log.find(phase), std::string::npos) << phase << " in\n" << log;
    std::filesystem::remove_all(dir);
}

} // namespace
