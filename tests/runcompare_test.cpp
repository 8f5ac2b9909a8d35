// Comparison of a scenario's runs: the same step on one row across runs,
// gaps for missing steps, rows for extra ones, and the differing values.
#include "runcompare.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The text a run's steps are views into.
struct RunText {
    std::vector<std::string> lines;
    std::vector<std::vector<std::string_view>> fields;
};

// "CH door SHUT" style lines: code, then fields separated by spaces.
std::vector<StepLine> run_of(const std::vector<std::string> &lines, RunText &storage)
{
    storage.lines = lines;
    storage.fields.assign(lines.size(), {});
    std::vector<StepLine> run;
    for (std::size_t l = 0; l < storage.lines.size(); ++l) {
        StepLine step;
        std::string_view rest = storage.lines[l];
        step.code = rest.substr(0, 2);
        rest.remove_prefix(std::min<std::size_t>(3, rest.size()));
        while (!rest.empty()) {
            const std::size_t space = rest.find(' ');
            storage.fields[l].push_back(rest.substr(0, space));
            rest.remove_prefix(space == std::string_view::npos ? rest.size() : space + 1);
        }
        step.fields = storage.fields[l];
        step.time_field = step.code == "EV" ? 3 : 0;
        run.push_back(step);
    }
    return run;
}

} // namespace

TEST(RunCompare, SameStepsShareRowsAndOnlyValuesThatDifferAreMarked)
{
    RunText a, b;
    const StepAlignment alignment = align_steps({run_of({"EV MOVE in 1810", "CH speed 0.8", "CH door SHUT"}, a),
                                                 run_of({"EV MOVE in 91810", "CH speed 0.8", "CH door OPEN"}, b)});
    EXPECT_EQ(alignment.rows, 3u);
    EXPECT_EQ(alignment.row_of, (std::vector<std::vector<uint32_t>>{{0, 1, 2}, {0, 1, 2}}));
    // The EV times differ (other clock) but are not a difference of outcome.
    ASSERT_EQ(alignment.diffs.size(), 1u);
    EXPECT_EQ(alignment.diffs[0].row, 2u);
    EXPECT_EQ(alignment.diffs[0].fields, (std::vector<uint16_t>{1}));
}

TEST(RunCompare, MissingStepsLeaveGapsAndExtraStepsGetRowsOfTheirOwn)
{
    RunText a, b, c;
    const StepAlignment alignment =
        align_steps({run_of({"DW WAIT", "CH ready TRUE", "CH door SHUT", "FW WAIT"}, a),
                     run_of({"DW WAIT", "CH door SHUT", "FW WAIT"}, b),                       // misses a step
                     run_of({"DW WAIT", "CH ready TRUE", "CO retry", "CH door SHUT", "FW WAIT"}, c)}); // one more
    EXPECT_EQ(alignment.rows, 5u);
    EXPECT_EQ(alignment.row_of[0], (std::vector<uint32_t>{0, 1, 3, 4}));
    EXPECT_EQ(alignment.row_of[1], (std::vector<uint32_t>{0, 3, 4}));
    EXPECT_EQ(alignment.row_of[2], (std::vector<uint32_t>{0, 1, 2, 3, 4}));
    EXPECT_TRUE(alignment.diffs.empty());

    // A lone run (and an empty one) is its lines row after row, repeats included.
    const StepAlignment lone = align_steps({run_of({"DW WAIT", "CH door SHUT", "CH door SHUT", "FW WAIT"}, a)});
    EXPECT_EQ(lone.rows, 4u);
    EXPECT_EQ(lone.row_of, (std::vector<std::vector<uint32_t>>{{0, 1, 2, 3}}));
    EXPECT_TRUE(lone.diffs.empty());
    const StepAlignment empty_first = align_steps({run_of({}, a), run_of({"DW WAIT", "FW WAIT"}, b)});
    EXPECT_EQ(empty_first.rows, 2u);
    EXPECT_EQ(empty_first.row_of, (std::vector<std::vector<uint32_t>>{{}, {0, 1}}));
}

TEST(RunCompare, RepeatedStepsAlignInOrderAndShorterLinesDiffer)
{
    RunText a, b;
    const StepAlignment alignment = align_steps(
        {run_of({"CH n 1", "CH n 2", "CH n 3"}, a), run_of({"CH n 1", "CH n 3", "CH n"}, b)});
    EXPECT_EQ(alignment.rows, 3u);
    EXPECT_EQ(alignment.row_of[1], (std::vector<uint32_t>{0, 1, 2}));
    ASSERT_EQ(alignment.diffs.size(), 2u);
    EXPECT_EQ(alignment.diffs[0].row, 1u);
    EXPECT_EQ(alignment.diffs[1].fields, (std::vector<uint16_t>{1})); // a field one line lacks
}

TEST(RunCompare, UnrelatedLongRunsStayLinear)
{
    // Past the search limit the runs are put side by side by position.
    std::vector<std::string> lines_a, lines_b;
    for (std::size_t i = 0; i < 3 * STEP_SEARCH_LIMIT; ++i) {
        lines_a.push_back("CH a" + std::to_string(i) + " x");
        lines_b.push_back(i % 2 ? "CH b" + std::to_string(i) + " x" : "CH a" + std::to_string(i) + " y");
    }
    RunText a, b;
    const StepAlignment alignment = align_steps({run_of(lines_a, a), run_of(lines_b, b)});
    EXPECT_EQ(alignment.row_of[1][0], 0u);
    EXPECT_EQ(alignment.rows, lines_a.size() + lines_b.size() / 2);
    EXPECT_EQ(alignment.diffs.size(), lines_a.size() / 2);
}

// A scenario's runs: those its DS line names, in that order, then those only
// its lines come from; each with its lines in order, scenario after scenario
// on the same scratch tables.
TEST(RunCompare, RunsHoldTheirFilesLinesInOrder)
{
    RunSources sources;
    ScenarioLines scenario;
    for (const uint32_t file : {2u, 5u, 2u, 9u, 5u, 2u})
        scenario.lines.push_back(HeldLine{0, 0, 0, file, 0, false, 0});
    for (int repeat = 0; repeat < 2; ++repeat) {
        const auto runs = runs_of(scenario, {5, 2}, "S", sources);
        ASSERT_EQ(runs.size(), 3u);
        EXPECT_EQ(runs[0].file, 5u);
        EXPECT_EQ(runs[0].lines, (std::vector<std::size_t>{1, 4}));
        EXPECT_EQ(runs[1].file, 2u);
        EXPECT_EQ(runs[1].lines, (std::vector<std::size_t>{0, 2, 5}));
        EXPECT_EQ(runs[2].file, 9u);
        EXPECT_EQ(runs[2].lines, (std::vector<std::size_t>{3}));
        EXPECT_EQ(runs[2].why, "no CF line names file 9");
    }
}
