// Memory exhaustion injected at every allocation of the engine, in both
// modes: every failure ends with the fatal text and status 7, never a crash.
#include "cstsyst.h"
#include "exec.h"
#include "i18n_zrm_msg.h"
#include "rodload.h"
#include "rodprd.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The report text of an example RIO file: the file without its first line.
std::string example_rod(const std::string &rio_name)
{
    std::ifstream in(std::string(ZV_SOURCE_DIR) + "/examples/" + rio_name, std::ios::binary);
    std::string first_line;
    std::getline(in, first_line);
    std::ostringstream rest;
    rest << in.rdbuf();
    return rest.str();
}

[[noreturn]] void merge_and_write(bool time_mode)
{
    const MergedReport report = rod_load_all(time_mode);
    FILE *out = std::fopen("/dev/null", "w");
    const bool written = write_rdd_lines(out, "H", report.tree, report.time_offset);
    std::exit(written ? 0 : 1);
}

TEST(Robustness, MemoryExhaustionAnywhereInTheEngineIsAFatalMallocError)
{
    catalog_fill();
    clear_pair_tables();
    const fs::path dir = fs::temp_directory_path() / ("robustness_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const char *runs[] = {"door_open_run1.rio", "door_open_run2.rio", "door_lock_run1.rio"};
    for (int slot = 0; slot < 3; ++slot) {
        const fs::path rod = dir / ("run" + std::to_string(slot) + ".rod");
        std::ofstream(rod, std::ios::binary) << example_rod(runs[slot]);
        set_rod_name(slot * 2, rod.string());
    }
    for (const bool time_mode : {false, true}) {
        long n = 0;
        for (;; n = n ? n * 2 : 1) {
            ASSERT_LT(n, 1L << 24) << "the merge never got through";
            ::testing::internal::CaptureStderr();
            const pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                set_allocation_failure_after(n);
                merge_and_write(time_mode);
            }
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            const std::string err = ::testing::internal::GetCapturedStderr();
            ASSERT_TRUE(WIFEXITED(status)) << "allocation " << n << " ended by a signal:\n" << err;
            if (WEXITSTATUS(status) == 0)
                break;
            EXPECT_EQ(WEXITSTATUS(status), 7) << "allocation " << n;
            EXPECT_TRUE(err.starts_with("FATAL ERROR on malloc,\n Please contact your administrative.\n"))
                << "allocation " << n << ":\n" << err;
        }
        EXPECT_GT(n, 2) << "time mode " << time_mode;
    }
    clear_pair_tables();
    fs::remove_all(dir);
}

} // namespace
