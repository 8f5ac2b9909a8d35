// Faults from outside: a full disk, ROD files that go missing or cannot be
// read, an RDD directory without write permission, post-processors that die
// or write nothing. Each ends with its message and status 7 and never
// leaves a partial RDD file: an earlier one stays as it was.
#include "e2e_util.h"
#include "stub_tools.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string EARLIER_RDD = "KORVA Probeworks \"v2.6a\" \"earlier report\" \n";
const std::string NOBODY = "65534";

// Two runs of one script in a directory that every user may use; the tools
// are the stand-ins unless a test writes stubs.
struct Plan {
    std::string dir = make_temp_dir();
    std::string tool_dir = stage_dir() + "/bin";

    Plan()
    {
        fs::permissions(dir, fs::perms::all);
        write_file(dir + "/plan.tdc",
                   korva_header("TDC file", "door_lock") + "CF \"DOORS\" \"door_lock.tds\" \"3.1\" \"B\" \"D\"\n");
        for (const std::string name : {"run1.rio", "run2.rio"})
            write_file(dir + "/" + name, korva_header("RIO file", "door_lock") + example_body("door_lock_" + name));
        write_file(dir + "/zrmrdd.rdd", EARLIER_RDD);
    }
    ~Plan() { fs::remove_all(dir); }

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

    RunOptions options() const
    {
        RunOptions options;
        options.cwd = dir;
        options.env["ZRM_DIR"] = tool_dir;
        return options;
    }
    RunResult run(const std::vector<std::string> &args) { return run_zovizeve(args, options()); }
    // Runs the program through `launcher` started with `launcher_words`.
    RunResult run_via(const std::string &launcher, std::vector<std::string> launcher_words,
                      const std::vector<std::string> &args)
    {
        launcher_words.push_back(zovizeve_path());
        launcher_words.insert(launcher_words.end(), args.begin(), args.end());
        return run_program(launcher, launcher_words, options());
    }
    // File permissions do not hold for root: run as nobody then.
    RunResult run_unprivileged(const std::vector<std::string> &args)
    {
        if (::geteuid() != 0)
            return run(args);
        return run_via("/usr/bin/setpriv", {"--reuid=" + NOBODY, "--regid=" + NOBODY, "--clear-groups"}, args);
    }

    void expect_earlier_rdd_intact()
    {
        EXPECT_EQ(read_file(dir + "/zrmrdd.rdd"), EARLIER_RDD);
        for (const fs::directory_entry &entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            EXPECT_FALSE(name.ends_with(".rdd") && name != "zrmrdd.rdd") << "left behind: " << name;
            EXPECT_EQ(name.find("zrmrdd.rdd."), std::string::npos) << "left behind: " << name;
        }
    }
};

std::string last_line(const std::string &err)
{
    const std::vector<std::string> lines = split_lines(err);
    return lines.empty() ? std::string() : lines.back();
}

const std::vector<std::string> BOTH_RUNS = {"plan.tdc", "run1.rio", "run2.rio"};

} // namespace

TEST(DiskFull, WritingToDevFullIsAnAccessProblem)
{
    Plan plan;
    std::vector<std::string> args = BOTH_RUNS;
    args.push_back("-RDD=/dev/full");
    const RunResult result = plan.run(args);
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(last_line(result.err), "Molvex-F-FICNOTOPN,  File /dev/full access problem");
}

TEST(DiskFull, AFileSizeLimitReachedWhileWritingKeepsTheEarlierRdd)
{
    Plan plan;
    // The ROD files fit in three blocks of 512 bytes; the merged report does not.
    ASSERT_LT(fs::file_size(plan.dir + "/run1.rio"), 1536u);
    const RunResult result = plan.run_via("/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 3; exec \"$0\" \"$@\""}, BOTH_RUNS);
    EXPECT_EQ(result.status, 7) << result.err;
    EXPECT_EQ(last_line(result.err), "Molvex-F-FICNOTOPN,  File zrmrdd.rdd access problem");
    plan.expect_earlier_rdd_intact();
}

TEST(RodFiles, ARodFileThatDisappearsBeforeLoading)
{
    Plan plan;
    plan.postpro_stub("[ \"$1\" = run2.rio ] && rm run1.rod; exit 0");
    const RunResult result = plan.run(BOTH_RUNS);
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(last_line(result.err), "Molvex-F-FICNOTOPN,  File run1.rod access problem");
    plan.expect_earlier_rdd_intact();
}

TEST(RodFiles, APostprocessorThatWritesNoRodFile)
{
    Plan plan;
    plan.postpro_stub("rm \"${out%.*}.rod\"; exit 0");
    const RunResult result = plan.run(BOTH_RUNS);
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(last_line(result.err), "Molvex-F-FICNOTOPN,  File run1.rod access problem");
    plan.expect_earlier_rdd_intact();
}

TEST(RodFiles, AnUnreadableRodFile)
{
    Plan plan;
    plan.postpro_stub("chmod 000 \"${out%.*}.rod\"; exit 0");
    const RunResult result = plan.run_unprivileged(BOTH_RUNS);
    EXPECT_EQ(result.status, 7) << result.err;
    EXPECT_EQ(last_line(result.err), "Molvex-F-FICNOTOPN,  File run1.rod access problem");
    plan.expect_earlier_rdd_intact();
}

TEST(RodFiles, ARodFileThatIsADirectoryCannotBeRead)
{
    Plan plan;
    plan.postpro_stub("rm \"${out%.*}.rod\"; mkdir \"${out%.*}.rod\"; exit 0");
    const RunResult result = plan.run(BOTH_RUNS);
    EXPECT_EQ(result.status, 7) << result.err;
    EXPECT_EQ(last_line(result.err), "Molvex-F-FICNOTOPN,  File run1.rod access problem");
    plan.expect_earlier_rdd_intact();
}

TEST(RddDirectory, WithoutWritePermission)
{
    Plan plan;
    fs::create_directories(plan.dir + "/locked");
    fs::permissions(plan.dir + "/locked", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                              fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    std::vector<std::string> args = BOTH_RUNS;
    args.push_back("-RDD=locked/report.rdd");
    const RunResult result = plan.run_unprivileged(args);
    EXPECT_EQ(result.status, 7) << result.err;
    EXPECT_EQ(last_line(result.err), "Molvex-F-FICNOTOPN,  File locked/report.rdd access problem");
    EXPECT_TRUE(fs::is_empty(plan.dir + "/locked"));
}

TEST(Postprocessor, KilledBySignal)
{
    Plan plan;
    plan.postpro_stub("[ \"$1\" = run1.rio ] && kill -9 $$; exit 0");
    const RunResult result = plan.run(BOTH_RUNS);
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(last_line(result.err),
              "Molvex-F-POSTFAILD,  The generation of some ROD report has failed. No RDD report generated");
    plan.expect_earlier_rdd_intact();
}
