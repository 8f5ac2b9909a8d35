// The page that the stand-in UML tool makes from an RDD file: header, files
// merged, counts, a timeline with one lane per file number, and the table of
// scenarios. One self-contained HTML file with inline CSS and SVG.
//
// The RDD file is read twice: the first pass finds the lanes, the time range
// and how many marks each lane holds; the second draws. Lanes with more
// marks than the page can afford are drawn per column instead of per mark,
// so the page stays a few megabytes whatever the size of the report.
#pragma once

#include "rddread.h"

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

struct PageLimits {
    int width = 900;                 // pixels of the time axis
    std::size_t mark_budget = 24000; // marks in the whole timeline, about
    std::size_t table_rows = 1000;   // scenario rows listed, failed ones first kept
    std::size_t lanes = 1000;        // lanes drawn
};

// Time-to-pixel arithmetic of the axis.
struct TimeScale {
    uint32_t first = 0;
    uint32_t last = 0;
    int width = 0;
};
double time_to_x(const TimeScale &scale, uint32_t time);
// Column 0 .. columns-1 of a time on an axis cut into `columns` columns.
int time_to_column(const TimeScale &scale, uint32_t time, int columns);
// Time at the left edge of a column.
uint32_t column_start_time(const TimeScale &scale, int column, int columns);
// Round tick values (1, 2 or 5 times a power of ten apart) within the range.
std::vector<uint32_t> time_ticks(const TimeScale &scale, int wanted);

// Lane geometry: lanes are file numbers in ascending order.
constexpr int LANE_HEIGHT = 34;
constexpr int AXIS_HEIGHT = 28;
int lane_of(const std::vector<uint32_t> &lanes, uint32_t file); // -1 when not a lane
int lane_top(int lane);
// Marks one lane row may draw one by one; also the column count of a row
// drawn per column. Four rows per lane share the budget.
int row_allowance(std::size_t lanes, std::size_t budget, int width);

// File numbers as ranges: 1-3, 7.
std::string file_ranges(std::vector<uint32_t> files);
// Text made safe for HTML: markup characters escaped, bytes that are not
// UTF-8 read as Latin-1, control characters blanked.
std::string html_text(std::string_view text);

// Reads `rdd_path` and writes the page to `out`; false with `error` when the
// file cannot be read. `display_name` is the RDD file's name on the page.
bool write_uml_page(const std::string &rdd_path, const std::string &display_name, std::ostream &out,
                    const PageLimits &limits, RddDiagnostics &diagnostics, std::string &error);
