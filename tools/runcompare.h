// Comparison of the runs of one merged scenario: the lines of each run put
// on rows so that the same step of the script shares a row across the runs,
// and the values that differ between runs on a row. The page's scenario
// view and the JUnit failure messages both show this comparison.
//
// A step is known by its line code and its first field (the event, check,
// window or signal name). Runs are aligned one after the other onto the rows
// made so far by a shortest edit script over those keys, so a step that a
// run lacks leaves a gap on its row and a step only one run has gets a row
// of its own.
#pragma once

#include "rddread.h"
#include "rodruns.h"

#include <cstdint>
#include <string>
#include <span>
#include <string_view>
#include <vector>

struct StepLine {
    std::string_view code;
    std::span<const std::string_view> fields; // own fields as written
    int time_field = 0;                   // 1-based; 0 when none. Clocks differ between runs, so never compared
};

struct StepDiff {
    uint32_t row = 0;
    std::vector<uint16_t> fields; // 0-based indexes of the fields whose values differ
};

struct StepAlignment {
    uint32_t rows = 0;
    std::vector<std::vector<uint32_t>> row_of; // per run, the row of each of its lines
    std::vector<StepDiff> diffs;               // ascending rows
};

// Edit scripts longer than this are not searched further: such a run is
// put on the rows by position, so that unrelated runs cost linear time and
// little memory instead of quadratic.
constexpr std::size_t STEP_SEARCH_LIMIT = 256;

StepAlignment align_steps(const std::vector<std::vector<StepLine>> &runs);

// ---- The runs of one merged scenario, as read from the RDD text ----------

// One line of a scenario per origin pair: where its own text (code and own
// fields, origin pairs left out) lies in the RDD text.
struct HeldLine {
    uint64_t rdd_line = 0;
    uint64_t text_at = 0;
    uint32_t text_size = 0;
    uint32_t file = 0, rod_line = 0;
    bool timed = false;
    uint32_t time = 0;
};

struct ScenarioLines {
    std::vector<HeldLine> lines;
    std::vector<RddOrigin> fs_origins; // of its FS line; empty when never closed
    uint64_t fs_line = 0;
};

// Holds the lines of the open scenarios while RDD text is read: fed every
// body line, it hands over the innermost scenario when its mark comes.
struct ScenarioHolder {
    std::vector<ScenarioLines> open;
    std::vector<std::vector<HeldLine>> spare; // line vectors to use again

    // `text` is the whole RDD text that the line is a view into.
    void body(const RddLine &line, std::optional<uint32_t> time, std::string_view text);
    ScenarioLines close();
    void recycle(std::vector<HeldLine> &&lines);
};

// One run of a scenario: a file it was joined from, that run's own verdict
// from its ROD file (or why it is not known) and its lines.
struct Run {
    uint32_t file = 0;
    RunVerdict verdict = RunVerdict::not_known;
    std::string why;
    std::vector<std::size_t> lines; // indexes into the scenario's lines
};

// What the runs of every scenario are looked up in: the CF entry of each
// file number and the ROD files read for them. `runs_of` keeps scratch
// tables here, so that a scenario of a thousand runs costs linear time.
struct RunSources {
    std::vector<int32_t> entry_of_file = std::vector<int32_t>(RDD_MAX_FILES + 1, -1);
    const std::vector<RodRuns> *rods = nullptr; // by CF entry
    std::vector<int32_t> run_of_file = std::vector<int32_t>(RDD_MAX_FILES + 1, -1);
    std::vector<int32_t> closing_of_file = std::vector<int32_t>(RDD_MAX_FILES + 1, -1);
    std::vector<uint32_t> lines_of_run; // per run of the scenario at hand
};

// The runs of a scenario: one per file of its DS line's origin pairs (in
// their order) or of its lines; those that did not pass, or whose verdict is
// not known, first.
std::vector<Run> runs_of(const ScenarioLines &scenario, const std::vector<uint32_t> &run_files, std::string_view name,
                         RunSources &sources);

// Which runs are compared: all of them, or the first `not_passed` runs that
// did not pass and one that passed.
std::vector<std::size_t> runs_compared(const std::vector<Run> &runs, bool all, std::size_t not_passed);

struct RunComparison {
    std::vector<std::vector<RddOwnedLine>> lines; // per compared run, its lines scanned
    StepAlignment alignment;
};

// The compared runs' lines scanned out of the RDD text and aligned.
RunComparison compare_runs(std::string_view text, const ScenarioLines &scenario, const std::vector<Run> &runs,
                           const std::vector<std::size_t> &compared);
