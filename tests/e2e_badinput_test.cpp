// Bad-input catalogue: whatever the program is given, it ends with a clear
// message and status, and never leaves a wrong or partial RDD file: an
// earlier RDD file stays as it was.
#include "e2e_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>

namespace fs = std::filesystem;

namespace {

const std::string EARLIER_RDD = "KORVA Probeworks \"v2.6a\" \"earlier report\" \n";
const std::string UNEXPTEOF = "Molvex-F-UNEXPTEOF,  Unexpected end of file\n";

std::string first_line(const char *kind, const std::string &plan = "PLAN")
{
    return korva_header(kind, "door_lock", plan);
}

std::string replace_line(std::string body, const std::string &prefix, const std::string &line)
{
    const std::size_t at = body.find("\n" + prefix) + 1;
    const std::size_t end = body.find('\n', at);
    return body.replace(at, end - at, line);
}

// A test plan in a fresh directory: one TDC file and RIO files whose report
// text the test chooses (the stand-in post-processor copies it to the ROD
// file). An earlier RDD file is there before each run.
struct Plan {
    std::string dir = make_temp_dir();

    Plan()
    {
        write_file(dir + "/plan.tdc", first_line("TDC file") + "CF \"DOORS\" \"door_lock.tds\" \"3.1\" \"B\" \"D\"\n");
        write_file(dir + "/zrmrdd.rdd", EARLIER_RDD);
    }
    ~Plan() { fs::remove_all(dir); }

    void rio(const std::string &name, const std::string &body) { write_file(dir + "/" + name, first_line("RIO file") + body); }

    RunResult run(std::vector<std::string> args) { return run_in(dir, args); }

    // Fails the test unless the earlier RDD file is intact and nothing else
    // (a temporary RDD file) was left beside it.
    void expect_no_new_rdd()
    {
        EXPECT_EQ(read_file(dir + "/zrmrdd.rdd"), EARLIER_RDD);
        for (const fs::directory_entry &entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "zrmrdd.rdd" || name.ends_with(".rio") || name.ends_with(".tdc") ||
                        name.ends_with(".rod"))
                << "left behind: " << name;
        }
    }
};

// The last line of standard error: where a failed run says why.
std::string last_line(const std::string &err)
{
    const std::vector<std::string> lines = split_lines(err);
    return lines.empty() ? std::string() : lines.back() + "\n";
}

struct BadReport {
    const char *name;
    std::string body;
    std::string message;
};

class BadReportBody : public ::testing::TestWithParam<BadReport> {};

std::string binary_garbage()
{
    std::mt19937 random(20260227);
    std::string bytes(100000, '\0');
    for (char &byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

std::vector<BadReport> bad_reports()
{
    static const char NUL_LINE[] = "CH \"mo\0de\" \"NORMAL\" \"7\" \"0\"";
    const std::string body = example_body("door_lock_run1.rio");
    const std::string header = body.substr(0, body.find('\n') + 1);
    return {
        {"BinaryGarbage", header + binary_garbage(), UNEXPTEOF},
        {"NulByteInALine", replace_line(body, "CH \"mode\"", std::string(NUL_LINE, sizeof NUL_LINE - 1)), UNEXPTEOF},
        {"TenMegabyteLine", header + "CH \"" + std::string(10 << 20, 'x') + "\" \"1\"\n" + body.substr(header.size()),
         UNEXPTEOF},
        {"TruncatedInsideAField", body.substr(0, body.find("\"Door locks when") + 8), UNEXPTEOF},
        {"TruncatedAtALineEnd", body.substr(0, body.find("\nFS ") + 1), UNEXPTEOF},
        {"UnknownLineCode", replace_line(body, "CH \"mode\"", "ZQ \"mode\" \"NORMAL\" \"7\" \"0\""),
         "Molvex-F-ERRINTERN,  \n"},
        {"UnbalancedBlocks", replace_line(body, "YI ", "CH \"late\" \"1\" \"8\" \"0\""), UNEXPTEOF},
        {"CommentRunAtTheEnd", body + "CO \"last words\"\nCO \"and more\"\n", UNEXPTEOF},
        {"HeaderLineOnly", header, UNEXPTEOF},
    };
}

} // namespace

TEST_P(BadReportBody, EndsWithItsMessageAndLeavesTheEarlierRdd)
{
    Plan plan;
    plan.rio("run1.rio", GetParam().body);
    const RunResult result = plan.run({"plan.tdc", "run1.rio"});
    EXPECT_EQ(result.status, 7) << result.err.substr(0, 2000);
    EXPECT_EQ(last_line(result.err), GetParam().message) << result.err.substr(0, 2000);
    plan.expect_no_new_rdd();
}

INSTANTIATE_TEST_SUITE_P(BadInput, BadReportBody, ::testing::ValuesIn(bad_reports()),
                         [](const ::testing::TestParamInfo<BadReport> &info) { return info.param.name; });

// Synchronising a second file needs a clock description on both sides.
TEST(BadInputSync, SecondFileWithoutSyLineOrWithAZeroPeriodOrUnit)
{
    const std::string body = example_body("door_lock_run1.rio");
    const std::string sy = body.substr(body.find("\nSY ") + 1, body.find('\n', body.find("\nSY ") + 1) - body.find("\nSY "));
    const std::vector<std::pair<const char *, std::string>> cases = {
        {"no SY line", replace_line(body, "SY ", "")},
        {"period 0", replace_line(body, "SY ", "SY \"CABIN_BENCH_CLOCK\" \"0\" \"8400\" \"0\" \"1000\" \"ms\"")},
        {"unit 0", replace_line(body, "SY ", "SY \"CABIN_BENCH_CLOCK\" \"0\" \"8400\" \"1000000\" \"0\" \"ms\"")},
    };
    for (const auto &[what, second] : cases) {
        for (const bool time_mode : {false, true}) {
            Plan plan;
            plan.rio("run1.rio", body);
            plan.rio("run2.rio", second);
            std::vector<std::string> args = {"plan.tdc", "run1.rio", "run2.rio"};
            if (time_mode)
                args.push_back("-TIME");
            const RunResult result = plan.run(args);
            EXPECT_EQ(result.status, 7) << what << (time_mode ? " -TIME\n" : "\n") << result.err;
            EXPECT_EQ(last_line(result.err), UNEXPTEOF) << what;
            plan.expect_no_new_rdd();
        }
    }
}

TEST(BadInputFiles, BinaryGarbageNamedAsAnInputFile)
{
    Plan plan;
    write_file(plan.dir + "/garbage.rio", binary_garbage());
    const RunResult result = plan.run({"plan.tdc", "garbage.rio"});
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(last_line(result.err), "Molvex-F-NORIOTDCF,  The garbage.rio file is not an RIO file\n");
    plan.expect_no_new_rdd();
}

TEST(BadInputFiles, RioFirstLineOfFiveThousandCharacters)
{
    Plan plan;
    const std::string long_plan(5000, 'P');
    write_file(plan.dir + "/long.tdc", first_line("TDC file", long_plan) + "CF \"D\" \"t\" \"1\" \"B\" \"D\"\n");
    write_file(plan.dir + "/long.rio", first_line("RIO file", long_plan) + example_body("door_lock_run1.rio"));
    const RunResult result = plan.run({"long.tdc", "long.rio"});
    // A first line past the stored length: refused, or paired on what is kept.
    if (result.status == 0) {
        EXPECT_NE(read_file(plan.dir + "/zrmrdd.rdd"), EARLIER_RDD);
    } else {
        EXPECT_EQ(result.status, 7) << result.err;
        EXPECT_TRUE(last_line(result.err).starts_with("Molvex-F-")) << result.err;
        plan.expect_no_new_rdd();
    }
}

// Names reach the tools as they are, never through a shell.
TEST(BadInputFiles, NamesWithBlanksQuotesSemicolonsSubstitutionsAndAccents)
{
    Plan plan;
    const std::vector<std::string> names = {"run with blanks.rio", "quote\"d'.rio", "semi;colon.rio",
                                            "$(touch injected).rio", "ŝtato_été.rio"};
    std::vector<std::string> args = {"plan.tdc"};
    for (const std::string &name : names) {
        plan.rio(name, example_body("door_lock_run1.rio"));
        args.push_back(name);
    }
    args.push_back("-RDD=out $(touch injected2);.rdd");
    const RunResult result = plan.run(args);
    EXPECT_EQ(result.status, 0) << result.err;
    for (const std::string &name : names)
        EXPECT_TRUE(file_exists(plan.dir + "/" + name.substr(0, name.size() - 4) + ".rod")) << name;
    EXPECT_TRUE(file_exists(plan.dir + "/out $(touch injected2);.rdd"));
    EXPECT_FALSE(file_exists(plan.dir + "/injected"));
    EXPECT_FALSE(file_exists(plan.dir + "/injected2"));
}

TEST(BadInputFiles, AThousandInputFilesAreMergedAndOneMoreIsRefused)
{
    Plan plan;
    std::vector<std::string> args = {"plan.tdc"};
    for (int i = 1; i < 1000; ++i) {
        const std::string name = "r" + std::to_string(i) + ".rio";
        plan.rio(name, example_body(i % 2 ? "door_lock_run1.rio" : "door_lock_run2.rio"));
        args.push_back(name);
    }
    RunResult result = plan.run(args);
    EXPECT_EQ(result.status, 0) << last_line(result.err);
    EXPECT_EQ(last_line(result.err), "Molvex-I-ENDNOENWR,  End of execution without errors or warnings\n");
    const std::string rdd = read_file(plan.dir + "/zrmrdd.rdd");
    EXPECT_TRUE(rdd.starts_with("KORVA Probeworks \"v2.6a\" \"DOORS\" \"RDD file\""));
    EXPECT_NE(rdd.find("r999.rod"), std::string::npos);

    write_file(plan.dir + "/zrmrdd.rdd", EARLIER_RDD);
    fs::remove(plan.dir + "/zrmrdd.html"); // the UML tool's page of the run above
    args.push_back("r1.rio");
    result = plan.run(args);
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(last_line(result.err).substr(0, 20), "Molvex-F-TOOMANYFI, ");
    plan.expect_no_new_rdd();
}
