// RDD reader of the UML stand-in: line syntax, origin pairs, block walk and
// damaged input.
#include "rddread.h"
#include "rodmodel.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

// The marks of a walk (the header, CF and SY lines show on the page, which
// umlpage_test checks).
struct Seen {
    struct Mark {
        RddMark::Row row;
        uint32_t start, end;
        bool timed;
        RddVerdict verdict;
        uint64_t line;
        std::string text;
        std::vector<uint32_t> files;
        std::vector<std::array<uint32_t, 3>> spans; // file, start, end
    };
    std::vector<Mark> marks;
    RddDiagnostics diagnostics;

    RddVisitor visitor()
    {
        RddVisitor v;
        v.mark = [this](const RddMark &m) {
            std::vector<uint32_t> of;
            for (const RddOrigin &o : m.origins)
                of.push_back(o.file);
            std::vector<std::array<uint32_t, 3>> spans;
            for (const RddSpan &s : *m.spans)
                spans.push_back({s.file, s.start, s.end});
            marks.push_back({m.row, m.start, m.end, m.timed, m.verdict, m.line, std::string(m.text), of, spans});
        };
        return v;
    }
};

Seen read(const std::string &text)
{
    Seen seen;
    rdd_read_text(text, seen.visitor(), seen.diagnostics);
    return seen;
}

const std::string HEADER = "KORVA Probeworks \"v2.6a\" \"DOORS\" \"RDD file\" \"Fri Feb 27 09:12:44 2026\" \n";

} // namespace

TEST(RddLineTest, ScansCodeAndFieldsAsWritten)
{
    RddOwnedLine line;
    std::string error;
    ASSERT_TRUE(rdd_scan_line("CF \"a\" , \"b \"\"x\"\"\" tail", line, error));
    EXPECT_EQ(line.code, "CF");
    ASSERT_EQ(line.fields.size(), 2u);
    EXPECT_EQ(line.fields[1], "\"b \"\"x\"\"\"");
    EXPECT_EQ(rdd_field_text(line.fields[1]), "b \"x\"");

    ASSERT_TRUE(rdd_scan_line("KORVA Probeworks \"v2.6a\" ", line, error));
    EXPECT_EQ(line.code, "KORVA Probeworks");

    EXPECT_FALSE(rdd_scan_line("EV \"a\" \"b", line, error));
    EXPECT_EQ(error, "field 2 is not closed");
    EXPECT_FALSE(rdd_scan_line("\"a\"", line, error));
    EXPECT_FALSE(rdd_scan_line("X \"a\"", line, error));
    EXPECT_FALSE(rdd_scan_line("", line, error));
}

// Read on into the text after the line (its quotes found 64 bytes at a
// time) or only up to its end, a line scans the same: lines of every length
// around 64 bytes, with a doubled quote and a field left open anywhere.
TEST(RddLineTest, ReadingOnPastTheLineChangesNothing)
{
    for (std::size_t size = 3; size < 140; ++size) {
        for (std::size_t at = 2; at < size; ++at) {
            for (const char *piece : {"\"\"", "\""}) {
                std::string text = "EV ";
                while (text.size() < size)
                    text += "\"f\" ";
                text.resize(size);
                text.replace(at, std::strlen(piece), piece);
                text.resize(size);
                const std::string room = text + std::string(64, '"');
                RddOwnedLine alone;
                RddOwnedLine read_on;
                std::string alone_error;
                std::string read_on_error;
                const std::string_view line(room.data(), size);
                const bool alone_ok = rdd_scan_line(line, alone, alone_error);
                ASSERT_EQ(rdd_scan_line(line, read_on, read_on_error, room.data() + room.size()), alone_ok) << text;
                EXPECT_EQ(read_on.fields, alone.fields) << text;
                EXPECT_EQ(read_on_error, alone_error) << text;
            }
        }
    }
}

TEST(RddLineTest, NumbersAreQuotedDecimalsThatWrapLikeTheEngine)
{
    EXPECT_EQ(rdd_number("\"1300\""), 1300u);
    EXPECT_EQ(rdd_number("\"??\""), 0u);
    EXPECT_EQ(rdd_number("\"-1\""), 0xFFFFFFFFu);
    EXPECT_EQ(rdd_number("\"4294967296\""), 0u);
    EXPECT_FALSE(rdd_number("\"\""));
    EXPECT_FALSE(rdd_number("\"12a\""));
    EXPECT_FALSE(rdd_number("12"));

    // The walk takes a short number in one load from the text around it;
    // it reads every length, sign and damage as rdd_number does digit by digit.
    std::vector<std::string> numbers = {"??", "", "-", "0", "00000000"};
    for (std::size_t digits = 1; digits <= 10; ++digits) {
        const std::string number = std::string("9876543210").substr(0, digits);
        numbers.push_back(number);
        numbers.push_back("-" + number);
        for (std::size_t at = 0; at < digits; ++at)
            for (const char odd : {'/', ':', ' ', '\xB9'}) {
                std::string damaged = number;
                damaged[at] = odd;
                numbers.push_back(damaged);
            }
    }
    std::string text = HEADER;
    for (const std::string &number : numbers)
        text += "EV \"A\" \"I\" \"1\" \"in\" \"" + number + "\" \"7\" \"" + number + "\" \n";
    std::vector<std::optional<uint32_t>> times;
    std::vector<uint32_t> origin_lines;
    RddVisitor visitor;
    visitor.body = [&times](const RddLine &, std::optional<uint32_t> time) { times.push_back(time); };
    visitor.origin = [&origin_lines](const RddOrigin &origin) { origin_lines.push_back(origin.line); };
    RddDiagnostics diagnostics;
    rdd_read_text(text, visitor, diagnostics);
    std::vector<std::optional<uint32_t>> expected;
    for (const std::string &number : numbers)
        if (const std::optional<uint32_t> value = rdd_number("\"" + number + "\""))
            expected.push_back(value);
    EXPECT_EQ(times, expected);
    ASSERT_EQ(origin_lines.size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k)
        EXPECT_EQ(origin_lines[k], *expected[k]);
}

TEST(RddLineTest, OriginPairsFollowTheOwnFieldsOfEachKind)
{
    RddOwnedLine line;
    std::string error;
    const auto split = [&](const std::string &text) {
        EXPECT_TRUE(rdd_scan_line(text, line, error)) << text;
        return rdd_split_origins(line, error);
    };
    ASSERT_TRUE(split("DS \"S\" \"t\" \"f\" \"1\" \"1300\" \"1\" \"11\" \"2\" \"11\" "));
    EXPECT_EQ(line.fields.size(), 5u);
    ASSERT_EQ(line.origins.size(), 2u);
    EXPECT_EQ(line.origins[1].file, 2u);
    EXPECT_EQ(line.origins[1].line, 11u);

    ASSERT_TRUE(split("YI \"1\" \"9\" \"3\" \"9\" "));
    EXPECT_TRUE(line.fields.empty());
    EXPECT_EQ(line.origins.size(), 2u);

    // A line the merge never joins has exactly one pair, whatever its fields look like.
    ASSERT_TRUE(split("EV \"A\" \"I\" \"1\" \"in\" \"1010\" \"1\" \"6\" "));
    EXPECT_EQ(line.fields.size(), 5u);
    EXPECT_EQ(line.origins.size(), 1u);

    EXPECT_FALSE(split("FS \"S\" \"1600\" \"0\" \"1\" "));
    EXPECT_EQ(error, "FS line has 4 fields; expected 3 and origin pairs");
    EXPECT_FALSE(split("XI \"1000\" "));
    EXPECT_FALSE(split("BC "));
    EXPECT_FALSE(split("BC \"x\" \"1\" \"??x\" "));
}

TEST(RddWalkTest, HeaderFilesUnitAndBlocksPlacedPerFile)
{
    const Seen seen = read(HEADER +
                           "SY \"CLOCK\" \"0\" \"250\" \"1000000\" \"1000\" \"ms\" \"1\" \"2\" \n"
                           "CF \"run1.rod\" \"\" \"/w\" \"1234\" \"4321\" \"1\" \"0\" \n"
                           "XI \"1000\" \"1\" \"5\" \"2\" \"5\" \n"
                           "EV \"POWER\" \"IO\" \"24\" \"in\" \"1010\" \"2\" \"6\" \n"
                           "DS \"S1\" \"t\" \"f\" \"7\" \"1050\" \"1\" \"8\" \n"
                           "FS \"S1\" \"1100\" \"2\" \"1\" \"9\" \n"
                           "YI \"1\" \"10\" \"2\" \"10\" \n"
                           "RD \"R1\" \"x\" \"1\" \"5600\" \"1400\" \"1\" \"12\" \n");
    EXPECT_EQ(seen.diagnostics.count, 0u) << seen.diagnostics.first[0];
    ASSERT_EQ(seen.marks.size(), 4u);
    const auto &scenario = seen.marks[1];
    EXPECT_EQ(scenario.start, 1050u);
    EXPECT_EQ(scenario.end, 1100u);
    EXPECT_EQ(scenario.verdict, RddVerdict::inconclusive);
    // Each file's lane gets the part of the block where that file's lines are;
    // the merged start goes to the file whose lines come first.
    const auto &instance = seen.marks[2];
    EXPECT_EQ(instance.row, RddMark::instance);
    EXPECT_EQ(instance.start, 1000u);
    EXPECT_EQ(instance.end, 1010u);
    EXPECT_EQ(instance.spans, (std::vector<std::array<uint32_t, 3>>{{1, 1050, 1100}, {2, 1000, 1010}}));
    EXPECT_EQ(instance.line, 4u);
    EXPECT_EQ(instance.text, "XI \"1000\"");
    EXPECT_EQ(instance.files, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(seen.marks[3].row, RddMark::rendezvous);
    EXPECT_EQ(seen.marks[3].start, 1400u);

    // File 2 ran 90 s after file 1 on the same clock; the FS end time is not
    // aligned and belongs with the file that owns the merged start.
    const Seen joined = read(HEADER + "DS \"S\" \"t\" \"f\" \"1\" \"1300\" \"1\" \"11\" \"2\" \"11\" \n"
                                    "EV \"A\" \"I\" \"1\" \"out\" \"1350\" \"1\" \"15\" \n"
                                    "EV \"A\" \"I\" \"1\" \"out\" \"91350\" \"2\" \"15\" \n"
                                    "SN \"B\" \"I\" \"b\" \"1\" \"0\" \"91310\" \"2\" \"13\" \n"
                                    "FS \"S\" \"1600\" \"0\" \"1\" \"17\" \"2\" \"17\" \n");
    ASSERT_EQ(joined.marks.size(), 3u);
    EXPECT_EQ(joined.marks[2].start, 1300u);
    EXPECT_EQ(joined.marks[2].end, 1600u);
    EXPECT_EQ(joined.marks[2].spans, (std::vector<std::array<uint32_t, 3>>{{1, 1300, 1600}, {2, 91310, 91350}}));
}

// A block holding lines of many files, each line another file (an instance
// of a large merge in time order): every file still gets its own span.
TEST(RddWalkTest, BlockOfManyFilesPlacesEachFile)
{
    constexpr uint32_t files = 300;
    std::string pairs;
    for (uint32_t file = 1; file <= files; ++file)
        pairs += " \"" + std::to_string(file) + "\" \"2\"";
    std::string text = HEADER + "XI \"1000\"" + pairs + " \n";
    for (uint32_t file = files; file >= 1; --file)
        text += "EV \"A\" \"I\" \"1\" \"in\" \"" + std::to_string(2000 + file) + "\" \"" + std::to_string(file) +
                "\" \"3\" \n";
    text += "EV \"A\" \"I\" \"1\" \"in\" \"5000\" \"7\" \"4\" \nYI" + pairs + " \n";
    const Seen seen = read(text);
    EXPECT_EQ(seen.diagnostics.count, 0u) << seen.diagnostics.first[0];
    ASSERT_EQ(seen.marks.back().row, RddMark::instance);
    std::vector<std::array<uint32_t, 3>> expected;
    for (uint32_t file = 1; file <= files; ++file)
        expected.push_back({file, 2000 + file, 2000 + file});
    expected[0] = {1, 1000, 2001}; // the file whose lines come first owns the merged start
    expected[6] = {7, 2007, 5000};
    EXPECT_EQ(seen.marks.back().spans, expected);
}

TEST(RddWalkTest, DamageIsReportedWithItsLineAndTheRestIsRead)
{
    const Seen seen = read("KORVA Probeworks \"v2.6a\" \"DOORS\" \"ROD file\" \"x\" \r\n"
                           "EV \"A\" \"I\" \"1\" \"in\" \"1010\" \"1\" \r\n"
                           "DS \"S1\" \"t\" \"f\" \"7\" \"1050\" \"1\" \"8\" \r\n"
                           "YI \"1\" \"4\" \r\n"
                           "EV \"A\" \"I\" \"1\" \"in\" \"x\" \"1\" \"5\" \r\n"
                           "EV \"B\" \"I\" \"1\" \"in\" \"1200\" \"1\" \"6\" \r\n"
                           "XI \"1300\" \"1\" \"7\" \n"
                           "FS \"S1\" \"1400\" \"1\" \"1\" \"8\" \n"
                           "DT \"1500\" \"1\" \"9\" \n"
                           "EV \"C\" \"I\" \"1\" \"in\" \"1600\" \"1\" \"10\"");
    const std::vector<std::string> expected = {
        "line 1: not an RDD header line",
        "line 2: EV line: origin pair at field 5 names file 1010; files are numbered 1 to 1000",
        "line 4: YI line without an open XI block",
        "line 5: EV line: time field 5 is not a number",
        "line 7: XI block never closed (line 8 closes an outer DS block)",
        "line 9: DT block never closed",
    };
    EXPECT_EQ(seen.diagnostics.first, expected);
    EXPECT_EQ(seen.diagnostics.count, expected.size());
    // EV B, the unclosed XI (unknown end), S1 failed, EV C.
    ASSERT_EQ(seen.marks.size(), 4u);
    EXPECT_EQ(seen.marks[1].row, RddMark::instance);
    EXPECT_EQ(seen.marks[1].start, 1300u);
    EXPECT_EQ(seen.marks[2].verdict, RddVerdict::failed);
    EXPECT_EQ(seen.marks[2].end, 1400u);
    EXPECT_EQ(seen.marks[3].start, 1600u);

    // An unclosed scenario has no verdict; a block without time is not placed.
    const Seen unclosed =
        read(HEADER + "XI \"??x\" \"1\" \"1\" \nYI \"1\" \"2\" \nDS \"S\" \"t\" \"f\" \"1\" \"50\" \"1\" \"3\" \n");
    ASSERT_EQ(unclosed.marks.size(), 2u);
    EXPECT_FALSE(unclosed.marks[0].timed);
    EXPECT_EQ(unclosed.marks[1].verdict, RddVerdict::unknown);
    EXPECT_EQ(unclosed.diagnostics.count, 2u);
}

TEST(RddWalkTest, DeepNestingNeedsNoRecursion)
{
    std::string text = HEADER;
    const int depth = 100000;
    for (int i = 0; i < depth; ++i)
        text += "XI \"" + std::to_string(i) + "\" \"1\" \"" + std::to_string(i + 1) + "\" \n";
    for (int i = 0; i < depth; ++i)
        text += "YI \"1\" \"1\" \n";
    const Seen seen = read(text);
    ASSERT_EQ(seen.marks.size(), static_cast<std::size_t>(depth));
    EXPECT_EQ(seen.marks.back().start, 0u);
    EXPECT_EQ(seen.marks.back().end, static_cast<uint32_t>(depth - 1));
    EXPECT_EQ(seen.diagnostics.count, 0u);
}

namespace {

// Every body line as the visitor gets it, and every diagnostic, as text.
std::vector<std::string> walk_record(const std::string &text)
{
    std::vector<std::string> record;
    RddDiagnostics diagnostics;
    diagnostics.kept = SIZE_MAX;
    RddVisitor visitor;
    visitor.body = [&record](const RddLine &line, std::optional<uint32_t> time) {
        std::string entry = std::to_string(line.number) + ' ' + std::string(line.code);
        for (const std::string_view field : line.fields)
            entry += '|' + std::string(field);
        for (const RddOrigin &origin : line.origins)
            entry += ' ' + std::to_string(origin.file) + ':' + std::to_string(origin.line);
        entry += time ? " @" + std::to_string(*time) : " -";
        record.push_back(std::move(entry));
    };
    rdd_read_text(text, visitor, diagnostics);
    record.insert(record.end(), diagnostics.first.begin(), diagnostics.first.end());
    return record;
}

} // namespace

// Short lines are cut and split from one vector pass over the 64 bytes from
// their start; longer ones, the last ones of the text, and every line where
// the vector pass is off, search their end and quotes on their own. Both
// give the same lines: every length around 64 bytes, with a doubled quote or
// a field left open anywhere, CRLF endings, a small report and one large
// enough to be scanned on a thread of its own.
TEST(RddWalkTest, VectorAndPortableScansGiveTheSameLines)
{
    std::string text = HEADER;
    for (std::size_t size = 3; size < 140; ++size) {
        for (std::size_t at = 3; at < size; at += 5) {
            for (const char *piece : {"\"\"", "\""}) {
                std::string line = "EV ";
                while (line.size() < size)
                    line += "\"" + std::to_string(line.size()) + "\" ";
                line.resize(size);
                line.replace(at, std::strlen(piece), piece);
                line.resize(size);
                text += line + (at % 2 ? "\r\n" : "\n");
            }
        }
        text += "EV \"A\" \"I\" \"1\" \"in\" \"" + std::string(size, '7') + "\" \"1\" \"" + std::to_string(size) +
                "\" \n";
    }
    std::string large = text;
    while (large.size() < (std::size_t(9) << 20))
        large += text.substr(HEADER.size());
    for (const std::string *report : {&text, &large}) {
        quote_search_portable(true);
        const std::vector<std::string> portable = walk_record(*report);
        quote_search_portable(false);
        const std::vector<std::string> vector = walk_record(*report);
        ASSERT_GT(portable.size(), 1000u);
        EXPECT_EQ(vector, portable);
    }
}
