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

#include <cstdint>
#include <string_view>
#include <vector>

struct StepLine {
    std::string_view code;
    std::vector<std::string_view> fields; // own fields as written
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
