#include "e2e_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string USAGE = "\nUsage ZOVIZEVE:\n\t<TDC_and_RIO_files>[,TDC_and_RIO_files]\n\t[-RA=<TEST|ERR|RA>]\n"
                          "\t[-VA=<EVAL|NOEVAL|COMBINE>]\n\t[-LE=<GB|FA|FR>]\n\t[-COMMENT|-NOCOMMENT]\n"
                          "\t[-PORTRAIT]\n\t[-LANDSCAPE]\n\t[-NOLOG]\n\t[-LOG]\n\t[-NORO]\n"
                          "\t[-SUMMARY|-NOSUMMARY]\n\t[-RDD=<file_name>]\n\t[-TIME]\n";
const std::string INITPBRLM_LINE = "Molvex-F-INITPBRLM,  Initialization problem on command line\n";

TEST(CommandLine, RefusedCommandLinePrintsErrorUsageAndInitpbrlm)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "Argument missing, TDC_and_RIO_files"},
        {{"-L", "a.rio"}, "Ambiguous option, L"},
        {{"-LOG", "-NOLOG", "a.rio"}, "Illegal combination of command elements, LOG and NOLOG"},
        {{"-RDD", "a.rio"}, "Mandatory argument for this option, RDD"},
    };
    for (const auto &[args, text] : cases) {
        const RunResult result = run_zovizeve(args);
        EXPECT_EQ(result.status, 7) << text;
        EXPECT_EQ(result.err, "Molvex Command analysis : " + text + USAGE + "\n" + INITPBRLM_LINE);
        EXPECT_EQ(result.out, "");
    }
}

TEST(CommandLine, FrenchDecoderTexts)
{
    RunOptions options;
    options.env["LANG"] = "fr_FR.UTF-8";
    const RunResult result = run_zovizeve({"-LE=F", "a.rio"}, options);
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(split_lines(result.err).at(0), "Molvex Analyse de commande : Valeur d'option ambiguë, F");
    EXPECT_NE(result.err.find("\t<fichiers_RIO_et_TDC>[,fichiers_RIO_et_TDC]\n"), std::string::npos);
}

TEST(CommandLine, TooManyFilesStopsBeforeAnyFileIsRead)
{
    const std::string dir = make_temp_dir();
    std::vector<std::string> args;
    for (int i = 0; i <= 1000; ++i)
        args.push_back(dir + "/missing" + std::to_string(i) + ".rio");
    const RunResult result = run_zovizeve(args);
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(result.err, "Molvex-F-TOOMANYFI,  Too many RIO and/or TDC files on the command line\n");
}

} // namespace
