// Input verification through the program: messages, their order, and that
// no post-processor is started after a fatal one.
#include "e2e_util.h"
#include "stub_tools.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

} // namespace

TEST(VerificationRun, FatalMessagesStopBeforeAnyTool)
{
    StubPlan plan(std::vector<std::string>{});
    plan.tdc("a");
    plan.rio("a.rio", "a");
    plan.rio("a.RIO", "a");
    plan.rio("x.rio", "x");
    write_file(plan.dir + "/empty.rio", "");
    write_file(plan.dir + "/late.rio", "first\nKORVA Probeworks RIO file\n");
    write_file(plan.dir + "/kindless.rio", "KORVA Probeworks\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"a.tdc", "missing.rio"}, "Molvex-F-FICNOTOPN,  File missing.rio access problem"},
        {{"a.tdc", "empty.rio"}, "Molvex-F-UNEXPTEOF,  Unexpected end of file"},
        {{"a.tdc", "late.rio"}, "Molvex-F-NORIOTDCF,  The late.rio file is not an RIO file"},
        {{"a.tdc", "kindless.rio"}, "Molvex-F-UNKKORVAF,  The kindless.rio file is not a TDC file neither a RIO one"},
        {{"a.tdc"}, "Molvex-F-NEEDRIOFI,  At least one RIO file should be on the command line"},
        {{"a.rio"}, "Molvex-F-NEEDTDCFI,  At least one TDC file should be on the command line"},
        {{"a.tdc,a.rio", "x.rio"}, "Molvex-F-NOTDCFRIO,  No TDC file match this x.rio RIO file"},
        {{"a.tdc", "a.rio", "a.tdc"}, "Molvex-F-MULTITDCS,  This a.rio RIO file match two or more TDC files"},
        // The second post-processor run would overwrite the first one's ROD file.
        {{"a.tdc", "a.rio", "a.RIO"},
         "Molvex-F-RODNAMDUP,  The RIO files a.rio, a.RIO both give the ROD file a.rod. No RDD report generated"},
    };
    for (const auto &[args, message] : cases) {
        const RunResult result = plan.run(args);
        EXPECT_EQ(result.status, 7) << message;
        EXPECT_TRUE(split_lines(result.err).at(0).starts_with("Molvex-I-STARTEXEC")) << message;
        EXPECT_EQ(lines_after_banner(result.err), Lines{message});
    }
    EXPECT_FALSE(file_exists(plan.dir + "/calls"));
}

TEST(VerificationRun, WarningOfAnEarlierTdcComesBeforeMultipleMatches)
{
    StubPlan plan(std::vector<std::string>{});
    plan.tdc("lonely");
    plan.tdc("a");
    plan.tdc("b");
    plan.rio("b.rio", "b");
    plan.rio("a.rio", "a");
    const RunResult result = plan.run({"lonely.tdc", "b.tdc", "a.tdc", "a.tdc", "b.rio", "a.rio"});
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(lines_after_banner(result.err), (Lines{"Molvex-W-NORIOFTDC,  No RIO file match this lonely.tdc TDC file",
                                          "Molvex-F-MULTITDCS,  This a.rio RIO file match two or more TDC files"}));
}

TEST(VerificationRun, WarningsAndPlanDifferencesLetTheRunGoOn)
{
    StubPlan plan(std::vector<std::string>{});
    plan.tdc("a");
    plan.tdc("b", "2");
    plan.tdc("c", "3");
    plan.tdc("lonely");
    plan.rio("a.rio", "a");
    plan.rio("b.rio", "b");
    plan.rio("c.rio", "c");
    const RunResult result = plan.run({"b.rio,lonely.tdc", "a.tdc", "a.rio", "b.tdc", "c.tdc,c.rio"});
    EXPECT_EQ(result.status, 0) << result.err;
    const Lines lines = lines_after_banner(result.err);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Molvex-W-NORIOFTDC,  No RIO file match this lonely.tdc TDC file");
    EXPECT_EQ(lines[1], "Molvex-I-FILESDIFF,  Reports comes from different test plans");
    EXPECT_EQ(lines.back(), "Molvex-I-ENDNOENWR,  End of execution without errors or warnings");
    // TDC files in command-line order, each with its RIO files.
    const Lines calls = plan.calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_NE(calls[0].find("[a.rio] [a.ro]"), std::string::npos);
    EXPECT_NE(calls[1].find("[b.rio] [b.ro]"), std::string::npos);
    EXPECT_NE(calls[2].find("[c.rio] [c.ro]"), std::string::npos);
    EXPECT_TRUE(calls[3].starts_with("uml "));
}
