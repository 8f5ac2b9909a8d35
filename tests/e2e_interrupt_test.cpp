// A merge interrupted while it writes a report of tens of MB: SIGINT,
// SIGTERM and SIGKILL each leave the earlier RDD file byte for byte, with
// its mode, and nothing else new in its directory; SIGINT and SIGTERM end
// the run as they would have ended it.
#include "e2e_util.h"
#include "rodgen.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int FILES = 4;
constexpr std::size_t BYTES_PER_FILE = 12'000'000;

// The TDC, RIO and ROD files of a generated campaign in `dir` (the ROD
// files in place, for idle sibling tools); returns the run's arguments.
std::vector<std::string> write_campaign(const std::string &dir)
{
    GenParams params;
    params.files = FILES;
    params.bytes_per_file = BYTES_PER_FILE;
    write_file(dir + "/" + gen_tdc_name(), gen_tdc_text());
    std::vector<std::string> args{gen_tdc_name()};
    for (int file = 0; file < FILES; ++file) {
        const std::string rio = gen_rio_name(file);
        write_file(dir + "/" + rio, gen_rio_text(params, file));
        write_file(dir + "/" + rio.substr(0, rio.rfind('.')) + ".rod", gen_rod_text(params, file));
        args.push_back(rio);
    }
    args.push_back("-RDD=out.rdd");
    return args;
}

// Waits until process `pid` holds a report file of at least `bytes` that is
// to replace `target`: unnamed ("DIR/#N (deleted)") or named "TARGET.XXXXXX".
// False when the process ended first.
bool wait_for_report_write(pid_t pid, const std::string &target, off_t bytes)
{
    const std::string dir = target.substr(0, target.rfind('/') + 1);
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (siginfo_t info{}; ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && !info.si_pid;) {
        std::error_code error;
        for (const auto &entry : fs::directory_iterator(fds, error)) {
            const std::string file = fs::read_symlink(entry.path(), error).string();
            if (!file.starts_with(dir + "#") && !file.starts_with(target + "."))
                continue;
            struct stat status {};
            if (::stat(entry.path().c_str(), &status) == 0 && status.st_size >= bytes)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return false;
}

} // namespace

TEST(InterruptedWrite, LeavesTheEarlierReportWholeAndNothingElse)
{
    const std::string dir = fs::canonical(make_temp_dir()).string();
    const std::string tools = make_idle_tool_dir(make_temp_dir());
    const std::vector<std::string> args = write_campaign(dir);
    const std::string target = dir + "/out.rdd";
    const std::string earlier = "KORVA Probeworks \"v2.6a\" \"BENCH\" \"RDD file\" \"an earlier run\" \n";
    write_file(target, earlier);
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const std::vector<std::string> before = directory_names(dir);

    for (const int signal : {SIGINT, SIGTERM, SIGKILL}) {
        const StartedProgram started = start_program(zovizeve_path(), args, {.cwd = dir, .env = {{"ZRM_DIR", tools}}});
        const bool writing = wait_for_report_write(started.pid, target, 1 << 20);
        if (writing)
            ::kill(started.pid, signal);
        const RunResult result = finish_program(started);
        ASSERT_TRUE(writing) << "the run ended before its report was seen being written: " << result.status << "\n"
                             << result.err;
        EXPECT_EQ(result.status, 128 + signal) << result.err;
        EXPECT_EQ(read_file(target), earlier) << signal;
        EXPECT_EQ(fs::status(target).permissions(),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        EXPECT_EQ(directory_names(dir), before) << signal;
    }
    fs::remove_all(dir);
    fs::remove_all(tools);
}
