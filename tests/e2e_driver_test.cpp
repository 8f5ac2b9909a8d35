// The driver's start-up: tool directory, localisation set-up, banner, language.
#include "e2e_util.h"

#include <gtest/gtest.h>

namespace {

const std::string kCreateLine = "create ZRM_DIR from ";
const std::string kNoToolDir = "ZRM_DIR not set, must be binary directory. Execution stopped.\n";

// A run that gets past start-up and stops at the first file it reads.
const std::vector<std::string> kMissingInput{"missing.rio"};

} // namespace

TEST(ToolDirectory, SetVariableIsUsedSilently)
{
    const RunResult run = run_zovizeve(kMissingInput, {.env = {{"ZRM_DIR", "/opt/kit"}}});
    EXPECT_EQ(run.err.find(kCreateLine), std::string::npos) << run.err;
    EXPECT_EQ(run.err.rfind("Molvex-I-STARTEXEC,  ", 0), 0u) << run.err;
}

TEST(ToolDirectory, EmptyOrUnsetVariableFallsBackToTheInvocationDirectory)
{
    for (const auto &value : {std::optional<std::string>(""), std::optional<std::string>()}) {
        const RunResult run = run_zovizeve(kMissingInput, {.env = {{"ZRM_DIR", value}}, .argv0 = "/opt/kit/zovizeve"});
        const std::string expected = kCreateLine + "/opt/kit/zovizeve \n" + kCreateLine + "/opt/kit/zovizeve \n";
        EXPECT_EQ(run.err.substr(0, expected.size()), expected) << run.err;
        EXPECT_NE(run.err.find("Molvex-I-STARTEXEC"), std::string::npos);
    }
}

TEST(ToolDirectory, NoDirectoryInTheInvocationNameEndsWithStatusOne)
{
    for (const std::string name : {"zovizeve", "/zovizeve"}) {
        const RunResult run = run_zovizeve(kMissingInput, {.env = {{"ZRM_DIR", std::nullopt}}, .argv0 = name});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, kCreateLine + name + " \n" + kCreateLine + name + " \n" + kNoToolDir);
    }
}

TEST(Localisation, MissingInstallationEndsWithStatus255)
{
    for (const auto &value : {std::optional<std::string>(""), std::optional<std::string>()}) {
        const RunResult run = run_zovizeve(kMissingInput, {.env = {{"MOLVEXDIR", value}}});
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.err, "Fatal Error: please setup MOLVEXDIR environment variable.\n");
    }
    const std::string bare = make_temp_dir();
    const RunResult run = run_zovizeve(kMissingInput, {.env = {{"MOLVEXDIR", bare}}});
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "Fatal Error: directory doesn't exist '" + bare + "/lib/locale'\n");
}

TEST(Localisation, EnglishByDefaultFrenchWithAFrenchLocale)
{
    const RunResult english = run_zovizeve(kMissingInput);
    EXPECT_EQ(english.status, 7);
    EXPECT_NE(english.err.find("Molvex-F-FICNOTOPN,  File missing.rio access problem\n"), std::string::npos)
        << english.err;

    const RunResult french = run_zovizeve(kMissingInput, {.env = {{"LANG", "fr_FR.UTF-8"}}});
    EXPECT_EQ(french.status, 7);
    EXPECT_NE(french.err.find("Molvex-I-STARTEXEC,  Molvex Générateur de rapports de test système"),
              std::string::npos)
        << french.err;
    EXPECT_NE(french.err.find("Molvex-F-FICNOTOPN,  Problème d'accès au fichier missing.rio\n"), std::string::npos)
        << french.err;
}

TEST(Localisation, NoTranslationFileForTheLocaleKeepsEnglish)
{
    const RunResult run = run_zovizeve(kMissingInput, {.env = {{"LANG", "de_DE.UTF-8"}}});
    EXPECT_NE(run.err.find("File missing.rio access problem"), std::string::npos) << run.err;
}

TEST(Banner, ComesBeforeAnyFileIsRead)
{
    const RunResult run = run_zovizeve(kMissingInput);
    const auto lines = split_lines(run.err);
    ASSERT_EQ(lines.size(), 3u) << run.err;
    EXPECT_EQ(lines[0], "Molvex-I-STARTEXEC,  Molvex System Testing Report Generator 2.6.1.0.0.1");
    EXPECT_EQ(lines[1], "Molvex-I-COPYRIGHT,  Copyright (c) 2026 the zovizeve developers");
    EXPECT_EQ(lines[2], "Molvex-F-FICNOTOPN,  File missing.rio access problem");
    EXPECT_EQ(run.out, "");
}
