#include "rodinser.h"

#include "rod_text.h"

#include <random>

using namespace rodtext;

namespace {

const std::string HEAD = "RE \"r\"\nIE \"0\" \"A\" \"x\"\n";
const std::string TAIL = "DB \"end\"\nBF \"end\"\n";

std::string rod(const std::string &body) { return HEAD + body + TAIL; }

std::string scenario(const std::string &name, int start, int order, const std::string &verdict,
                     const std::string &inner = "")
{
    return "DS \"" + name + "\" \"s\" \"t\" \"i1\" \"" + std::to_string(start) + "\" \"0\" \"" +
           std::to_string(order) + "\"\n" + inner + "FS \"s\" \"0\" \"" + verdict + "\" \"x\" \"x\"\n";
}

std::string instance(int start, int end, const std::string &inner = "")
{
    return "XI \"" + std::to_string(start) + "\" \"0\" \"0\"\n" + inner + "YI \"" + std::to_string(end) + "\" \"x\"\n";
}

std::string event(int time) { return "EV \"e\" \"s\" \"0\" \"x\" \"" + std::to_string(time) + "\"\n"; }

Objet *merge_files(const std::vector<std::string> &bodies, bool time_mode = false, MergeMemo *memo = nullptr)
{
    Objet *merged = nullptr;
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        Objet *tree = file_tree(rod(bodies[i]), static_cast<int32_t>(i + 1), time_mode);
        merged = time_mode ? merge_report_by_time(merged, tree, memo) : merge_report(merged, tree, memo);
    }
    return merged;
}

class Merge : public ::testing::Test {
protected:
    void SetUp() override { rodtext::engine_setup(); }
};

} // namespace

TEST_F(Merge, FirstFileIsTakenAsItIs)
{
    Objet *tree = file_tree(rod(instance(10, 20, event(15)) + scenario("S", 30, 1, "0")), 1);
    const std::vector<std::string> before = dump(tree);
    Objet *merged = merge_report(nullptr, tree);
    EXPECT_EQ(dump(merged), before);
    EXPECT_EQ(merged->head.item->link.next, nullptr) << "one head";
    EXPECT_EQ(merged->link.next->link.next->head.item->link.next, nullptr) << "one tail";
    obj_free(merged);
}

TEST_F(Merge, SharedScenarioJoinsStartVerdictOriginsAndInnerItems)
{
    Objet *merged = merge_files({scenario("S", 120, 5, "0", event(130)), scenario("S", 100, 5, "2", event(125))});
    EXPECT_EQ(dump(merged), (std::vector<std::string>{
                                "RE \"r\" \"1\" \"1\"", "IE \"0\" \"A\" \"x\" \"1\" \"2\"", "FR",
                                "RE \"r\" \"2\" \"1\"", "IE \"0\" \"A\" \"x\" \"2\" \"2\"", "FR",
                                "DS \"S\" \"s\" \"t\" \"i1\" \"100\" \"0\" \"5\" \"1\" \"3\" \"2\" \"3\"",
                                "EV \"e\" \"s\" \"0\" \"x\" \"125\" \"2\" \"4\"", "FV",
                                "EV \"e\" \"s\" \"0\" \"x\" \"130\" \"1\" \"4\"", "FV",
                                "FS \"s\" \"0\" \"2\" \"x\" \"x\" \"1\" \"5\" \"2\" \"5\"",
                                "DB \"end\" \"1\" \"6\"", "BF \"end\" \"1\" \"7\"",
                                "DB \"end\" \"2\" \"6\"", "BF \"end\" \"2\" \"7\""}));
    obj_free(merged);
}

TEST_F(Merge, VerdictRule)
{
    const struct {
        const char *earlier, *later, *merged;
    } cases[] = {{"0", "2", "2"}, {"2", "1", "1"}, {"1", "2", "1"}, {"0", "3", "0"}, {"3", "0", "3"}};
    for (const auto &c : cases) {
        Objet *merged = merge_files({scenario("S", 1, 1, c.earlier), scenario("S", 1, 1, c.later)});
        const std::vector<std::string> fs = dump_of(merged, "FS");
        ASSERT_EQ(fs.size(), 1u);
        EXPECT_EQ(fs[0].substr(0, 14), "FS \"s\" \"0\" \"" + std::string(c.merged) + "\"")
            << c.earlier << " then " << c.later;
        obj_free(merged);
    }
}

TEST_F(Merge, UnmatchedScenariosArePlacedByOrderKey)
{
    Objet *merged = merge_files({scenario("S1", 1, 5, "0") + scenario("S2", 1, 9, "0"),
                                 scenario("S3", 1, 5, "0") + scenario("S0", 1, 1, "0")});
    std::vector<std::string> names;
    for (const std::string &line : dump_of(merged, "DS"))
        names.push_back(line.substr(3, 4));
    EXPECT_EQ(names, (std::vector<std::string>{"\"S0\"", "\"S1\"", "\"S3\"", "\"S2\""}));
    obj_free(merged);
}

TEST_F(Merge, InstanceRunsArePairedByPosition)
{
    Objet *merged = merge_files({instance(10, 20) + instance(30, 40),
                                 instance(5, 25) + instance(31, 39),
                                 instance(12, 18) + instance(33, 45) + instance(50, 60)});
    EXPECT_EQ(dump_of(merged, "XI"), (std::vector<std::string>{
                                         "XI \"5\" \"0\" \"0\" \"1\" \"3\" \"2\" \"3\" \"3\" \"3\"",
                                         "XI \"30\" \"0\" \"0\" \"1\" \"5\" \"2\" \"5\" \"3\" \"5\"",
                                         "XI \"50\" \"0\" \"0\" \"3\" \"7\""}));
    EXPECT_EQ(dump_of(merged, "YI"), (std::vector<std::string>{
                                         "YI \"25\" \"x\" \"1\" \"4\" \"2\" \"4\" \"3\" \"4\"",
                                         "YI \"45\" \"x\" \"1\" \"6\" \"2\" \"6\" \"3\" \"6\"",
                                         "YI \"60\" \"x\" \"3\" \"8\""}));
    obj_free(merged);
}

TEST_F(Merge, ScenarioFillsARunWithoutOneBeforeItsDtItem)
{
    const std::string timing = "DT \"50\" \"x\" \"y\"\nYT \"60\" \"x\"\n";
    Objet *merged = merge_files({instance(10, 20) + timing, scenario("S", 12, 1, "0")});
    std::vector<std::string> codes;
    for (const std::string &line : dump(merged))
        codes.push_back(line.substr(0, 2));
    EXPECT_EQ(codes, (std::vector<std::string>{"RE", "IE", "FR", "RE", "IE", "FR", "XI", "YI", "DS", "FS", "DT",
                                               "YT", "DB", "BF", "DB", "BF"}));
    obj_free(merged);
}

TEST_F(Merge, JoinedInstanceGroupsKeepInnerItemsInTimeOrder)
{
    Objet *merged = merge_files({instance(10, 50, event(20) + event(40)), instance(5, 45, event(30) + event(40))});
    EXPECT_EQ(dump_of(merged, "EV"), (std::vector<std::string>{
                                         "EV \"e\" \"s\" \"0\" \"x\" \"20\" \"1\" \"4\"",
                                         "EV \"e\" \"s\" \"0\" \"x\" \"30\" \"2\" \"4\"",
                                         "EV \"e\" \"s\" \"0\" \"x\" \"40\" \"1\" \"5\"",
                                         "EV \"e\" \"s\" \"0\" \"x\" \"40\" \"2\" \"5\""}));
    const std::vector<std::string> lines = dump(merged);
    EXPECT_EQ(lines[6], "XI \"5\" \"0\" \"0\" \"1\" \"3\" \"2\" \"3\"");
    EXPECT_EQ(lines[15], "YI \"50\" \"x\" \"1\" \"6\" \"2\" \"6\"");
    obj_free(merged);
}

TEST_F(Merge, ScenarioInnerRunsMergeRecursively)
{
    Objet *merged = merge_files({scenario("S", 10, 1, "0", instance(11, 12, event(11))),
                                 scenario("S", 9, 1, "0", instance(10, 13, event(10)))});
    EXPECT_EQ(dump_of(merged, "XI"),
              (std::vector<std::string>{"XI \"10\" \"0\" \"0\" \"1\" \"4\" \"2\" \"4\""}));
    EXPECT_EQ(dump_of(merged, "EV").size(), 2u);
    obj_free(merged);
}

TEST_F(Merge, TimeModeInterleavesBodyItems)
{
    Objet *merged = merge_files({event(10) + event(30), event(20) + event(40)}, true);
    std::vector<std::string> times;
    for (const std::string &line : dump_of(merged, "EV"))
        times.push_back(line.substr(19, 4));
    EXPECT_EQ(times, (std::vector<std::string>{"\"10\"", "\"20\"", "\"30\"", "\"40\""}));
    obj_free(merged);
}

TEST_F(Merge, FaultsEndTheRun)
{
    // -TIME: a body item without time key.
    EXPECT_EQ(fatal_status([] {
                  Objet *merged = merge_files({event(10)}, true);
                  merge_report_by_time(merged, file_tree(rod(event(5) + "BC \"x\"\n"), 2, true));
              }),
              7);

    // A later run with neither an XI nor a DS group.
    const std::string timing_only = "DT \"50\" \"x\" \"y\"\nYT \"60\" \"x\"\n" + instance(70, 80);
    EXPECT_EQ(fatal_status([&] { merge_report(merge_files({instance(10, 20)}), file_tree(rod(timing_only), 2)); }), 7);

    // A merged run with neither, met by the instance merge: internal fault.
    testing::internal::CaptureStderr();
    EXPECT_EQ(fatal_status([&] {
                  merge_report(merge_files({timing_only}), file_tree(rod(instance(10, 20)), 2));
              }),
              7);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ERRINTERN"), std::string::npos);
}

// The merged lines, or how the run ended, merging with the indexes kept
// from file to file or with the straightforward merge.
std::vector<std::string> outcome(const std::vector<std::string> &bodies, bool time_mode, bool reference)
{
    std::vector<std::string> lines;
    merge_use_reference(reference);
    const int status = fatal_status([&] {
        MergeMemo memo;
        Objet *merged = merge_files(bodies, time_mode, reference ? nullptr : &memo);
        lines = dump(merged);
        obj_free(merged);
    });
    merge_use_reference(false);
    if (status != -1)
        return {"ended with status " + std::to_string(status)};
    return lines;
}

// Random campaigns: scenario names from a small pool (files share some),
// order keys unsorted and repeated, instance runs among them, some holding
// a timing block (which ends some merges). The merge that keeps its indexes
// from file to file must give what the straightforward merge gives.
TEST_F(Merge, KeptIndexesGiveTheStraightforwardResult)
{
    std::mt19937 random(7);
    auto below = [&random](unsigned n) { return static_cast<int>(random() % n); };
    for (int round = 0; round < 60; ++round) {
        std::vector<std::string> bodies(2 + below(6));
        for (std::string &body : bodies) {
            for (int runs = 1 + below(8); runs > 0; --runs) {
                const int start = below(1000);
                // A timing block inside an instance is one of its own items:
                // joining it makes the merged instance group hold a DT line.
                const std::string timing = "DT \"" + std::to_string(start + 2) + "\" \"x\" \"y\"\nYT \"" +
                                           std::to_string(start + 3) + "\" \"x\"\n";
                if (below(3) == 0)
                    body += instance(start, start + 5, event(start + 1) + (below(2) ? timing : ""));
                else
                    body += scenario("S" + std::to_string(below(6)), start, below(10), "0", event(start + 2));
            }
        }
        for (const bool time_mode : {false, true}) {
            EXPECT_EQ(outcome(bodies, time_mode, false), outcome(bodies, time_mode, true))
                << "round " << round << " time mode " << time_mode;
        }
    }
}
