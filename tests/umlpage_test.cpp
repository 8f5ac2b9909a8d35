// The page's data block: what the script is given to render, from a small
// merge of two runs whose ROD files lie beside it, and from large reports
// whose detail the page has to budget.
#include "umlpage.h"

#include "pagebins.h"
#include "pagejson.h"

#include "extgest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string crc_of(const std::string &text)
{
    return std::to_string(crc16_kermit(reinterpret_cast<const unsigned char *>(text.data()), text.size()));
}

const std::string HEADER = "KORVA Probeworks \"v2.6a\" \"DOORS\" \"RDD file\" \"Fri Feb 27 09:12:44 2026\" \n";

// Two runs of one script; run 2 failed SC_2 on the door check.
std::string rod_of(int run)
{
    const std::string door = run == 2 ? "OPEN" : "SHUT";
    return "KORVA Probeworks \"v2.6a\" \"DOORS\" \"ROD file\" \"door\" \"d\"\n"
           "DS \"SC_2\" \"Door stays shut\" \"door.tds\" \"1\" \"1800\" \"500\" \"2\"\n"
           "EV \"MOVING\" \"CABIN_IO\" \"1\" \"in\" \"1810\" \"23\" \"0\"\n"
           "CH \"door\" \"" + door + "\" \"28\" \"0\"\n"
           "FS \"SC_2\" \"2300\" \"" + (run == 2 ? "1" : "0") + "\" \"v\" \"29\"\n";
}

struct Merge {
    fs::path dir;
    std::string rdd;
};

Merge two_run_merge()
{
    Merge merge{fs::path(testing::TempDir()) / ("umlpage." + std::to_string(::getpid())), {}};
    fs::create_directories(merge.dir);
    merge.rdd = HEADER;
    for (int run = 1; run <= 2; ++run) {
        const std::string rod = rod_of(run), name = "run" + std::to_string(run) + ".rod", n = std::to_string(run);
        std::ofstream(merge.dir / name, std::ios::binary) << rod;
        merge.rdd += "RE \"door\" \"Door tests\" \"door.tds\" \"3.1\" \"" + n + "\" \"1\" \n"
                     "SY \"CLOCK\" \"0\" \"250\" \"1000000\" \"1000\" \"ms\" \"" + n + "\" \"2\" \n"
                     "CF \"" + name + "\" \"\" \"/elsewhere\" \"" + std::to_string(rod.size()) + "\" \"" +
                     crc_of(rod) + "\" \"" + n + "\" \"0\" \n";
    }
    merge.rdd += "DS \"SC_2\" \"Door <stays> shut\" \"door.tds\" \"1\" \"1800\" \"1\" \"1\" \"2\" \"1\" \n"
                 "EV \"MOVING\" \"CABIN_IO\" \"1\" \"in\" \"1810\" \"1\" \"2\" \n"
                 "CH \"door\" \"SHUT\" \"1\" \"3\" \n"
                 "EV \"MOVING\" \"CABIN_IO\" \"1\" \"in\" \"91810\" \"2\" \"2\" \n"
                 "CH \"door\" \"OPEN\" \"2\" \"3\" \n"
                 "FS \"SC_2\" \"2300\" \"1\" \"1\" \"4\" \"2\" \"4\" \n";
    return merge;
}

std::string data_of(const Merge &merge, const PageLimits &limits = {})
{
    std::ofstream(merge.dir / "m.rdd", std::ios::binary) << merge.rdd;
    RddDiagnostics diagnostics;
    PageData data;
    std::string error;
    EXPECT_TRUE(page_data((merge.dir / "m.rdd").string(), "m.rdd", "m.html", limits, diagnostics, data, error)) << error;
    return data.json;
}

bool has(const std::string &json, const std::string &part) { return json.find(part) != std::string::npos; }

} // namespace

TEST(PageData, SmallMergeGivesRunsVerdictsAlignedStepsAndDifferences)
{
    const Merge merge = two_run_merge();
    const std::string json = data_of(merge);
    EXPECT_TRUE(has(json, "\"plan\":\"DOORS\"")) << json;
    EXPECT_TRUE(has(json, "\"unit\":{\"ticks\":1000,\"label\":\"ms\"}"));
    EXPECT_TRUE(has(json, "\"scripts\":[{\"name\":\"door\",\"title\":\"Door tests\",\"files\":[1,2]}]"));
    EXPECT_TRUE(has(json, "\"name\":\"run2.rod\",\"dir\":\"/elsewhere\","));
    EXPECT_TRUE(has(json, ",\"rod\":\"ok\"}"));
    // The scenario row: merged verdict failed, run 2's own verdict failed.
    EXPECT_TRUE(has(json, "[\"SC_2\",\"1\",\"Door \\u003cstays> shut\",1,1800,2300,8,13,\"1-2\",0,0,[[2,1]]]"));
    // The failed run first; both runs' lines on the same rows; the door value differs.
    EXPECT_TRUE(has(json, "{\"file\":2,\"verdict\":1,\"why\":\"\",\"ranges\":\"11-12\",\"left\":\"\",\"lines\":"
                          "[[11,2,\"EV\",91810,[\"MOVING\",\"CABIN_IO\",\"1\",\"in\",\"91810\"]],"
                          "[12,3,\"CH\",null,[\"door\",\"OPEN\"]]],\"rows\":[0,1]}"));
    EXPECT_TRUE(has(json, "{\"file\":1,\"verdict\":0,"));
    EXPECT_TRUE(has(json, "\"diffs\":[[1,[1]]],\"others\":{\"count\":0,\"files\":\"\"},\"omitted\":\"\""));
    EXPECT_TRUE(has(json, "\"timeOnly\":false"));
    // Exact marks per lane: the event of file 2 and the scenario's span there.
    EXPECT_TRUE(has(json, "{\"file\":2,\"marks\":[2,91810,91810,11,0,1,91810,91810,8,0]"));
    fs::remove_all(merge.dir);
}

TEST(PageData, ARodFileThatChangedGivesNoVerdictButSaysWhy)
{
    const Merge merge = two_run_merge();
    std::ofstream(merge.dir / "run2.rod", std::ios::binary | std::ios::app) << "\n";
    fs::remove(merge.dir / "run1.rod");
    const std::string json = data_of(merge);
    EXPECT_TRUE(has(json, ",0,0,[[1,-1],[2,-1]]]")) << json;
    EXPECT_TRUE(has(json, "\"why\":\"ROD file changed\""));
    EXPECT_TRUE(has(json, "\"why\":\"ROD file missing\""));
    fs::remove_all(merge.dir);
}

// A damaged report names file 2 only after the scenario: the scenario is
// done without it, however soon the ROD files were read beside the walk.
TEST(PageData, ACfLineAfterTheScenarioIsNotSeenByIt)
{
    Merge merge = two_run_merge();
    const std::size_t cf_start = merge.rdd.find("RE \"door\" \"Door tests\" \"door.tds\" \"3.1\" \"2\"");
    const std::size_t cf_end = merge.rdd.find("DS ");
    const std::string late_head = merge.rdd.substr(cf_start, cf_end - cf_start);
    merge.rdd.erase(cf_start, cf_end - cf_start);
    merge.rdd += late_head;
    for (int run = 0; run < 5; ++run) {
        const std::string json = data_of(merge);
        EXPECT_TRUE(has(json, "{\"file\":2,\"verdict\":-1,\"why\":\"no CF line names file 2\"")) << json;
    }
    fs::remove_all(merge.dir);
}

TEST(PageData, LargeReportsSpendTheDetailBudgetOnWhatFailed)
{
    Merge merge = two_run_merge();
    // A passed scenario before: no detail above the limit.
    const std::size_t at = merge.rdd.find("DS \"SC_2\"");
    merge.rdd.insert(at, "DS \"SC_1\" \"ok\" \"door.tds\" \"1\" \"100\" \"1\" \"9\" \n"
                         "CH \"x\" \"1\" \"1\" \"10\" \n"
                         "FS \"SC_1\" \"200\" \"0\" \"1\" \"11\" \n");
    PageLimits limits;
    limits.detail_limit = 0;
    limits.detail_budget = 32 * 100; // room for the differing step only
    std::string json = data_of(merge, limits);
    EXPECT_TRUE(has(json, "[\"SC_1\",\"1\",\"ok\",0,100,200,8,10,\"1\",0,-1,[]]")) << json;
    EXPECT_TRUE(has(json, "\"left\":\"1 of its lines are not in the page: RDD lines 14\",\"lines\":[[15,3,\"CH\""));
    EXPECT_TRUE(has(json, "\"left\":\"1 of its lines are not in the page: RDD lines 12\""));
    EXPECT_TRUE(has(json, "\"detailNote\":\"This report is large"));
    limits.runs_shown = 0; // of the runs that did not pass: the passed one alone is shown
    json = data_of(merge, limits);
    EXPECT_TRUE(has(json, "\"others\":{\"count\":1,\"files\":\"2\"}")) << json;
    fs::remove_all(merge.dir);
}

TEST(PageData, TimeOnlyReportsListTheirItemsAndCrowdedLanesGoToBins)
{
    Merge merge{fs::path(testing::TempDir()) / ("umlpage.t." + std::to_string(::getpid())), HEADER};
    fs::create_directories(merge.dir);
    for (int i = 0; i < 100; ++i)
        merge.rdd += "EV \"E" + std::to_string(i % 3) + "\" \"I\" \"1\" \"in\" \"" + std::to_string(1000 + 7 * i) +
                     "\" \"" + std::to_string(1 + i % 2) + "\" \"" + std::to_string(i) + "\" \n";
    PageLimits limits;
    limits.mark_budget = 40;
    limits.items = 60;
    const std::string json = data_of(merge, limits);
    EXPECT_TRUE(has(json, "\"timeOnly\":true")) << json.substr(0, 2000);
    EXPECT_TRUE(has(json, "\"items\":[[2,\"EV\",1000,1,\"E0 I 1 in 1000\"],[3,\"EV\",1007,2,"));
    EXPECT_TRUE(has(json, "\"itemsLeft\":40"));
    EXPECT_TRUE(has(json, "\"range\":[1000,1693]"));
    EXPECT_TRUE(has(json, "\"bins\":1024"));
    EXPECT_TRUE(has(json, "{\"file\":1,\"marks\":null,\"binned\":{\"sc\":\""));
    EXPECT_TRUE(has(json, "\"names\":[\"E0\",\"E1\",\"E2\"]"));
    fs::remove_all(merge.dir);
}

TEST(PageData, TextIsSafeInsideTheScriptElement)
{
    std::string out;
    json_string(out, std::string("</script>\"\\\n\x01 caf\xc3\xa9 caf\xe9", 24));
    EXPECT_EQ(out, "\"\\u003c/script>\\\"\\\\\\u000a\\u0001 caf\xc3\xa9 caf\xc3\xa9\"");
    EXPECT_EQ(file_ranges({7, 1, 2, 3, 9, 10, 3}), "1-3,7,9-10");
    const std::string page = page_head("P<1>", "m.rdd") + "{}" + page_tail();
    EXPECT_TRUE(has(page, "<title>P&lt;1&gt; \xC2\xB7 m.rdd</title>"));
    EXPECT_TRUE(has(page, "<script type=\"application/json\" id=\"zv-data\">{}</script>"));
    EXPECT_FALSE(has(page, " src=") || has(page, "<link"));
}

TEST(PageBins, TheGridGrowsBothWaysAndKeepsWhatWasBinned)
{
    Grid grid;
    LaneBins bins;
    bins.allocate();
    grow_grid(grid, 1000, {&bins});
    add_to_bins(bins, grid, 1000, 1000, true, FAILED);
    grow_grid(grid, 5000, {&bins});
    grow_grid(grid, 10, {&bins});
    add_to_bins(bins, grid, 10, 10, false, PASSED);
    add_to_bins(bins, grid, 4000, 5000, true, PASSED);
    const std::string json = lane_bins_json(bins, grid, 10, 5000);
    // Decode the two base64 strings: one byte per page bin.
    const auto decoded = [&](const std::string &key) {
        const std::size_t at = json.find("\"" + key + "\":\"") + key.size() + 4;
        const std::string text = json.substr(at, json.find('"', at) - at);
        static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::vector<uint8_t> bytes;
        uint32_t bits = 0;
        int count = 0;
        for (const char c : text) {
            if (c == '=')
                break;
            bits = bits << 6 | static_cast<uint32_t>(alphabet.find(c));
            if ((count += 6) >= 8)
                bytes.push_back(static_cast<uint8_t>(bits >> (count -= 8)));
        }
        return bytes;
    };
    const std::vector<uint8_t> sc = decoded("sc"), act = decoded("act");
    ASSERT_EQ(sc.size(), std::size_t(PAGE_BINS));
    EXPECT_EQ(act[0], 1);
    const std::size_t failed_bin = (1000 - 10) * PAGE_BINS / 4991;
    EXPECT_EQ(sc[failed_bin], (FAILED + 1) << 5 | 1);
    EXPECT_EQ(sc[PAGE_BINS - 1], (PASSED + 1) << 5 | 1);
    EXPECT_EQ(sc[PAGE_BINS / 2], 0);
}
