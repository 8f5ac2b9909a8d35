// Replacing files: the target changes only when the new file is complete,
// keeps its mode, and no ending of the process leaves a file behind, with
// unnamed files and with the named fallback.
#include "cstsyst.h"
#include "e2e_util.h"
#include "replfile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class Replacing : public ::testing::TestWithParam<bool> {
protected:
    std::string dir = make_temp_dir();
    std::string target = dir + "/report.rdd";

    void SetUp() override { replacing_use_unnamed_files(GetParam()); }
    void TearDown() override
    {
        replacing_use_unnamed_files(true);
        fs::remove_all(dir);
    }
    bool replace(const std::string &text, bool commit = true)
    {
        ReplacingFile file;
        std::string error;
        const bool written = replacing_open(file, target, error) && write_all(file.fd, text);
        EXPECT_TRUE(written) << error;
        return written && (!commit || replacing_commit(file, error));
    }
    fs::perms mode() const { return fs::status(target).permissions(); }
    // The wait status of a child ended by `ending` while it writes.
    template <typename Ending> int end_while_writing(Ending ending)
    {
        const pid_t child = fork();
        if (child == 0) {
            ReplacingFile file;
            std::string error;
            if (!replacing_open(file, target, error) || !write_all(file.fd, std::string(100000, 'x')))
                _exit(100);
            ending();
            _exit(101);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return status;
    }
};

TEST_P(Replacing, TargetChangesOnlyWhenCommittedAndKeepsItsMode)
{
    const mode_t mask = ::umask(022);
    ASSERT_TRUE(replace("first\n"));
    EXPECT_EQ(read_file(target), "first\n");
    EXPECT_EQ(mode(), fs::perms(0644));
    fs::permissions(target, fs::perms(0600));
    ASSERT_TRUE(replace("second\n"));
    EXPECT_EQ(read_file(target), "second\n");
    EXPECT_EQ(mode(), fs::perms(0600));
    ASSERT_TRUE(replace("abandoned\n", false));
    EXPECT_EQ(read_file(target), "second\n");
    EXPECT_EQ(directory_names(dir), std::vector<std::string>{"report.rdd"});
    ::umask(mask);
}

// Interrupted, ended by a fatal error or by SIGKILL, a write leaves the
// earlier target byte for byte and nothing else; a signal ends the process
// as it would have.
TEST_P(Replacing, NoEndingLeavesAFileBehind)
{
    write_file(target, "earlier\n");
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        const int status = end_while_writing([signal] { ::raise(signal); });
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal << ": status " << status;
        EXPECT_EQ(directory_names(dir), std::vector<std::string>{"report.rdd"}) << signal;
    }
    const int fatal = end_while_writing([] { fatal_out_of_memory(); });
    EXPECT_TRUE(WIFEXITED(fatal) && WEXITSTATUS(fatal) == 7) << fatal;
    EXPECT_EQ(directory_names(dir), std::vector<std::string>{"report.rdd"});
    if (GetParam()) { // only a file without a name survives this
        const int killed = end_while_writing([] { ::raise(SIGKILL); });
        EXPECT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL);
        EXPECT_EQ(directory_names(dir), std::vector<std::string>{"report.rdd"});
    }
    EXPECT_EQ(read_file(target), "earlier\n");
}

INSTANTIATE_TEST_SUITE_P(UnnamedAndNamed, Replacing, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Unnamed" : "Named"; });

} // namespace
