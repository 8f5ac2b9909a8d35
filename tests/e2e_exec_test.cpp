// The tool runner through the program: post-processor arguments and order,
// message placement, failures, the UML tool, and the stand-in tools.
#include "e2e_util.h"
#include "stub_tools.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using Lines = std::vector<std::string>;

std::string postpro(const StubPlan &plan, const std::string &rio, const std::string &output, const std::string &options,
                    const char *log)
{
    return "postpro [" + plan.tool_dir + "/zrmpostpro] [" + rio + "] [" + output + "] " + options + " [-TDC=t.tdc] [" +
           log + "]";
}

const std::string DEFAULT_OPTIONS = "[-RA=RA] [-VA=EVAL] [-LE=GB] [-COMMENT] [-LANDSCAPE] [-NOSUMMARY] [-ROD]";
const std::string POSTFAILD =
    "Molvex-F-POSTFAILD,  The generation of some ROD report has failed. No RDD report generated";

std::string merge(const std::string &rio) { return "Molvex-I-MERGEPOST,  Generating report from " + rio + " file"; }

} // namespace

TEST(PostprocessorRun, WithoutLogMessagesFollowEachRun)
{
    StubPlan plan;
    set_stub_status(plan.dir, "r2.rio", "3");
    const RunResult result = plan.run({"r1.rio", "t.tdc", "r2.rio", "r3.res"});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(lines_after_banner(result.err),
              (Lines{postpro(plan, "r1.rio", "r1.ro", DEFAULT_OPTIONS, "-NOLOG"), merge("r1.rio"),
                     postpro(plan, "r2.rio", "r2.ro", DEFAULT_OPTIONS, "-NOLOG"), merge("r2.rio"),
                     "Molvex-W-MSGENDPOS,  Some scenarios are incorrect",
                     postpro(plan, "r3.res", "r3.res", DEFAULT_OPTIONS, "-NOLOG"), merge("r3.res"),
                     "uml [" + plan.tool_dir + "/zrmuml] [-path] [.] [-name] [zrmrdd.rdd] [-nobanner]",
                     "Molvex-I-ENDNOEWAR,  End of execution with 1 warning(s)"}));
}

TEST(PostprocessorRun, LogAndOptionsAreHandedOn)
{
    StubPlan plan;
    set_stub_status(plan.dir, "r1.rio", "3");
    const RunResult result =
        plan.run({"-LOG", "-RA=TEST", "-VA=NOEVAL", "-LE=FR", "-NOCOMMENT", "-PORTRAIT", "-SUMMARY", "-NORO",
                  "t.tdc", "r1.rio"});
    EXPECT_EQ(result.status, 3);
    const Lines lines = lines_after_banner(result.err);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], merge("r1.rio"));
    EXPECT_EQ(lines[1], postpro(plan, "r1.rio", "r1.ro",
                                "[-RA=TEST] [-VA=NOEVAL] [-LE=GB] [-NOCOMMENT] [-PORTRAIT] [-SUMMARY] [-ROD] [-NORO]",
                                "-LOG"));
    EXPECT_EQ(result.err.find("MSGENDPOS"), std::string::npos);
}

TEST(PostprocessorRun, FailedRunIsRepeatedWithLogThenTheRunEnds)
{
    StubPlan plan;
    set_stub_status(plan.dir, "r1.rio", "2");
    const RunResult result = plan.run({"t.tdc", "r1.rio", "r2.rio", "r3.res"});
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(lines_after_banner(result.err),
              (Lines{postpro(plan, "r1.rio", "r1.ro", DEFAULT_OPTIONS, "-NOLOG"), merge("r1.rio"),
                     postpro(plan, "r1.rio", "r1.ro", DEFAULT_OPTIONS, "-LOG"),
                     postpro(plan, "r2.rio", "r2.ro", DEFAULT_OPTIONS, "-NOLOG"), merge("r2.rio"),
                     postpro(plan, "r3.res", "r3.res", DEFAULT_OPTIONS, "-NOLOG"), merge("r3.res"), POSTFAILD}));
    EXPECT_FALSE(file_exists(plan.dir + "/zrmrdd.rdd"));

    // With -LOG the failed run is not repeated.
    EXPECT_EQ(lines_after_banner(plan.run({"-LOG", "t.tdc", "r1.rio"}).err),
              (Lines{merge("r1.rio"), postpro(plan, "r1.rio", "r1.ro", DEFAULT_OPTIONS, "-LOG"), POSTFAILD}));
}

TEST(PostprocessorRun, MissingToolFailsTheRun)
{
    StubPlan plan;
    plan.tool_dir = make_temp_dir();
    const RunResult result = plan.run({"t.tdc", "r1.rio"});
    EXPECT_EQ(result.status, 7);
    const Lines lines = lines_after_banner(result.err);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[0].starts_with(plan.tool_dir + "/zrmpostpro: cannot start")) << lines[0];
    EXPECT_EQ(lines[1], merge("r1.rio"));
    EXPECT_EQ(lines[3], POSTFAILD);
}

TEST(UmlToolRun, RddNamesAndStartFailure)
{
    StubPlan plan;
    std::system(("mkdir " + plan.dir + "/out").c_str());
    RunResult result = plan.run({"-RDD=report.RDD", "t.tdc", "r1.rio"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(plan.calls().back(), "uml [" + plan.tool_dir + "/zrmuml] [-path] [.] [-name] [report.rdd] [-nobanner]");
    EXPECT_TRUE(file_exists(plan.dir + "/report.RDD"));

    result = plan.run({"-RDD=out/x.rdd", "t.tdc", "r1.rio"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(plan.calls().back(), "uml [" + plan.tool_dir + "/zrmuml] [-path] [out] [-name] [x.rdd] [-nobanner]");

    const std::size_t calls_before = plan.calls().size();
    for (const char *unfit : {"-RDD=report.txt", "-RDD=.rdd"}) {
        result = plan.run({unfit, "t.tdc", "r1.rio"});
        EXPECT_EQ(result.status, 7) << unfit;
        EXPECT_EQ(lines_after_banner(result.err).back(), POSTFAILD) << unfit;
    }
    EXPECT_TRUE(file_exists(plan.dir + "/report.txt"));
    EXPECT_EQ(plan.calls().size(), calls_before + 2); // post-processor runs only

    std::remove((plan.dir + "/zrmuml").c_str());
    result = plan.run({"t.tdc", "r1.rio"});
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(lines_after_banner(result.err).back(), POSTFAILD);
    EXPECT_TRUE(file_exists(plan.dir + "/zrmrdd.rdd"));
}


// The ROD file shared by two RIO files is refused before any run, also
// side by side (verification's table has the plain case).
TEST(PostprocessorRun, RioFilesGivingOneRodFileStopBeforeAnyRun)
{
    StubPlan plan(std::vector<std::string>{});
    std::system(("mkdir " + plan.dir + "/run.v2").c_str());
    plan.rio("run.v2/a", "t");
    plan.rio("run.v2/b", "t");
    const RunResult result = run_zovizeve(
        {"t.tdc", "run.v2/a", "run.v2/b"},
        {.cwd = plan.dir, .env = {{"ZRM_DIR", plan.tool_dir}, {"ZV_JOBS", "4"}, {"LANG", "fr_FR.UTF-8"}}});
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(lines_after_banner(result.err),
              Lines{"Molvex-F-RODNAMDUP,  Les fichiers RIO run.v2/a, run.v2/b donnent tous deux le fichier ROD "
                    "run.rod. Aucun rapport RDD généré"});
    EXPECT_FALSE(file_exists(plan.dir + "/calls"));
}

// The stand-in post-processor copies the report text and counts the FS lines
// whose third field is "1", a doubled quote staying inside its field.
TEST(StandInPostprocessor, CopiesTheReportAndCountsFailedScenarios)
{
    const std::string dir = make_temp_dir();
    write_file(dir + "/t.tdc", "TDC\n");
    const std::string report = "HD \"x\"\n"
                               "FS \"a\"\"\"\"1\" \"5\" \"1\"\r\n"
                               "FS \"1\" \"1\" \"0\"\n"
                               "XX \"1\" \"1\" \"1\"\n"
                               "FS \"b\" \"7\" \"1\"";
    write_file(dir + "/r.rio", "RIO header\n" + report);
    const std::string tool = stage_dir() + "/bin/zrmpostpro";
    RunResult result = run_program(tool, {"r.rio", "r.ro", "-TDC=t.tdc", "-LOG"}, {.cwd = dir});
    EXPECT_EQ(result.status, 3) << result.err;
    EXPECT_EQ(result.out, "zrmpostpro: r.rio with t.tdc -> r.rod, 2 failed scenario(s)\n");
    EXPECT_EQ(read_file(dir + "/r.rod"), report);

    // Copied a buffer at a time: a header longer than a buffer, and an FS
    // line across the end of one.
    const std::string header = "RIO " + std::string(70000, 'h') + "\n";
    const std::string long_report =
        "CO \"" + std::string(131072 - header.size() - 12, 'c') + "\"\nFS \"x\" \"1\" \"1\"\n" + report;
    write_file(dir + "/r.rio", header + long_report);
    result = run_program(tool, {"r.rio", "r.ro", "-TDC=t.tdc", "-LOG"}, {.cwd = dir});
    EXPECT_EQ(result.out, "zrmpostpro: r.rio with t.tdc -> r.rod, 3 failed scenario(s)\n");
    EXPECT_EQ(read_file(dir + "/r.rod"), long_report);

    write_file(dir + "/r.rio", "RIO header only\n");
    result = run_program(tool, {"r.rio", "r.ro", "-TDC=t.tdc", "-NOLOG"}, {.cwd = dir});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "zrmpostpro: RIO file r.rio holds no report lines\n");
    result = run_program(tool, {"r.rio", "r.ro", "-TDC=none.tdc", "-NOLOG"}, {.cwd = dir});
    EXPECT_EQ(result.err, "zrmpostpro: cannot read TDC file none.tdc\n");
}
