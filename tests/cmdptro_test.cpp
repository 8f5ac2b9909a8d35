#include "cmdline.h"
#include "cmdptro.h"
#include "exit_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Decoded {
    bool ok;
    std::string err;
    std::string postpro_options;
    MergeSettings settings;
};

class MergeOptionsTest : public ::testing::Test {
protected:
    void SetUp() override { option_language_init(); }

    Decoded decode(std::vector<std::string> words)
    {
        words.insert(words.begin(), "zovizeve");
        std::vector<char *> argv;
        for (std::string &word : words)
            argv.push_back(word.data());
        Decoded result{};
        result.settings.log = -1;
        ::testing::internal::CaptureStderr();
        result.ok = merge_options_decode(int(argv.size()), argv.data(), result.postpro_options, result.settings);
        result.err = ::testing::internal::GetCapturedStderr();
        return result;
    }

    std::string error_line(std::vector<std::string> words)
    {
        const Decoded result = decode(std::move(words));
        EXPECT_FALSE(result.ok);
        return result.err.substr(0, result.err.find('\n'));
    }
};

TEST_F(MergeOptionsTest, DerivedValuesAndOptionString)
{
    Decoded result = decode({"-RA=t", "-VA=NOEVAL", "-LE=FR", "-NOC", "-PORTRAIT", "-SUMMARY", "-NORO", "-lo", "x"});
    ASSERT_TRUE(result.ok) << result.err;
    EXPECT_EQ(result.postpro_options, "  -RA=TEST -VA=NOEVAL -LE=GB -NOCOMMENT -PORTRAIT -SUMMARY -ROD -NORO");
    EXPECT_EQ(result.settings.log, 1);
    EXPECT_EQ(merge_options().ra, 1);

    result = decode({"-RA=E", "-VA=comb", "-LANDSCAPE", "-NOSUMMARY", "-LO", "x"});
    ASSERT_TRUE(result.ok) << result.err;
    EXPECT_EQ(result.postpro_options, "  -RA=ERR -VA=COMBINE -LE=GB -COMMENT -LANDSCAPE -NOSUMMARY -ROD");
    EXPECT_EQ(merge_options().ra, 2);
    EXPECT_EQ(merge_options().va, 2);
}

TEST_F(MergeOptionsTest, RefusedCommandLines)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-LE=F", "x"}, "Ambiguous value of option, F"},
        {{"-LE=GBR", "x"}, "Arg length too large, GBR"},
        {{"-RDD=a", "-RDD=b", "x"}, "An option can't be used twice, RDD=b"},
        {{"-LOG", "-NOLOG", "x"}, "Illegal combination of command elements, LOG and NOLOG"},
        {{"-PORTRAIT", "-LANDSCAPE", "x"}, "Illegal combination of command elements, LANDSCAPE and PORTRAIT"},
        {{"-RA=a,b", "x"}, "List forbidden invalid option, RA=a,b"},
        {{std::string(1025, 'f')}, "Arg length too large, " + std::string(1025, 'f')},
    };
    for (const auto &[words, text] : cases)
        EXPECT_EQ(error_line(words), "Molvex Command analysis : " + text) << words.front();
}

TEST_F(MergeOptionsTest, ReadingBeforeDecodingIsASystemError)
{
    EXPECT_FALSE(decode({"-BOGUS"}).ok); // refused: the record is not read
    const Ending ending = run_to_end([] { merge_options(); });
    EXPECT_EQ(ending.status, 9);
    EXPECT_EQ(ending.err.rfind("Molvex-S-INITPBRLM,", 0), 0u);
    const Ending reading = run_to_end([] { cmdline_read(0, nullptr); });
    EXPECT_EQ(reading.status, 9);
    EXPECT_EQ(reading.err.rfind("Molvex-S-INITPBRLM,", 0), 0u);
}

} // namespace
