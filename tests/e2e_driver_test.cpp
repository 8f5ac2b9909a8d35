// The driver: tool directory, localisation set-up, language, and the
// phase-time log (ZV_PHASE_LOG), which changes nothing else of the run.
#include "e2e_util.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

const std::string kCreateLine = "create ZRM_DIR from ";
const std::string kNoToolDir = "ZRM_DIR not set, must be binary directory. Execution stopped.\n";

// A run that gets past start-up and stops at the first file it reads.
const std::vector<std::string> kMissingInput{"missing.rio"};

const std::vector<std::string> DOOR_OPEN = {"door_open.tdc", "door_open_run1.rio", "door_open_run2.rio"};

// The RDD text without its header line, which ends with the run's time stamp.
std::string body_of(const std::string &rdd) { return rdd.substr(rdd.find('\n') + 1); }

} // namespace

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

TEST(Localisation, FrenchWithAFrenchLocaleEnglishWithoutATranslation)
{
    const RunResult french = run_zovizeve(kMissingInput, {.env = {{"LANG", "fr_FR.UTF-8"}}});
    EXPECT_EQ(french.status, 7);
    EXPECT_NE(french.err.find("Molvex-I-STARTEXEC,  Molvex Générateur de rapports de test système"),
              std::string::npos)
        << french.err;
    EXPECT_NE(french.err.find("Molvex-F-FICNOTOPN,  Problème d'accès au fichier missing.rio\n"), std::string::npos)
        << french.err;
    const RunResult german = run_zovizeve(kMissingInput, {.env = {{"LANG", "de_DE.UTF-8"}}});
    EXPECT_NE(german.err.find("File missing.rio access problem"), std::string::npos) << german.err;
}

TEST(PhaseLog, ChangesNothingElseAndNamesEveryPhase)
{
    const std::string dir = copy_examples(DOOR_OPEN);
    RunOptions options;
    options.cwd = dir;
    const RunResult plain = run_zovizeve({"-RDD=plain.rdd", DOOR_OPEN[0], DOOR_OPEN[1], DOOR_OPEN[2]}, options);
    options.env["ZV_PHASE_LOG"] = dir + "/phases.txt";
    const RunResult logged = run_zovizeve({"-RDD=logged.rdd", DOOR_OPEN[0], DOOR_OPEN[1], DOOR_OPEN[2]}, options);

    EXPECT_EQ(plain.status, 3) << plain.err; // door_open_run2 has a failed scenario
    EXPECT_EQ(logged.status, plain.status);
    EXPECT_EQ(logged.err, plain.err);
    EXPECT_EQ(logged.out, plain.out);
    EXPECT_EQ(body_of(read_file(dir + "/logged.rdd")), body_of(read_file(dir + "/plain.rdd")));

    const std::string log = read_file(dir + "/phases.txt");
    for (const char *phase : {"read ", "structure ", "wait ", "synchronise ", "cf ", "merge ", "write ", "free ",
                              "engine ", "files 2\n", "rod_lines ", "loader_threads ", "postpro ", "uml ",
                              "beside_runs ", "after_runs ", "cpu "})
        EXPECT_NE(log.find(phase), std::string::npos) << phase << " in\n" << log;
    std::filesystem::remove_all(dir);
}
