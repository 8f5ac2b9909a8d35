// Lines printed in their written form whatever the spacing they were read
// with; output written to a file: every byte arrives whatever the steps of
// its bringing to the disk, and a sync that fails on the way is not lost.
#include "e2e_util.h"
#include "pprint.h"
#include "rod_text.h"
#include "rodload.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

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

std::string printed(LineId line)
{
    OutputBuffer buffer;
    print_line(buffer, line, false, 0);
    return std::string(buffer.text());
}

// The code and text fields of a line are copied in runs while they lie one
// blank apart: a run must end at a wider gap, at bytes between fields, at a
// number written from its value and at a longer code.
TEST(PrintLine, WrittenFormWhateverTheSpacingRead)
{
    const std::string text = "KORVA Probeworks \"v2.6a\" \"BENCH\" \"ROD file\"\n"
                             "DS \"SC_0\" \"scenario 0\" \"campaign.tds\" \"1\" \"127\" \"300\" \"0\"\n"
                             "DS  \"SC_0\"   \"scenario 0\" \"campaign.tds\"\t\"1\" \"127\" \"300\" \"0\"\n"
                             "DS \"SC_0\"x\"scenario 0\" \"campaign.tds\" \"1\"  \"127\"  \"300\" \"0\"\n"
                             "DS \"SC_0\" \"scenario 0\" \"campaign.tds\" \"1\" \"0127\" \"300\" \"0\"\n"
                             "SN \"BUTTON\" \"PA\"\"NEL\" \"open\" \"2\" \"0\" \"133\" \"1\" \"12\"\n"
                             "SN \"BUTTON\" \"\" \"open\" \"2\" \"0\" \"133\" \"1\" \"12\"\n";
    std::string header;
    std::vector<std::string> lines;
    for (const LineId id : rod_scan_bytes(rodtext::bytes_of(text), text.size(), 1, false, true, header))
        lines.push_back(printed(id));
    model_release();
    const std::string scenario = "DS \"SC_0\" \"scenario 0\" \"campaign.tds\" \"1\" \"127\" \"300\" \"0\" ";
    const std::vector<std::string> expected = {
        scenario + "\"1\" \"1\" \n",
        scenario + "\"1\" \"2\" \n",
        scenario + "\"1\" \"3\" \n",
        scenario + "\"1\" \"4\" \n",
        "SN \"BUTTON\" \"PA\"\"NEL\" \"open\" \"2\" \"0\" \"133\" \"1\" \"12\" \"1\" \"5\" \n",
        "SN \"BUTTON\" \"\" \"open\" \"2\" \"0\" \"133\" \"1\" \"12\" \"1\" \"6\" \n",
    };
    EXPECT_EQ(lines, expected);
}

// Ten megabytes in pieces of up to a megabyte and a half: small
// adds, numbers, and texts larger than the stream's buffer, across many
// write-back steps.
TEST(OutputBuffer, NumbersAsPrintfPrintsThemInQuotes)
{
    OutputBuffer out;
    std::string expected;
    for (const int32_t value : {0, 1, 9, 10, 99, 100, 999, 1000, 1023, 1024, 65535, -1, -1024, INT32_MIN, INT32_MAX}) {
        out.add_number(value);
        expected += "\"" + std::to_string(value) + "\" ";
    }
    for (int32_t value = 0; value < 1100; ++value) {
        out.add_number(value);
        expected += "\"" + std::to_string(value) + "\" ";
    }
    EXPECT_EQ(out.text(), expected);
}

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
