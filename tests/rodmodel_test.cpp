// The report model: records across chunk borders and the release of a run.
#include "rodmodel.h"

#include <gtest/gtest.h>

#include <set>

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

} // namespace
