// Each run's own verdict from its ROD file: FS lines numbered as the engine
// numbers them, and nothing believed once the file is not the one merged.
#include "rodruns.h"

#include "extgest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

uint16_t crc_of(const std::string &text)
{
    return crc16_kermit(reinterpret_cast<const unsigned char *>(text.data()), text.size());
}

const std::string ROD = "KORVA Probeworks \"v2.6a\" \"P\" \"ROD file\" \"s\" \"d\"\n"
                        "DS \"A\" \"t\" \"s.tds\" \"1\" \"10\" \"5\" \"1\"\n"
                        "FS \"A\" \"20\" \"1\" \"failed\" \"2\"\n" // line 2
                        "XX \"" + std::string(6000, 'x') + "\"\n"  // lines 3 and 4: two pieces
                        "FS \"B\"\"q\" \"30\" \"0\" \"passed\" \"5\"\r\n" // line 5
                        "FS \"C\" \"40\" \"7\" \"odd\" \"6\"\n"     // line 6
                        "XX \"" + std::string(5114, 'x') + "\"\n"   // line 7: a whole piece, its newline no line
                        "FS \"D\" \"50\" \"0\" \"passed\" \"8\"\n"; // line 8

} // namespace

TEST(RodRuns, VerdictsByLineNumberWithLongLinesCountedPerPiece)
{
    const RodRuns runs = rod_runs_of_text(ROD, ROD.size(), crc_of(ROD));
    ASSERT_EQ(runs.state, RodState::ok);
    EXPECT_EQ(rod_run_verdict(runs, 2, "A"), RunVerdict::failed);
    EXPECT_EQ(rod_run_verdict(runs, 5, "B\"q"), RunVerdict::passed);
    EXPECT_EQ(rod_run_verdict(runs, 6, "C"), RunVerdict::unknown);
    EXPECT_EQ(rod_run_verdict(runs, 8, "D"), RunVerdict::passed);
    // Another scenario's name, or a line that is no FS line: not known.
    EXPECT_EQ(rod_run_verdict(runs, 2, "B"), RunVerdict::not_known);
    EXPECT_EQ(rod_run_verdict(runs, 5, "A"), RunVerdict::not_known);
    EXPECT_EQ(rod_run_verdict(runs, 4, "A"), RunVerdict::not_known);
}

TEST(RodRuns, ChangedMissingOrFoundBesideTheRdd)
{
    EXPECT_EQ(rod_runs_of_text(ROD, ROD.size(), crc_of(ROD) ^ 1).state, RodState::changed);
    EXPECT_EQ(rod_runs_of_text(ROD, ROD.size() + 1, crc_of(ROD)).state, RodState::changed);
    EXPECT_TRUE(rod_runs_of_text(ROD, ROD.size(), crc_of(ROD) ^ 1).others.empty());

    const std::filesystem::path dir = std::filesystem::path(testing::TempDir()) / ("rodruns." + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "sub");
    std::ofstream(dir / "sub" / "r.rod", std::ios::binary) << ROD;
    RddFile file{"r.rod", "sub/", "/nowhere", std::to_string(ROD.size()), std::to_string(crc_of(ROD)), 1};
    EXPECT_EQ(rod_runs_of(file, dir.string()).state, RodState::ok);
    // The relative directory fails, the absolute one holds it.
    file.relative_dir = "gone/";
    file.absolute_dir = (dir / "sub").string();
    EXPECT_EQ(rod_runs_of(file, dir.string()).state, RodState::ok);
    file.absolute_dir = "/nowhere";
    EXPECT_EQ(rod_runs_of(file, dir.string()).state, RodState::missing);
    file.relative_dir = "sub/";
    ASSERT_EQ(::mkfifo((dir / "sub" / "fifo.rod").c_str(), 0600), 0);
    file.name = "fifo.rod";
    EXPECT_EQ(rod_runs_of(file, dir.string()).state, RodState::unreadable);
    file.name = "r.rod";
    file.crc = "not a number";
    EXPECT_EQ(rod_runs_of(file, dir.string()).state, RodState::changed);
    std::filesystem::remove_all(dir);
}
