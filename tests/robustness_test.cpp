// Regressions of fuzzing findings and memory exhaustion injected into the
// engine: every failure ends with a fatal text and status 7, never a crash.
#include "cstsyst.h"
#include "exec.h"
#include "i18n_zrm_msg.h"
#include "objet.h"
#include "rodbase.h"
#include "rodload.h"
#include "rodprd.h"
#include "rodtri.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class Robustness : public ::testing::Test {
protected:
    void SetUp() override
    {
        catalog_fill();
        keywords_init();
        time_key_init();
        clear_pair_tables();
        dir_ = fs::temp_directory_path() /
               ("robustness_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override
    {
        set_allocation_failure_after(-1);
        clear_pair_tables();
        fs::remove_all(dir_);
    }

    std::string write(const std::string &name, const std::string &content)
    {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }

    // The report text of the example run files, as the post-processor
    // stand-in makes it: the RIO file without its first line.
    std::string example_rod(const std::string &rio_name)
    {
        std::ifstream in(std::string(ZV_SOURCE_DIR) + "/examples/" + rio_name, std::ios::binary);
        std::string first_line;
        std::getline(in, first_line);
        std::ostringstream rest;
        rest << in.rdbuf();
        return rest.str();
    }

    fs::path dir_;
};

Objet *header_maker(Objet *header_lines, Objet *report)
{
    Objet *result = list1(list1(str_new("KORVA Probeworks", 16)));
    list_append(result, report);
    cell_release_contents(header_lines);
    obj_free_one(header_lines);
    return result;
}

// Loads, merges and writes the ROD files of the table, as the driver does.
void merge_and_write(bool time_mode)
{
    Objet *report = rod_load_all(time_mode, header_maker);
    Objet *stream = obj_new(OBJ_STREAM);
    stream->link.stream = std::fopen("/dev/null", "w");
    number_repeated_names(stream, report);
    if (!write_rdd_lines(stream, report))
        std::exit(1);
    stream_close(stream);
    obj_free(stream);
    obj_free(report);
    std::exit(0);
}

TEST_F(Robustness, NulByteInARodLineEndsTheRunInsteadOfCuttingTheLine)
{
    // Found by fuzzing: the printer stops at a NUL, so the RDD line was cut.
    set_rod_name(0, write("nul.rod", std::string("KORVA Probeworks \"v2.6a\" \"P\"\nCH \"sta\0te\" \"1\"\n", 45)));
    EXPECT_EXIT(merge_and_write(false), ::testing::ExitedWithCode(7), "Unexpected end of file");
}

TEST_F(Robustness, ReadErrorOnARodFileIsAnAccessProblem)
{
    const fs::path directory = dir_ / "run1.rod";
    fs::create_directories(directory);
    set_rod_name(0, directory.string());
    EXPECT_EXIT(merge_and_write(false), ::testing::ExitedWithCode(7), "File .*run1.rod access problem");
}

TEST_F(Robustness, ResourceTrackerSeesEveryBlockHandedOutAndReleased)
{
    static long live = 0;
    set_resource_tracker({[](void *) { ++live; }, [](void *) { --live; }, nullptr, nullptr});
    void *block = xmalloc(4);
    EXPECT_EQ(live, 1);
    void *grown = xrealloc(block, 64); // the old block is released, the new one handed out
    EXPECT_EQ(live, 1);
    char *copy = xstrdup("text");
    EXPECT_EQ(live, 2);
    xfree(copy);
    xfree(grown);
    EXPECT_EQ(live, 0);
    set_resource_tracker({});
}

// Memory running out at the n-th allocation of a two-file merge, for n
// spread over the whole run (doubling until the run gets through).
TEST_F(Robustness, MemoryExhaustionAnywhereInTheEngineIsAFatalMallocError)
{
    set_rod_name(0, write("run1.rod", example_rod("door_open_run1.rio")));
    set_rod_name(2, write("run3.rod", example_rod("door_open_run2.rio")));
    for (const bool time_mode : {false, true}) {
        long n = 0;
        for (;; n = n ? n * 2 : 1) {
            ASSERT_LT(n, 1L << 24) << "the merge never got through";
            ::testing::internal::CaptureStderr();
            pid_t child = fork();
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
            EXPECT_TRUE(err.starts_with("FATAL ERROR on malloc,\n Please contact your administrative.\n") ||
                        err.starts_with("FATAL ERROR on strdup,\n Please contact your administrative.\n"))
                << "allocation " << n << ":\n" << err;
        }
        EXPECT_GT(n, 64) << "time mode " << time_mode;
    }
}

} // namespace
