// End to end: the example test plans merged into RDD files compared with
// golden files (time stamp and work directory masked), and the merged verdict.
#include "e2e_util.h"
#include "extgest.h"
#include "rodgen.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

namespace {

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
    const std::string rdd = read_file(dir + "/zrmrdd.rdd");
    EXPECT_EQ(masked(rdd, dir), read_file(source_dir() + "/tests/golden/doors.rdd"));
    // The second field of the first ROD header line, then the run's time stamp.
    const std::regex header(R"(KORVA Probeworks "v2\.6a" "DOORS" "RDD file" )"
                            R"("(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \d{4}" \n)");
    EXPECT_TRUE(std::regex_match(rdd.substr(0, rdd.find('\n') + 1), header)) << rdd.substr(0, 100);
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

TEST(E2eMerge, MergedVerdictFailedOutranksInconclusiveWhichOutranksTheRest)
{
    const std::vector<std::string> files = {"door_open.tdc", "door_open_run1.rio", "door_open_run2.rio"};
    const std::string dir = copy_examples(files);
    const std::string prefix = "FS \"SC_OPEN_01\" \"1600\" \"";
    const auto set_verdict = [&](const std::string &rio, const std::string &verdict) {
        std::string text = read_file(source_dir() + "/examples/" + rio);
        text.replace(text.find(prefix) + prefix.size(), 1, verdict);
        write_file(dir + "/" + rio, text);
    };
    // Earlier file's verdict, later file's verdict, merged verdict.
    const std::vector<std::array<std::string, 3>> rows = {
        {"0", "1", "1"}, {"1", "2", "1"}, {"2", "1", "1"}, {"0", "2", "2"},
        {"2", "0", "2"}, {"3", "0", "3"}, {"0", "3", "0"}, {"3", "2", "2"},
    };
    for (const auto &[earlier, later, merged] : rows) {
        set_verdict("door_open_run1.rio", earlier);
        set_verdict("door_open_run2.rio", later);
        const RunResult result = run_in(dir, files);
        ASSERT_EQ(result.status, 3) << result.err; // SC_OPEN_02 fails in door_open_run2
        const std::string rdd = read_file(dir + "/zrmrdd.rdd");
        EXPECT_NE(rdd.find(prefix + merged + "\" \"1\" \"17\" \"2\" \"17\""), std::string::npos)
            << earlier << " then " << later;
    }
    std::filesystem::remove_all(dir);
}

// A big file loaded alone is checked in two halves at once: its CF line
// carries the CRC of its whole text all the same.
TEST(E2eMerge, BigLoneFileCarriesTheCrcOfItsWholeText)
{
    const std::string dir = make_temp_dir();
    GenParams params;
    params.scenario = GenScenario::HugeFile;
    params.files = 1;
    params.bytes_per_file = 3'000'000;
    write_file(dir + "/" + gen_tdc_name(), gen_tdc_text());
    write_file(dir + "/" + gen_rio_name(0), gen_rio_text(params, 0));
    const RunResult result = run_in(dir, {gen_tdc_name(), gen_rio_name(0)});
    ASSERT_TRUE(result.status == 0 || result.status == 3) << result.err;
    const std::string rio = gen_rio_name(0);
    const std::string rod = read_file(dir + "/" + rio.substr(0, rio.rfind('.')) + ".rod");
    ASSERT_GT(rod.size(), std::size_t{1} << 20);
    const uint16_t crc = crc16_kermit(reinterpret_cast<const unsigned char *>(rod.data()), rod.size());
    const std::string cf = "\" \"" + std::to_string(rod.size()) + "\" \"" + std::to_string(crc) + "\" \"1\"";
    EXPECT_NE(read_file(dir + "/zrmrdd.rdd").find(cf), std::string::npos) << cf;
    std::filesystem::remove_all(dir);
}
