#include "cmdline.h"
#include "cmdptro.h"
#include "cstsyst.h"
#include "exec.h"
#include "fct_sys.h"
#include "i18n_zrm_msg.h"
#include "stub_tools.h"
#include "veriftr.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

namespace {

struct ProcessEnded {
    int status;
};

void throw_on_exit(int status) { throw ProcessEnded{status}; }

using Words = std::vector<std::string>;

constexpr const char *OPTIONS = "  -RA=RA -VA=EVAL -LE=GB -COMMENT -LANDSCAPE -NOSUMMARY -ROD";

std::string read_text(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class Runner : public ::testing::Test {
protected:
    std::string dir;
    int ended = -1;

    void SetUp() override
    {
        catalog_fill();
        set_exit_hook(throw_on_exit);
        char pattern[] = "/tmp/exec.XXXXXX";
        dir = mkdtemp(pattern);
        postpro_status3_count = 0;
    }
    void TearDown() override
    {
        set_exit_hook(nullptr);
        std::system(("rm -rf " + dir).c_str());
    }
    std::string file(const std::string &name, const std::string &content)
    {
        std::ofstream(dir + "/" + name) << content;
        return dir + "/" + name;
    }
    // Files named by their base names, each pairing on the script given.
    void pair(const std::vector<std::pair<std::string, std::string>> &files)
    {
        Words names;
        for (const auto &[name, script] : files) {
            const char *kind = name.ends_with(".tdc") ? "TDC file" : "RIO file";
            names.push_back(file(name, "KORVA Probeworks \"" + std::string(kind) + "\" \"" + script +
                                           "\"\nCF \"P\" \"s\" \"1\" \"B\" \"D\"\n"));
        }
        cmdline_record().files = names;
        testing::internal::CaptureStderr();
        verify_input_files();
        testing::internal::GetCapturedStderr();
    }
    std::string postprocess(int log)
    {
        MergeSettings settings;
        settings.log = log;
        testing::internal::CaptureStderr();
        try {
            run_postprocessors(dir, OPTIONS, settings);
        } catch (const ProcessEnded &end) {
            ended = end.status;
        }
        return testing::internal::GetCapturedStderr();
    }
    std::string uml(const char *rdd_name)
    {
        testing::internal::CaptureStderr();
        try {
            run_uml_tool(rdd_name, dir);
        } catch (const ProcessEnded &end) {
            ended = end.status;
        }
        return testing::internal::GetCapturedStderr();
    }
    std::string run_line(const std::string &rio, const std::string &tdc, const char *log_word)
    {
        return "postpro [" + dir + "/zrmpostpro] [" + dir + "/" + rio + "] [" + dir + "/" +
               postpro_output_argument(rio) + "] [-RA=RA] [-VA=EVAL] [-LE=GB] [-COMMENT] [-LANDSCAPE] "
               "[-NOSUMMARY] [-ROD] [-TDC=" + dir + "/" + tdc + "] [" + log_word + "]\n";
    }
    std::string merge_line(const std::string &rio)
    {
        return "Molvex-I-MERGEPOST,  Generating report from " + dir + "/" + rio + " file\n";
    }
};

const std::string POSTFAILD =
    "Molvex-F-POSTFAILD,  The generation of some ROD report has failed. No RDD report generated\n";

} // namespace

TEST(Names, RodFileAndOutputArgumentFollowTheLastDot)
{
    struct Case {
        const char *rio, *rod, *output;
    };
    for (const Case &c : {Case{"run1.rio", "run1.rod", "run1.ro"}, Case{"run1.res", "run1.rod", "run1.res"},
                          Case{"run1", "run1.rod", "run1"}, Case{"dir.v2/run1", "dir.rod", "dir.v2/run1"},
                          Case{"run1.rio2", "run1.rod", "run1.ro"}, Case{"RUN1.RIO", "RUN1.rod", "RUN1.RIO"},
                          Case{"d/run.1.rio", "d/run.1.rod", "d/run.1.ro"}}) {
        EXPECT_EQ(rod_file_name(c.rio), c.rod) << c.rio;
        EXPECT_EQ(postpro_output_argument(c.rio), c.output) << c.rio;
    }
}

TEST(Names, PathHelpers)
{
    EXPECT_EQ(last_char_pos("a.b.c", 5, '.'), 3u);
    EXPECT_EQ(last_char_pos("a.b.c", 3, '.'), 1u);
    EXPECT_EQ(last_char_pos("abc", 99, '.'), std::string_view::npos);
    EXPECT_FALSE(split_path(nullptr));
    EXPECT_EQ(split_path("report.RDD")->directory, ".");
    EXPECT_EQ(split_path("out/sub/x.rdd")->directory, "out/sub");
    EXPECT_EQ(split_path("out/sub/x.rdd")->file, "x.rdd");
    EXPECT_EQ(uml_file_name("report.RDD"), "report.rdd");
    EXPECT_EQ(uml_file_name("x.rdd"), "x.rdd");
    for (const char *unfit : {".rdd", "report.txt", "report.Rdd", "rdd"})
        EXPECT_EQ(uml_file_name(unfit), "") << unfit;
}

TEST(CommandTexts, WindowsInterpreterLines)
{
    const std::string options = postpro_option_text(OPTIONS, "plan.tdc");
    EXPECT_EQ(options, std::string(OPTIONS) + " -TDC=\"plan.tdc\"");
    EXPECT_EQ(postpro_executable_text("D:\\kit"), "D:\\kit\\zrmpostpro.exe");
    EXPECT_EQ(postpro_command_text("D:\\kit\\ZRMPOS~1.EXE", "run1.rio", "run1.ro", options, false),
              "\"\"D:\\kit\\ZRMPOS~1.EXE\" \"run1.rio\" \"run1.ro\"   -RA=RA -VA=EVAL -LE=GB -COMMENT -LANDSCAPE "
              "-NOSUMMARY -ROD -TDC=\"plan.tdc\" -NOLOG\"");
    EXPECT_TRUE(postpro_command_text("e", "r", "o", "x", true).ends_with(" x -LOG\""));
    EXPECT_EQ(uml_executable_text("D:\\kit"), "D:\\kit\\zrmuml.exe");
    EXPECT_EQ(uml_command_text("D:\\kit\\zrmuml.exe", "C:\\out", "report.rdd"),
              "\"\"D:\\kit\\zrmuml.exe\" -path \"C:\\out\" -name \"report.rdd\" -nobanner \"");
}

TEST(CommandTexts, PosixArgumentVectors)
{
    EXPECT_EQ(postpro_arguments("/kit", "my run.rio", "my run.ro", OPTIONS, "the plan.tdc", false),
              (Words{"/kit/zrmpostpro", "my run.rio", "my run.ro", "-RA=RA", "-VA=EVAL", "-LE=GB", "-COMMENT",
                     "-LANDSCAPE", "-NOSUMMARY", "-ROD", "-TDC=the plan.tdc", "-NOLOG"}));
    EXPECT_EQ(postpro_arguments("k", "r", "o", "", "t", true), (Words{"k/zrmpostpro", "r", "o", "-TDC=t", "-LOG"}));
    EXPECT_EQ(uml_arguments("/kit", ".", "x.rdd"), (Words{"/kit/zrmuml", "-path", ".", "-name", "x.rdd", "-nobanner"}));
}

TEST_F(Runner, ToolStatusesSignalsAndStartFailures)
{
    write_script(dir + "/five", "exit 5\n");
    write_script(dir + "/killed", "kill -9 $$\n");
    std::ofstream(dir + "/plain") << "exit 0\n";
    EXPECT_EQ(run_tool({dir + "/five"}), 5);
    EXPECT_EQ(run_tool({dir + "/killed"}), 128 + 9);
    testing::internal::CaptureStderr();
    EXPECT_EQ(run_tool({dir + "/missing"}), -1);
    EXPECT_EQ(run_tool({dir + "/plain"}), -1); // not executable
    EXPECT_NE(testing::internal::GetCapturedStderr().find(dir + "/missing: cannot start"), std::string::npos);
}

TEST_F(Runner, RunsPerTdcInOrderAndNamesTheRodFiles)
{
    write_stub_postpro(dir);
    pair({{"b.rio", "b"}, {"a.tdc", "a"}, {"a.rio", "a"}, {"b.tdc", "b"}, {"a2.rio", "a"}});
    const std::string err = postprocess(0);
    EXPECT_EQ(ended, -1);
    EXPECT_EQ(err, run_line("a.rio", "a.tdc", "-NOLOG") + merge_line("a.rio") + run_line("a2.rio", "a.tdc", "-NOLOG") +
                       merge_line("a2.rio") + run_line("b.rio", "b.tdc", "-NOLOG") + merge_line("b.rio"));
    EXPECT_EQ(rod_name(0), dir + "/b.rod");
    EXPECT_EQ(rod_name(1), dir + "/a.rod");
    EXPECT_EQ(rod_name(2), dir + "/a2.rod");
    EXPECT_EQ(rod_name(3), "");
    EXPECT_EQ(rod_name(1000), "");
    EXPECT_EQ(postpro_status3_count, 0u);
}

TEST_F(Runner, StatusThreeCountsAndWarnsOnlyWithoutLog)
{
    write_stub_postpro(dir);
    set_stub_status(dir, "a.rio", "3");
    pair({{"a.tdc", "a"}, {"a.rio", "a"}, {"a2.rio", "a"}});
    EXPECT_EQ(postprocess(0), run_line("a.rio", "a.tdc", "-NOLOG") + merge_line("a.rio") +
                                  "Molvex-W-MSGENDPOS,  Some scenarios are incorrect\n" +
                                  run_line("a2.rio", "a.tdc", "-NOLOG") + merge_line("a2.rio"));
    EXPECT_EQ(postprocess(1), merge_line("a.rio") + run_line("a.rio", "a.tdc", "-LOG") + merge_line("a2.rio") +
                                  run_line("a2.rio", "a.tdc", "-LOG"));
    EXPECT_EQ(ended, -1);
    EXPECT_EQ(postpro_status3_count, 2u);
}

TEST_F(Runner, FailedRunIsShownAgainWithLogAndTheOthersStillRun)
{
    write_stub_postpro(dir);
    set_stub_status(dir, "a.rio", "1");
    set_stub_status(dir, "c.rio", "kill");
    pair({{"a.tdc", "a"}, {"a.rio", "a"}, {"b.rio", "a"}, {"c.rio", "a"}});
    EXPECT_EQ(postprocess(0), run_line("a.rio", "a.tdc", "-NOLOG") + merge_line("a.rio") +
                                  run_line("a.rio", "a.tdc", "-LOG") + run_line("b.rio", "a.tdc", "-NOLOG") +
                                  merge_line("b.rio") + run_line("c.rio", "a.tdc", "-NOLOG") + merge_line("c.rio") +
                                  run_line("c.rio", "a.tdc", "-LOG") + POSTFAILD);
    EXPECT_EQ(ended, 7);
    ended = -1;
    // With -LOG the failed run is not repeated.
    EXPECT_EQ(postprocess(1), merge_line("a.rio") + run_line("a.rio", "a.tdc", "-LOG") + merge_line("b.rio") +
                                  run_line("b.rio", "a.tdc", "-LOG") + merge_line("c.rio") +
                                  run_line("c.rio", "a.tdc", "-LOG") + POSTFAILD);
    EXPECT_EQ(ended, 7);
}

TEST_F(Runner, MissingPostprocessorFailsEveryRun)
{
    pair({{"a.tdc", "a"}, {"a.rio", "a"}});
    const std::string err = postprocess(0);
    EXPECT_EQ(ended, 7);
    EXPECT_TRUE(err.starts_with(dir + "/zrmpostpro: cannot start")) << err;
    EXPECT_TRUE(err.ends_with(POSTFAILD)) << err;
}

TEST_F(Runner, UmlToolGetsDirectoryAndLowerCaseExtension)
{
    write_stub_uml(dir, 1);
    EXPECT_EQ(uml("report.RDD"), "uml [" + dir + "/zrmuml] [-path] [.] [-name] [report.rdd] [-nobanner]\n");
    EXPECT_EQ(uml("out/x.rdd"), "uml [" + dir + "/zrmuml] [-path] [out] [-name] [x.rdd] [-nobanner]\n");
    EXPECT_EQ(ended, -1); // any status of the tool is accepted
    EXPECT_EQ(uml("report.txt"), POSTFAILD);
    EXPECT_EQ(uml(".rdd"), POSTFAILD);
    EXPECT_EQ(read_text(dir + "/calls").find("report.txt"), std::string::npos);
    std::remove((dir + "/zrmuml").c_str());
    ended = -1;
    EXPECT_TRUE(uml("report.rdd").ends_with(POSTFAILD));
    EXPECT_EQ(ended, 7);
}
