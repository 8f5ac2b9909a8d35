// The report model: records across chunk borders, the release of a run,
// field texts and origin pairs gathered in order.
#include "rodmodel.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
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

TEST(Model, FieldsOfALineAsWrittenUnlessReplaced)
{
    const std::string text = "CH \"a\"\"b\" \"c\"\"\" x\"d\" \n";
    std::vector<std::string> fields;
    FieldCursor cursor(text);
    for (std::string_view field; cursor.next(field);)
        fields.emplace_back(field);
    EXPECT_EQ(fields, (std::vector<std::string>{"\"a\"\"b\"", "\"c\"\"\"", "\"d\""}));

    const LineId line = line_new();
    line_at(line).count = 2;
    line_set_field_text(line, 2, text_keep("\"new\""));
    EXPECT_EQ(line_field_text(line, 2), "\"new\"");
    EXPECT_EQ(line_field_text(line, 1), ""); // no bytes to read it from
    EXPECT_EQ(line_field_text(line, 3), "");
    model_release();
}

TEST(Model, GatheredOriginPairsFollowTheOwnPairInMergeOrder)
{
    auto read_line = [](LineKind kind, uint16_t file, uint32_t number) {
        const LineId id = line_new();
        line_at(id).kind = kind;
        line_at(id).has_origin = 1;
        line_at(id).file = file;
        line_at(id).number = number;
        return id;
    };
    const LineId merged = read_line(KIND_XI, 1, 10);
    const LineId second = read_line(KIND_XI, 2, 20);
    const LineId third = read_line(KIND_XI, 3, 30);
    line_gather_origins(third, read_line(KIND_XI, 3, 31)); // a line that gathered before it joins
    line_gather_origins(merged, second);
    line_gather_origins(merged, third);
    std::vector<std::pair<int32_t, int32_t>> pairs;
    line_any_origin(merged, [&pairs](OriginPair pair) {
        pairs.emplace_back(pair.file, pair.number);
        return false;
    });
    EXPECT_EQ(pairs, (std::vector<std::pair<int32_t, int32_t>>{{1, 10}, {2, 20}, {3, 30}, {3, 31}}));
    EXPECT_TRUE(line_any_origin(merged, [](OriginPair pair) { return pair.file == 3; }));
    EXPECT_FALSE(line_any_origin(second, [](OriginPair) { return true; })); // its pair moved on
    model_release();
}

} // namespace
