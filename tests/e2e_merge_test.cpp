// End to end: the example test plans merged into RDD files compared with
// golden files (time stamp and work directory masked), and write failures.
#include "e2e_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The run's time stamp ends the header line; the work directory appears in
// the CF lines.
std::string masked(const std::string &rdd, const std::string &dir)
{
    std::string text = replace_all(rdd, dir, "<DIR>");
    const std::size_t header_end = text.find('\n');
    const std::size_t stamp = text.rfind(" \"", header_end);
    if (header_end != std::string::npos && stamp != std::string::npos)
        text.replace(stamp, header_end - stamp, " \"<TIME>\" ");
    return text;
}

const std::vector<std::string> DOORS = {"door_open.tdc", "door_open_run1.rio", "door_open_run2.rio",
                                        "door_lock.tdc", "door_lock_run1.rio", "door_lock_run2.rio"};
const std::vector<std::string> LIFT_CALL = {"lift_call.tdc", "lift_call_panel.rio", "lift_call_drive.rio"};

} // namespace

TEST(E2eMerge, DoorsExampleMatchesGolden)
{
    const std::string dir = copy_examples(DOORS);
    const RunResult result = run_in(dir, DOORS);
    EXPECT_EQ(result.status, 3) << result.err;
    EXPECT_EQ(masked(read_file(dir + "/zrmrdd.rdd"), dir), read_file(source_dir() + "/tests/golden/doors.rdd"));
}

TEST(E2eMerge, LiftCallTimeExampleMatchesGolden)
{
    const std::string dir = copy_examples(LIFT_CALL);
    std::vector<std::string> args = {"-TIME", "-RDD=out/lift.rdd"};
    args.insert(args.end(), LIFT_CALL.begin(), LIFT_CALL.end());
    std::filesystem::create_directory(dir + "/out");
    const RunResult result = run_in(dir, args);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(masked(read_file(dir + "/out/lift.rdd"), dir),
              read_file(source_dir() + "/tests/golden/lift_call_time.rdd"));
}

TEST(E2eMerge, WriteErrorIsReportedAndKeepsEarlierReport)
{
    const std::string dir = copy_examples(DOORS);
    RunOptions options;
    options.cwd = dir;
    ASSERT_EQ(run_zovizeve(DOORS, options).status, 3);
    const std::string earlier = read_file(dir + "/zrmrdd.rdd");

    // A file size limit that the ROD files fit in and the RDD file does not:
    // writes fail with EFBIG once SIGXFSZ is ignored.
    std::vector<std::string> args = {"-c", "trap '' XFSZ; ulimit -f 4; exec \"$0\" \"$@\"", zovizeve_path()};
    args.insert(args.end(), DOORS.begin(), DOORS.end());
    const RunResult limited = run_program("/bin/bash", args, options);
    EXPECT_EQ(limited.status, 7);
    EXPECT_NE(limited.err.find("Molvex-F-FICNOTOPN,  File zrmrdd.rdd access problem"), std::string::npos)
        << limited.err;
    EXPECT_EQ(read_file(dir + "/zrmrdd.rdd"), earlier);

    std::vector<std::string> to_device = {"-RDD=/dev/full"};
    to_device.insert(to_device.end(), DOORS.begin(), DOORS.end());
    const RunResult full = run_zovizeve(to_device, options);
    EXPECT_EQ(full.status, 7);
    EXPECT_NE(full.err.find("FICNOTOPN,  File /dev/full access problem"), std::string::npos) << full.err;

    std::vector<std::string> missing_dir = {"-RDD=nowhere/x.rdd"};
    missing_dir.insert(missing_dir.end(), DOORS.begin(), DOORS.end());
    const RunResult missing = run_zovizeve(missing_dir, options);
    EXPECT_EQ(missing.status, 7);
    EXPECT_NE(missing.err.find("File nowhere/x.rdd access problem"), std::string::npos) << missing.err;
}
