#include "gcmdec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char *const USAGE = "\nUsage T:\n\t<input>\n\t[-QUIET]\n\t[-XTRACE]\n";

CmdNames names(std::string_view name) { return {name, name, name}; }

ArgumentDesc argument(CmdNames argument_names, char type, char list, int min, int max, bool optional = false)
{
    return {argument_names, type, list, min, max, optional, {}};
}

OptionDesc option(CmdNames option_names, std::optional<ArgumentDesc> arg = std::nullopt, bool required = false)
{
    OptionDesc desc;
    desc.names = option_names;
    desc.argument = std::move(arg);
    desc.argument_required = required;
    return desc;
}

const OptionDesc *find(const CmdTable &table, std::string_view name)
{
    for (const OptionDesc &desc : table.options)
        if (desc.names[2] == name)
            return &desc;
    return nullptr;
}

std::vector<CombinationRule> rules(const CmdTable &table)
{
    return {
        {CMD_OPTION, find(table, "QUIET"), CMD_OPTION, find(table, "NOISE")},
        {CMD_VALUE, &table.options[0].values[0], CMD_ARGUMENT, &table.positionals[1]},
        {CMD_OPTION, find(table, "QUICK"), -CMD_ARGUMENT, &table.positionals[1]},
    };
}

// Positions: MODE 1, LEVEL 2, TAGS 3, VERBOSE 4, QUIET 5, QUICK 6, NOISE 7,
// SIZE 8, SILENT 9, TAG 10.
CmdTable make_table()
{
    CmdTable table;
    table.usage = {USAGE, USAGE, USAGE};
    OptionDesc mode = option({"MODUS", "MODUS", "MODE"}, argument(names("mode_type"), 'C', 'N', 1, 5), true);
    mode.values = {{{"RAPIDE", "RAPIDE", "FAST"}}, {names("FULL")}, {names("TEST")}};
    mode.default_on = true;
    mode.default_value = 2;
    OptionDesc verbose = option(names("VERBOSE"));
    verbose.negatable = verbose.default_on = true;
    OptionDesc silent = option(names("SILENT"));
    silent.negatable = true;
    table.options = {mode,
                     option(names("LEVEL"), argument(names("level"), 'I', 'N', 1, 9), true),
                     option(names("TAGS"), argument(names("tag"), 'C', 'Y', 1, 4), true),
                     verbose,
                     option(names("QUIET")),
                     option(names("QUICK")),
                     option(names("NOISE")),
                     option(names("SIZE"), argument(names("size"), 'L', 'N', -5, 100000)),
                     silent,
                     option(names("TAG"))};
    table.positionals = {argument({"entree", "entree", "input"}, 'C', 'N', 1, 8),
                         argument(names("outputs"), 'C', 'Y', 1, 8, true)};
    table.combination_rules = rules;
    return table;
}

struct Decoded {
    int status;
    std::string err;
};

class Decoder : public ::testing::Test {
protected:
    CmdTable table = make_table();

    Decoded decode(std::vector<std::string> words)
    {
        cmd_use_table(table);
        words.insert(words.begin(), "prog");
        std::vector<char *> argv;
        for (std::string &word : words)
            argv.push_back(word.data());
        ::testing::internal::CaptureStderr();
        const int status = cmd_decode(int(argv.size()), argv.data());
        return {status, ::testing::internal::GetCapturedStderr()};
    }

    std::string first_error_line(std::vector<std::string> words)
    {
        const Decoded result = decode(std::move(words));
        EXPECT_EQ(result.status, -1);
        return result.err.substr(0, result.err.find('\n'));
    }

    std::vector<std::string> values(const ArgumentDesc &desc)
    {
        std::vector<std::string> texts;
        for (const ValueCell &cell : desc.given)
            texts.push_back(cell.text);
        return texts;
    }
};

TEST_F(Decoder, ErrorLineCarriesUsageWithoutHiddenOptions)
{
    const Decoded result = decode({"-BOGUS", "x"});
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(result.err, "Molvex Command analysis : Unknown option, BOGUS\nUsage T:\n\t<input>\n\t[-QUIET]\n\n");
}

TEST_F(Decoder, EveryRaisableErrorHasItsText)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-LEVEL=0", "x"}, "Arg value too small, 0"},
        {{"-LEVEL=10", "x"}, "Arg value too large, 10"},
        {{"-SIZE=-6", "x"}, "Arg value too small, -6"},
        {{"x", "a,,b"}, "Arg length too small, "},
        {{"abcdefghi"}, "Arg length too large, abcdefghi"},
        {{"-TAGS=ab\\,c", "x"}, "Arg length too large, ab\\,c"},
        {{"a,b"}, "List forbidden invalid argument, a,b"},
        {{"-BOGUS", "x"}, "Unknown option, BOGUS"},
        {{"-QUIETER", "x"}, "Unknown option, QUIETER"},
        {{"-QUIET", "-quiet", "x"}, "An option can't be used twice, quiet"},
        {{"-VERBOSE", "-NOVERBOSE", "x"}, "An option can't be used twice, NOVERBOSE"},
        {{"-LEVEL", "x"}, "Mandatory argument for this option, LEVEL"},
        {{"-LEVEL=", "x"}, "Mandatory argument for this option, LEVEL="},
        {{"-QUIET=1", "x"}, "No argument for this option, QUIET=1"},
        {{"-LEVEL=1,2", "x"}, "List forbidden invalid option, LEVEL=1,2"},
        {{}, "Argument missing, input"},
        {{"-QU", "x"}, "Ambiguous option, QU"},
        {{"-NO", "x"}, "Ambiguous option, NO"},
        {{"-TA", "x"}, "Ambiguous option, TA"},
        {{"-MODE=zzz", "x"}, "Unknown value of option, zzz"},
        {{"-MODE=f", "x"}, "Ambiguous value of option, f"},
        {{"-QUIET", "-NOISE", "x"}, "Illegal combination of command elements, QUIET and NOISE"},
        {{"-MODE=FAST", "x", "y"}, "Illegal combination of command elements, FAST and outputs"},
        {{"-QUICK", "x"}, "Illegal combination of command elements, QUICK and outputs"},
        {{"-"}, "Unknown option, "},
    };
    for (const auto &[words, text] : cases)
        EXPECT_EQ(first_error_line(words), "Molvex Command analysis : " + text) << words.size();
}

TEST_F(Decoder, TooManyArgumentsForSingleValuePositional)
{
    table.positionals[1].list_allowed = 'N';
    EXPECT_EQ(first_error_line({"a", "b", "c"}), "Molvex Command analysis : Too many arguments invalid argument, c");
}

TEST_F(Decoder, AbbreviationsCaseAndSlots)
{
    ASSERT_EQ(decode({"-verb", "-modus=rap", "-TAG", "-quie", "x"}).status, 0);
    EXPECT_EQ(cmd_option_state("VERBOSE"), 4);
    EXPECT_EQ(cmd_option_state("QUIET"), 5);
    EXPECT_EQ(cmd_option_state("TAG"), 10); // exact name beats the longer TAGS
    EXPECT_EQ(cmd_option_state("TAGS"), 0);
    EXPECT_EQ(cmd_option_value(1, 1)->text, "FAST"); // canonical name of the option language
    EXPECT_TRUE(table.options[0].values[0].selected);
}

TEST_F(Decoder, NegationAndDefaults)
{
    ASSERT_EQ(decode({"-noverb", "x"}).status, 0);
    EXPECT_EQ(cmd_option_state("VERBOSE"), -4);
    EXPECT_EQ(cmd_option_state("SILENT"), -9); // negatable, off when absent
    EXPECT_EQ(cmd_option_state("MODE"), 1);    // default_on
    EXPECT_EQ(values(*table.options[0].argument), std::vector<std::string>{"FULL"});
    EXPECT_EQ(cmd_option_state("QUIET"), 0);
    ASSERT_EQ(decode({"-NOSILENT", "-VERBOSE", "x"}).status, 0);
    EXPECT_EQ(cmd_option_state("SILENT"), -9);
    EXPECT_EQ(cmd_option_state("VERBOSE"), 4);
}

TEST_F(Decoder, ValuesListsEscapesAndNumbers)
{
    ASSERT_EQ(decode({"-TAGS=a,b\\,c", "-TAGS=d", "-MODE=TESTX", "-LEVEL= +7x", "-SIZE", "x", "y,z", "w"}).status,
              0);
    EXPECT_EQ(values(*table.options[2].argument), (std::vector<std::string>{"a", "b,c", "d"}));
    EXPECT_EQ(cmd_option_value(1, 1)->text, "TEST");
    EXPECT_EQ(cmd_option_value(2, 1)->number, 7);
    EXPECT_EQ(cmd_option_state("SIZE"), 8);
    EXPECT_EQ(cmd_option_value(8, 1), nullptr);
    EXPECT_EQ(cmd_param_value(1, 1)->text, "x");
    EXPECT_EQ(values(table.positionals[1]), (std::vector<std::string>{"y", "z", "w"}));
}

TEST_F(Decoder, RedecodingStartsFromAClearTable)
{
    ASSERT_EQ(decode({"-QUIET", "-TAGS=a", "x"}).status, 0);
    ASSERT_EQ(decode({"y"}).status, 0);
    EXPECT_EQ(cmd_option_state("QUIET"), 0);
    EXPECT_EQ(cmd_option_value(3, 1), nullptr);
    EXPECT_EQ(cmd_param_value(1, 1)->text, "y");
}

TEST_F(Decoder, SlashPrefixAndOptionLanguageAreTableSettings)
{
    ASSERT_EQ(decode({"/QUIET"}).status, 0);
    EXPECT_EQ(cmd_param_value(1, 1)->text, "/QUIET");
    EXPECT_EQ(cmd_option_state("QUIET"), 0);

    table.slash_prefix = true;
    ASSERT_EQ(decode({"/QUIET", "x"}).status, 0);
    EXPECT_EQ(cmd_option_state("QUIET"), 5);
    EXPECT_EQ(first_error_line({"/BOGUS", "x"}), "Molvex Command analysis : Unknown option, BOGUS");

    table.language = 0;
    EXPECT_EQ(first_error_line({}), "Molvex Command analysis : Argument missing, entree");
    EXPECT_EQ(first_error_line({"-QUIET", "-NOISE", "x"}),
              "Molvex Command analysis : Illegal combination of command elements, QUIET et NOISE");
}

} // namespace
