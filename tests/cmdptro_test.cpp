#include "cmdline.h"
#include "cmdptro.h"
#include "cstsyst.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string DEFAULT_OPTIONS = "  -RA=RA -VA=EVAL -LE=GB -COMMENT -LANDSCAPE -NOSUMMARY -ROD";

struct ExitStatus {
    int status;
};

struct Decoded {
    bool ok;
    std::string err;
    std::string postpro_options;
    MergeSettings settings;
};

class MergeOptionsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        set_exit_hook([](int status) { throw ExitStatus{status}; });
        option_language_init();
    }
    void TearDown() override
    {
        set_exit_hook(nullptr);
        merge_option_table().slash_prefix = false;
    }

    std::vector<char *> make_argv(std::vector<std::string> &words)
    {
        words.insert(words.begin(), "zovizeve");
        std::vector<char *> argv;
        for (std::string &word : words)
            argv.push_back(word.data());
        return argv;
    }

    Decoded decode(std::vector<std::string> words)
    {
        std::vector<char *> argv = make_argv(words);
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

    // Decodes, reads the record, and returns the exit status (-1: no exit).
    int read_record(std::vector<std::string> words)
    {
        std::vector<char *> argv = make_argv(words);
        std::string options;
        MergeSettings settings;
        ::testing::internal::CaptureStderr();
        int status = -1;
        try {
            if (merge_options_decode(int(argv.size()), argv.data(), options, settings))
                cmdline_read(int(argv.size()), argv.data());
        } catch (const ExitStatus &exit) {
            status = exit.status;
        }
        last_err = ::testing::internal::GetCapturedStderr();
        return status;
    }

    std::string last_err;
};

TEST_F(MergeOptionsTest, NoOptionsGiveTheDefaultString)
{
    const Decoded result = decode({"a.rio"});
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.postpro_options, DEFAULT_OPTIONS);
    EXPECT_EQ(result.settings.log, 0);
    EXPECT_EQ(result.settings.language, 2);
    const MergeOptions &options = merge_options();
    EXPECT_EQ(options.comment, 1);
    EXPECT_EQ(options.landscape, 1);
    EXPECT_EQ(options.summary_off, 1);
    EXPECT_EQ(options.log, 0);
}

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
        {{"-L", "x"}, "Ambiguous option, L"},
        {{"-NO", "x"}, "Ambiguous option, NO"},
        {{"-LE=F", "x"}, "Ambiguous value of option, F"},
        {{"-LE=GBR", "x"}, "Arg length too large, GBR"},
        {{"-RDD", "x"}, "Mandatory argument for this option, RDD"},
        {{"-RDD=", "x"}, "Mandatory argument for this option, RDD="},
        {{"-LOG=1", "x"}, "No argument for this option, LOG=1"},
        {{"-NOCOMMENT", "-COMMENT", "x"}, "An option can't be used twice, COMMENT"},
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
    EXPECT_EQ(read_record({"-BOGUS"}), -1); // refused: the record is not read
    try {
        ::testing::internal::CaptureStderr();
        merge_options();
        ADD_FAILURE() << "merge_options returned";
    } catch (const ExitStatus &exit) {
        EXPECT_EQ(exit.status, 9);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr().rfind("Molvex-S-INITPBRLM,", 0), 0u);
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(cmdline_read(0, nullptr), ExitStatus);
    ::testing::internal::GetCapturedStderr();
}

TEST_F(MergeOptionsTest, RecordHoldsFilesTimeAndRdd)
{
    ASSERT_EQ(read_record({"a.rio,b.tdc", "-TIME", "c.rio", "-RDD=out/r.rdd", "/abs/d.rio"}), -1) << last_err;
    const CmdLine &record = cmdline_record();
    EXPECT_EQ(record.files, (std::vector<std::string>{"a.rio", "b.tdc", "c.rio", "/abs/d.rio"}));
    EXPECT_TRUE(cmdline_time_requested(record));
    EXPECT_STREQ(cmdline_rdd_name(record), "out/r.rdd");

    ASSERT_EQ(read_record({"a.rio"}), -1);
    EXPECT_FALSE(cmdline_time_requested(cmdline_record()));
    EXPECT_EQ(cmdline_rdd_name(cmdline_record()), nullptr);
}

TEST_F(MergeOptionsTest, SlashOptionsWhenTheTableAcceptsThem)
{
    ASSERT_EQ(read_record({"/LOG"}), -1);
    EXPECT_EQ(cmdline_record().files, std::vector<std::string>{"/LOG"});
    merge_option_table().slash_prefix = true;
    const Decoded result = decode({"/LOG", "x"});
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.settings.log, 1);
}

TEST_F(MergeOptionsTest, AtMostOneThousandFiles)
{
    std::vector<std::string> names;
    for (int i = 0; i < MAX_INPUT_FILES; ++i)
        names.push_back("f" + std::to_string(i) + ".rio");
    ASSERT_EQ(read_record(names), -1);
    EXPECT_EQ(cmdline_record().files.size(), 1000u);
    EXPECT_EQ(cmdline_record().files.back(), "f999.rio");

    names.push_back("one,too,many");
    EXPECT_EQ(read_record(names), 7);
    EXPECT_EQ(last_err.rfind("Molvex-F-TOOMANYFI,", 0), 0u);
}

} // namespace
