// The report model: records across chunk borders and the release of a run.
#include "rodmodel.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace {

TEST(Model, RecordsCrossChunkBordersAndARunReleasesThemAll)
{
    std::set<LineId> lines;
    std::set<CellId> cells;
    for (uint32_t k = 0; k < 70000; ++k) {
        const LineId line = line_new();
        line_at(line).number = k;
        lines.insert(line);
        cells.insert(cell_new(line_item(line), static_cast<CellId>(k)));
        cells.insert(cell_new(NO_ITEM, static_cast<CellId>(k + 1)));
    }
    EXPECT_EQ(lines.size(), 70000u);
    EXPECT_EQ(cells.size(), 140000u);
    EXPECT_EQ(lines.count(0), 0u); // id 0 means none
    EXPECT_EQ(cells.count(0), 0u);
    uint32_t k = 0;
    for (LineId line : lines)
        EXPECT_EQ(line_at(line).number, k++);
    model_release();
    EXPECT_EQ(line_new(), 1u); // a released run starts afresh
    EXPECT_EQ(cell_new(), 1u);
    model_release();
}

TEST(Model, RecycledRecordsAreMadeAgainOnTheirThreadUntilTheRunIsReleased)
{
    const std::vector<LineId> lines{line_new(), line_new()};
    const std::vector<CellId> cells{cell_new()};
    line_at(lines[0]).number = 7;
    lines_recycle(lines);
    cells_recycle(cells);
    EXPECT_TRUE(line_at(lines[0]).recycled);
    std::set<LineId> made{line_new(), line_new()};
    EXPECT_EQ(made, std::set<LineId>(lines.begin(), lines.end()));
    EXPECT_FALSE(line_at(lines[0]).recycled); // made again: a zeroed record
    EXPECT_EQ(line_at(lines[0]).number, 0u);
    EXPECT_EQ(cell_new(), cells[0]);
    EXPECT_EQ(made.count(line_new()), 0u); // none left: fresh room

    // Another thread makes its own records, not this thread's recycled ones.
    lines_recycle({line_new()});
    LineId other = 0;
    std::thread([&other] { other = line_new(); }).join();
    EXPECT_EQ(made.count(other), 0u);

    // After a release the ids recycled before it are never handed out.
    lines_recycle({line_new(), line_new(), line_new()});
    model_release();
    EXPECT_EQ(line_new(), 1u);
    EXPECT_EQ(line_new(), 2u);
    model_release();
}

} // namespace
