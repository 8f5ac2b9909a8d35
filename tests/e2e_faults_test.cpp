// Fault and bad-input catalogues: whatever the program is given or meets
// (damaged reports, a full disk, ROD files that go missing or cannot be
// read, an RDD directory it may not write, post-processors that die), it
// ends with a clear message and status and never leaves a wrong or partial
// RDD file: an earlier one stays as it was.
#include "e2e_util.h"
#include "stub_tools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string EARLIER_RDD = "KORVA Probeworks \"v2.6a\" \"earlier report\" \n";
const std::string UNEXPTEOF = "Molvex-F-UNEXPTEOF,  Unexpected end of file\n";
const std::string NOBODY = "65534";

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

// A test plan in a directory every user may use: one TDC file, the two runs
// of door_lock unless a test writes its own RIO files (the stand-in
// post-processor copies their report text to the ROD file), and an earlier
// RDD file. The tools are the stand-ins unless a test writes a stub.
struct Plan {
    std::string dir = make_temp_dir();
    std::string tool_dir = stage_dir() + "/bin";

    Plan()
    {
        fs::permissions(dir, fs::perms::all);
        write_file(dir + "/plan.tdc", first_line("TDC file") + "CF \"DOORS\" \"door_lock.tds\" \"3.1\" \"B\" \"D\"\n");
        for (const std::string name : {"run1.rio", "run2.rio"})
            rio(name, example_body("door_lock_" + name));
        write_file(dir + "/zrmrdd.rdd", EARLIER_RDD);
    }
    ~Plan() { fs::remove_all(dir); }

    void rio(const std::string &name, const std::string &body) { write_file(dir + "/" + name, first_line("RIO file") + body); }

    // Post-processor stub: writes the ROD file as the stand-in does, then
    // runs `then` (a shell command; $1 is the RIO name).
    void postpro_stub(const std::string &then)
    {
        tool_dir = dir + "/tools";
        fs::create_directories(tool_dir);
        fs::permissions(tool_dir, fs::perms::all);
        write_script(tool_dir + "/zrmpostpro", "out=\"$2\"; tail -n +2 \"$1\" > \"${out%.*}.rod\"\n" + then + "\n");
        write_stub_uml(tool_dir);
    }

    RunResult run(const std::vector<std::string> &args, const std::vector<std::string> &launcher = {})
    {
        RunOptions options{.cwd = dir, .env = {{"ZRM_DIR", tool_dir}}};
        if (launcher.empty())
            return run_zovizeve(args, options);
        std::vector<std::string> words(launcher.begin() + 1, launcher.end());
        words.push_back(zovizeve_path());
        words.insert(words.end(), args.begin(), args.end());
        return run_program(launcher.front(), words, options);
    }
    // File permissions do not hold for root: run as nobody then.
    RunResult run_unprivileged(const std::vector<std::string> &args)
    {
        if (::geteuid() != 0)
            return run(args);
        return run(args, {"/usr/bin/setpriv", "--reuid=" + NOBODY, "--regid=" + NOBODY, "--clear-groups"});
    }

    // Fails the test unless the earlier RDD file is intact and nothing else
    // (a temporary RDD file) was left beside it.
    void expect_no_new_rdd()
    {
        EXPECT_EQ(read_file(dir + "/zrmrdd.rdd"), EARLIER_RDD);
        for (const fs::directory_entry &entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "zrmrdd.rdd" || name == "tools" || name == "locked" || name.ends_with(".rio") ||
                        name.ends_with(".tdc") || name.ends_with(".rod"))
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

const std::vector<std::string> BOTH_RUNS = {"plan.tdc", "run1.rio", "run2.rio"};

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

TEST(Faults, EachEndsWithItsMessageAndLeavesTheEarlierRdd)
{
    const std::string ficnotopn = "Molvex-F-FICNOTOPN,  File ";
    struct Fault {
        const char *name;
        std::function<void(Plan &)> arrange;
        std::vector<std::string> extra_args;
        std::vector<std::string> launcher;
        bool unprivileged;
        std::string message;
    };
    const auto stub = [](const char *then) { return [then](Plan &plan) { plan.postpro_stub(then); }; };
    const auto nothing = [](Plan &) {};
    const std::vector<Fault> faults = {
        {"full disk", nothing, {"-RDD=/dev/full"}, {}, false, ficnotopn + "/dev/full access problem\n"},
        // The ROD files fit in three blocks of 512 bytes; the merged report does not.
        {"file size limit", nothing, {}, {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 3; exec \"$0\" \"$@\""}, false,
         ficnotopn + "zrmrdd.rdd access problem\n"},
        {"no RDD directory", nothing, {"-RDD=nowhere/x.rdd"}, {}, false, ficnotopn + "nowhere/x.rdd access problem\n"},
        {"locked RDD directory",
         [](Plan &plan) {
             fs::create_directories(plan.dir + "/locked");
             fs::permissions(plan.dir + "/locked", fs::perms::owner_write | fs::perms::group_write |
                                                       fs::perms::others_write, fs::perm_options::remove);
         },
         {"-RDD=locked/report.rdd"}, {}, true, ficnotopn + "locked/report.rdd access problem\n"},
        {"no ROD file written", stub("rm \"${out%.*}.rod\"; exit 0"), {}, {}, false,
         ficnotopn + "run1.rod access problem\n"},
        {"unreadable ROD file", stub("chmod 000 \"${out%.*}.rod\"; exit 0"), {}, {}, true,
         ficnotopn + "run1.rod access problem\n"},
        {"ROD file is a directory", stub("rm \"${out%.*}.rod\"; mkdir \"${out%.*}.rod\"; exit 0"), {}, {}, false,
         ficnotopn + "run1.rod access problem\n"},
        // Beside the runs run1.rod is read once its run ends; the second
        // run then cuts it short while the report is still to be written.
        {"ROD file cut short under the run", stub("[ \"$1\" = run2.rio ] && sleep 1 && : > run1.rod; exit 0"), {}, {},
         false, ficnotopn + "run1.rod access problem\n"},
        {"post-processor killed", stub("[ \"$1\" = run1.rio ] && kill -9 $$; exit 0"), {}, {}, false,
         "Molvex-F-POSTFAILD,  The generation of some ROD report has failed. No RDD report generated\n"},
    };
    ASSERT_LT(fs::file_size(source_dir() + "/examples/door_lock_run1.rio"), 1536u);
    for (const Fault &fault : faults) {
        Plan plan;
        fault.arrange(plan);
        std::vector<std::string> args = BOTH_RUNS;
        args.insert(args.end(), fault.extra_args.begin(), fault.extra_args.end());
        const RunResult result = fault.unprivileged ? plan.run_unprivileged(args) : plan.run(args, fault.launcher);
        EXPECT_EQ(result.status, 7) << fault.name << "\n" << result.err;
        EXPECT_EQ(last_line(result.err), fault.message) << fault.name;
        plan.expect_no_new_rdd();
        if (fs::exists(plan.dir + "/locked")) {
            EXPECT_TRUE(fs::is_empty(plan.dir + "/locked"));
        }
    }
}

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

TEST(BadInputFiles, AThousandInputFilesAreMerged)
{
    Plan plan;
    std::vector<std::string> args = {"plan.tdc"};
    for (int i = 1; i < 1000; ++i) {
        const std::string name = "r" + std::to_string(i) + ".rio";
        plan.rio(name, example_body(i % 2 ? "door_lock_run1.rio" : "door_lock_run2.rio"));
        args.push_back(name);
    }
    const RunResult result = plan.run(args);
    EXPECT_EQ(result.status, 0) << last_line(result.err);
    EXPECT_EQ(last_line(result.err), "Molvex-I-ENDNOENWR,  End of execution without errors or warnings\n");
    const std::string rdd = read_file(plan.dir + "/zrmrdd.rdd");
    EXPECT_TRUE(rdd.starts_with("KORVA Probeworks \"v2.6a\" \"DOORS\" \"RDD file\""));
    EXPECT_NE(rdd.find("r999.rod"), std::string::npos);
}
