// The indexed merge with files loaded ahead against the straightforward merge
// loading one file after the other: generated campaigns of every scenario,
// in both merge modes, must give byte-identical RDD lines.
#include "exec.h"
#include "i18n_zrm_msg.h"
#include "objet.h"
#include "rodbase.h"
#include "rodgen.h"
#include "rodinser.h"
#include "rodload.h"
#include "rodprd.h"
#include "rodtri.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

namespace {

Objet *drop_header_lines(Objet *header_lines, Objet *report)
{
    obj_free(header_lines);
    return report;
}

std::string read_all(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class MergeEquivalence : public ::testing::Test {
protected:
    void SetUp() override
    {
        catalog_fill();
        keywords_init();
        time_key_init();
        dir = std::filesystem::temp_directory_path() / ("merge_equivalence_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override
    {
        merge_use_reference(false);
        rod_use_load_ahead(true);
        for (int slot = 0; slot < PAIR_TABLE_SIZE; ++slot)
            set_rod_name(slot, "");
        keywords_release();
        std::filesystem::remove_all(dir);
    }

    void write_set(const GenParams &params)
    {
        for (int slot = 0; slot < PAIR_TABLE_SIZE; ++slot)
            set_rod_name(slot, "");
        for (int file = 0; file < params.files; ++file) {
            const auto path = dir / ("f" + std::to_string(file) + ".rod");
            std::ofstream(path, std::ios::binary) << gen_rod_text(params, file);
            set_rod_name(file, path.string());
        }
    }

    // The RDD lines the loaded and merged set gives.
    std::string rdd_lines(bool time_mode, bool reference)
    {
        merge_use_reference(reference);
        rod_use_load_ahead(!reference);
        Objet *report = rod_load_all(time_mode, drop_header_lines);
        const std::string out = (dir / "out.rdd").string();
        Objet *name = str_new(out.data(), out.size());
        Objet *mode = str_new("w", 1);
        Objet *stream = stream_open(name, mode);
        number_repeated_names(stream, report);
        EXPECT_TRUE(write_rdd_lines(stream, report));
        stream_close(stream);
        obj_free(stream);
        obj_free(mode);
        obj_free(name);
        obj_free(report);
        return read_all(out);
    }

    void expect_same(const GenParams &params)
    {
        write_set(params);
        for (const bool time_mode : {false, true}) {
            const std::string reference = rdd_lines(time_mode, true);
            const std::string fast = rdd_lines(time_mode, false);
            EXPECT_FALSE(reference.empty());
            EXPECT_TRUE(reference == fast) << "scenario " << static_cast<char>(params.scenario) << " files "
                                           << params.files << " seed " << params.seed << " scrambled "
                                           << params.scrambled << " time mode " << time_mode;
        }
    }

    std::filesystem::path dir;
};

TEST_F(MergeEquivalence, EveryScenarioAtSmallSize)
{
    for (const char letter : {'a', 'b', 'c', 'd', 'e'}) {
        GenParams params;
        gen_scenario_from_text(std::string(1, letter), params.scenario);
        params.files = letter == 'd' ? 1 : 7;
        params.bytes_per_file = letter == 'd' ? 60000 : 9000;
        expect_same(params);
    }
}

// Repeated scenario identities, unsorted order keys, runs placed before the
// first merged run, instance runs without partner.
TEST_F(MergeEquivalence, ScrambledCampaignsOnManySeeds)
{
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        GenParams params;
        params.scenario = seed % 2 ? GenScenario::SameClock : GenScenario::MixedClocks;
        params.files = 2 + static_cast<int>(seed % 6);
        params.bytes_per_file = 3000 + 1500 * (seed % 4);
        params.seed = seed;
        params.scrambled = true;
        expect_same(params);
    }
}

} // namespace

// Times just below 2^32: aligning the files moves some merged times past
// it, so their order turns, also while shifts of the merged report wait.
TEST_F(MergeEquivalence, TimesWrappingPastTwoToThe32)
{
    for (const char letter : {'a', 'b', 'c'}) {
        for (uint32_t below_wrap = 100; below_wrap < 4000; below_wrap += 130) {
            GenParams params;
            gen_scenario_from_text(std::string(1, letter), params.scenario);
            params.files = 6;
            params.bytes_per_file = 9000;
            params.time_base = 0u - below_wrap;
            expect_same(params);
        }
    }
}
