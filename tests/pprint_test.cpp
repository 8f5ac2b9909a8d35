// Output written to a file: every byte arrives whatever the steps of its
// bringing to the disk, and a sync that fails on the way is not lost.
#include "e2e_util.h"
#include "pprint.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace {

std::string read_all(const std::string &path)
{
    std::string text;
    if (FILE *in = std::fopen(path.c_str(), "rb")) {
        char block[65536];
        for (std::size_t got; (got = std::fread(block, 1, sizeof block, in)) > 0;)
            text.append(block, got);
        std::fclose(in);
    }
    return text;
}

// Ten megabytes in pieces of up to a megabyte and a half: small
// adds, numbers, and texts larger than the stream's buffer, across many
// write-back steps.
TEST(OutputBuffer, RegularFileGetsEveryByteAcrossWriteBackSteps)
{
    const std::string dir = make_temp_dir();
    const std::string path = dir + "/out.rdd";
    FILE *out = std::fopen(path.c_str(), "w");
    ASSERT_NE(out, nullptr);
    std::string expected;
    {
        OutputBuffer buffer(out);
        for (int k = 0; k < 12; ++k) {
            const std::string text(std::size_t(k) * 150'000 + 1, char('a' + k));
            buffer.add(text);
            buffer.add_number(-k);
            buffer.add('\n');
            expected += text + "\"" + std::to_string(-k) + "\" \n";
        }
        EXPECT_TRUE(buffer.finish());
    }
    std::fclose(out);
    const std::string written = read_all(path);
    EXPECT_EQ(written.size(), expected.size());
    EXPECT_TRUE(written == expected); // no diff of megabytes

    std::filesystem::remove_all(dir);
}

TEST(DiskWriteBack, FailedSyncIsToldAndPipesPass)
{
    // No such descriptor: the sync fails, on the helper thread.
    DiskWriteBack lost(-1);
    lost.request();
    EXPECT_FALSE(lost.finish());

    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    {
        DiskWriteBack piped(ends[1]);
        piped.request();
        piped.request();
        EXPECT_TRUE(piped.finish());
    }
    close(ends[0]);
    close(ends[1]);

    DiskWriteBack never_asked(-1);
    EXPECT_TRUE(never_asked.finish());
}

} // namespace
