// Loading: the scan of a ROD file (numbers, filter, the order of the faults
// it defers) and the shape of the tree the structure passes make.
#include "rod_text.h"

#include "e2e_util.h"

#include "exec.h"
#include "exit_capture.h"
#include "i18n_zrm_msg.h"
#include "rodadnam.h"
#include "rodgen.h"
#include "rodload.h"

#include <gtest/gtest.h>

#include <climits>
#include <algorithm>
#include <filesystem>
#include <set>
#include <string_view>
#include <vector>
#include <unistd.h>

namespace {

const bool catalog_ready = (catalog_fill(), true);

using rodtext::load;

const std::string UNEXPTEOF = "Unexpected end of file";

// A file around `body`: an RE run first, a DB block last.
std::string framed(const std::string &body) { return "RE \"r\" \"1\" \"0\"\n" + body + "DB \"d\"\nBF \"e\"\n"; }

std::string body_shape(const std::string &body, bool time_mode = false)
{
    return rodtext::chain_shape(load(framed(body), time_mode).tree);
}

TEST(Scan, NumbersReadAsScanfReadsThem)
{
    struct Row {
        const char *field;
        bool fits;
        int32_t value;
    };
    const Row rows[] = {
        {"\"??\"", true, 0},          {"\"\"", true, 0},           {"\"42\"", true, 42},
        {"\" +7\"", true, 7},         {"\"0007\"", true, 7},       {"\"12ab\"", true, 12},
        {"\"- 5\"", true, 0},         {"\"x1\"", true, 0},         {"\"-2147483648\"", true, INT32_MIN},
        {"\"2147483647\"", true, INT32_MAX}, {"\"2147483648\"", false, 0}, {"\"-2147483649\"", false, 0},
        {"\"99999999999999999999999\"", false, 0},
        // Around the inline path (up to nine digits between quotes).
        {"\"0\"", true, 0},           {"\"999999999\"", true, 999999999}, {"\"1000000000\"", true, 1000000000},
        {"\"12", true, 12},          {"\"1\"2\"", true, 1},        {"\"12 \"", true, 12},
    };
    for (const Row &row : rows) {
        for (const bool inline_path : {true, false}) {
            int32_t value = -1;
            const bool fits = inline_path ? field_number(row.field, value) : field_number_general(row.field, value);
            EXPECT_EQ(fits, row.fits) << row.field;
            if (row.fits) {
                EXPECT_EQ(value, row.value) << row.field;
            }
        }
    }
}

// The scan meets the faults of the later passes on the way and keeps them
// for the end of the text: which one ends the run is still that of the
// first pass that would meet one.
TEST(Scan, DeferredFaultsKeepTheirPassOrder)
{
    struct Row {
        const char *name;
        std::string body;
        std::string message;
    };
    const Row rows[] = {
        {"damaged piece after an unknown code", "ZQ \"a\" \"b\"\nCH \"open\n", UNEXPTEOF},
        {"unknown code after a short line", "CH \"a\"\nZQ \"a\" \"b\"\n", "ERRINTERN"},
        {"unknown code after a huge number", "DT \"5000000000\" \"1\"\nZQ \"a\" \"b\"\n", "ERRINTERN"},
        {"comments at the end after an unknown code", "ZQ \"a\" \"b\"\nCO \"c\" \"1\"\n", UNEXPTEOF},
        {"made code read from a file", "FQ \"a\" \"b\"\n", "ERRINTERN"},
        {"code of one letter", "C \"a\" \"b\"\n", UNEXPTEOF},
        {"header line only", "", UNEXPTEOF},
    };
    for (const Row &row : rows)
        EXPECT_EXIT(load(row.body), ::testing::ExitedWithCode(7), row.message) << row.name;
}

TEST(Scan, FilterKeepsDropsAndFollowsTheCommentRule)
{
    // Deleted codes go in both modes, XI blocks only with -TIME; comments
    // stay with the DW or SN run after them and go before anything else.
    const std::string body = "PT \"p\" \"1\"\nUN \"u\" \"1\"\nCO \"c\" \"1\"\nXX \"x\" \"1\"\nCO \"c\" \"1\"\n"
                             "SN \"s\" \"c\" \"v\" \"1\" \"2\" \"30\"\nCH \"a\" \"1\"\nXI \"40\" \"1\" \"2\"\n"
                             "FT \"1\" \"45\"\nYI \"50\" \"1\"\n";
    EXPECT_EQ(body_shape(body), "((RE FR)) (_ (XX TP) (CO SN CH FN FO) (XI FT YI)) ((DB BF))");
    EXPECT_EQ(body_shape(body, true), "((RE FR)) ((XX TP) (CO SN CH FN FO) FT) ((DB BF))");
}

TEST(Structure, ClosingLinesComeInPassOrder)
{
    const std::string run = "DW \"w\" \"c\" \"10\" \"4\" \"10\"\nDX \"x\" \"1\"\nCH \"a\" \"1\"\n"
                            "EV \"e\" \"c\" \"1\" \"in\" \"20\"\nCH \"b\" \"1\"\nSN \"s\" \"c\" \"v\" \"1\" \"2\" \"30\"\n"
                            "CH \"c\" \"1\"\nXX \"x\" \"1\"\n";
    EXPECT_EQ(body_shape(run), "((RE FR)) ((DW DX CH FX FF) (EV CH FV) FW (SN CH FN) (XX TP)) ((DB BF))");
    EXPECT_EQ(body_shape("CO \"a\" \"1\"\nCO \"b\" \"1\"\n" + run),
              "((RE FR)) ((CO CO DW DX CH FX FF FO) (EV CH FV) FW (SN CH FN) (XX TP)) ((DB BF))");
    // The FW line repeats its DW line with fields 3 and 5 raised by field 4.
    const std::string written = rodtext::written(load(framed(run)).tree);
    EXPECT_NE(written.find("FW \"w\" \"c\" \"14\" \"1\" \"2\" \n"), std::string::npos) << written;
}

TEST(Structure, SelectionRunsAndSplit)
{
    // PP and DA blocks without a selected line of their own go (not in the
    // first part); runs take an XI, a DS and a DT or XE block each.
    const std::string body = "XI \"1\" \"0\" \"0\"\nYI \"2\" \"1\"\nDS \"s\" \"t\" \"f\" \"1\" \"3\" \"0\" \"1\"\n"
                             "FS \"s\" \"4\" \"0\" \"1\"\nDT \"5\" \"1\"\nYT \"6\" \"1\"\nXI \"7\" \"0\" \"0\"\n"
                             "YI \"8\" \"1\"\nXE \"9\" \"1\"\nFE \"10\" \"1\"\n"
                             "PP \"0\" \"1\"\nPQ \"1\" \"2\"\nDA \"x\" \"c\" \"0\" \"1\" \"5\"\nPA \"0\" \"1\"\n";
    EXPECT_EQ(body_shape(body),
              "((RE FR)) ((((XI YI) (DS FS) (DT YT)) ((XI YI) (XE FE))) (PP TP PQ FQ)) ((DB BF))");
    EXPECT_EQ(rodtext::chain_shape(load("RE \"r\" \"1\" \"0\"\nDB \"d\"\nBF \"e\"\n").tree), "((RE FR)) _ ((DB BF))");
    EXPECT_EXIT(load("RE \"r\" \"1\" \"0\"\n"), ::testing::ExitedWithCode(7), UNEXPTEOF);
}

// Unselected blocks go wherever they lie but in the first part: heading the
// body, side by side, alone in the last part.
TEST(Structure, PruningTakesEveryUnselectedBlockButTheFirstPartOnes)
{
    const std::string unselected = "DA \"x\" \"c\" \"0\" \"1\" \"5\"\nPA \"0\" \"1\"\n";
    const std::string text = "XI \"1\" \"0\" \"0\"\n" + unselected + "YI \"2\" \"1\"\n" + unselected + unselected +
                             "CH \"a\" \"1\"\n" + unselected + "CH \"b\" \"1\"\nDA \"x\" \"c\" \"0\" \"1\" \"5\"\n";
    EXPECT_EQ(rodtext::chain_shape(load(text).tree), "((((XI (DA PA FA) YI)))) (CH CH) _");
    model_release();
}

TEST(Structure, DeepNestingNeedsNoDeepStack)
{
    constexpr int DEPTH = 200000;
    std::string body;
    for (int level = 0; level < DEPTH; ++level)
        body += "XI \"1\" \"2\" \"3\"\n";
    for (int level = 0; level < DEPTH; ++level)
        body += "YI \"4\" \"5\"\n";
    const std::string written = rodtext::written(load(framed(body)).tree);
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 2 * DEPTH + 3);
    model_release();
}

// Every ROD text of the behaviour corpus's inputs, `check` called on each.
template <typename Check> int for_each_corpus_text(Check check)
{
    const std::filesystem::path inputs = source_dir() + "/tests/corpus/inputs";
    int files = 0;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(inputs)) {
        if (!entry.is_regular_file())
            continue;
        const std::string data = read_file(entry.path());
        std::string_view rest = std::string_view(data).substr(data.empty() ? 0 : 1);
        for (;;) {
            const std::size_t at = rest.find("\n@@@@\n");
            check(rest.substr(0, at), entry.path().string());
            ++files;
            if (at == std::string_view::npos)
                break;
            rest.remove_prefix(at + 6);
        }
    }
    return files;
}

// What a scan keeps of a text: every line record and its bytes, the header
// field, and how it ended.
struct Scanned {
    std::vector<std::string> lines;
    std::string header;
    int status = -1;
    std::string err;
    bool operator==(const Scanned &) const = default;
};

Scanned scanned(std::string_view text, bool portable, bool time_mode, std::size_t cut = 0)
{
    quote_search_portable(portable);
    Scanned result;
    const Ending ending = run_to_end([&] {
        for (const LineId id :
             rod_scan_bytes(rodtext::bytes_of(text), text.size(), 1, time_mode, true, result.header, cut)) {
            const Line &line = line_at(id);
            result.lines.emplace_back(reinterpret_cast<const char *>(&line), sizeof line);
            if (line.has_text)
                result.lines.emplace_back(line_bytes(line));
        }
    });
    result.status = ending.status;
    result.err = ending.err;
    quote_search_portable(false);
    model_release();
    return result;
}

void expect_same_scans(std::string_view text, const std::string &what)
{
    for (const bool time_mode : {false, true})
        EXPECT_EQ(scanned(text, true, time_mode), scanned(text, false, time_mode)) << what;
}

// The quote search sixteen bytes at a time and byte by byte keep the same
// lines and end the same way: on every ROD file of the behaviour corpus's
// inputs, and on lines around the piece limit cut at every byte, a quote
// at every place around the cut and the 64-byte steps of the search.
TEST(Scan, VectorAndPortableQuoteSearchesAgree)
{
    EXPECT_GT(for_each_corpus_text(expect_same_scans), 300);
    for (std::size_t length = ROD_LINE_PIECE - 70; length <= ROD_LINE_PIECE + 70; ++length) {
        for (const std::size_t quote : {std::size_t{2}, length / 2, ROD_LINE_PIECE - 2, ROD_LINE_PIECE - 1,
                                        ROD_LINE_PIECE, ROD_LINE_PIECE + 1, length - 1}) {
            std::string line = "CH \"" + std::string(length - 5, 'x') + "\"\n";
            if (quote < line.size() - 1)
                line[quote] = '"';
            expect_same_scans(rodtext::HEADER + line + "CH \"a\" \"b\"\n",
                              "line of " + std::to_string(length) + ", quote at " + std::to_string(quote));
        }
    }
    expect_same_scans(rodtext::HEADER + std::string("CH \"a\"\"\"\"\" \"\"\"\"\" \"b\"\"\n"), "doubled quotes");
    // Short lines, whose end and fields come from the marks of the 64 bytes
    // from their start: their newline, a CR before it, a doubled quote, a
    // field left open and a quote in the code at every place around the
    // 64th byte, with and without 64 bytes after the line's start.
    const std::string after = "CH \"a\" \"b\"\nCH \"c\" \"d\"\nCH \"e\" \"f\"\nCH \"g\" \"h\"\nCH \"i\"\n";
    for (std::size_t length = 4; length <= 70; ++length) {
        const std::string plain = "CH \"" + std::string(length - 4, 'x') + "\"";
        std::vector<std::string> lines = {plain + "\n", plain + "\r\n", "C\"" + plain.substr(2) + "\n",
                                          "CH \"" + std::string(length - 3, 'y') + "\n"};
        for (const std::size_t quote : {length - 3, length - 2, length - 1}) {
            std::string doubled = plain;
            if (quote > 3 && quote < doubled.size())
                doubled[quote] = '"';
            lines.push_back(doubled + "\"\n");
        }
        for (const std::string &line : lines) {
            const std::string what = "line \"" + line + "\"";
            expect_same_scans(rodtext::HEADER + line + after, what);
            expect_same_scans(rodtext::HEADER + line, what + " at the end");
        }
    }
}

// Cut after a newline, the second half scanned on a helper thread beside
// the first keeps the same lines and ends the same way as one scan: at up
// to `most` newlines spread over the text, the first and last among them.
void expect_halves_scan_as_one(std::string_view text, const std::string &what, std::size_t most = 6)
{
    std::vector<std::size_t> cuts;
    for (std::size_t at = text.find('\n'); at != std::string_view::npos && at + 1 < text.size();
         at = text.find('\n', at + 1))
        cuts.push_back(at + 1);
    const std::size_t tries = std::min(most, cuts.size());
    for (std::size_t k = 0; k < tries; ++k) {
        const std::size_t cut = cuts[tries == 1 ? 0 : k * (cuts.size() - 1) / (tries - 1)];
        for (const bool time_mode : {false, true})
            EXPECT_EQ(scanned(text, false, time_mode, cut), scanned(text, false, time_mode))
                << what << ", cut at " << cut << (time_mode ? ", -TIME" : "");
    }
}

TEST(Scan, TwoHalvesScanAsOne)
{
    EXPECT_GT(for_each_corpus_text([](std::string_view text, const std::string &what) {
                  expect_halves_scan_as_one(text, what);
              }),
              300);
    // What one scan carries over a newline: comment runs kept or dropped by
    // the line after them (or left open at the end), the time TP lines take
    // from the last timed line, line numbers, a damaged piece on either
    // side of a deferred fault, lines cut at the piece limit, CR LF ends.
    const std::string timed = "DT \"7\" \"1\"\nYT \"8\" \"1\"\n";
    const std::string long_line = "CH \"" + std::string(ROD_LINE_PIECE, 'x') + "\"\n";
    const std::string bodies[] = {
        "CO \"c\" \"1\"\nCO \"d\" \"1\"\nCO \"e\"\nSN \"s\" \"c\" \"v\" \"1\" \"2\" \"30\"\nCH \"a\" \"1\"\n",
        "CO \"c\" \"1\"\nCO \"d\"\nXX \"x\" \"1\"\nCO \"c\" \"1\"\nCO \"d\" \"1\"\n",
        "XX \"x\" \"1\"\n" + timed + "XX \"y\" \"2\"\nER \"e\" \"3\"\n" + timed + "EX \"z\" \"4\"\n",
        "ZQ \"a\" \"b\"\nCH \"a\" \"1\"\nCH \"open\nCH \"b\" \"1\"\n",
        "CH \"open\nCH \"a\" \"1\"\nZQ \"a\" \"b\"\nCH \"open\n",
        "CH \"a\"\nCH \"b\" \"1\"\nZQ \"a\" \"b\"\nDT \"5000000000\" \"1\"\n",
        long_line + long_line.substr(0, ROD_LINE_PIECE) + "\n" + timed + long_line,
        "CH \"a\" \"1\"\r\nXX \"x\" \"1\"\r\n" + long_line.substr(0, ROD_LINE_PIECE - 1) + "\r\n" + timed,
    };
    for (const std::string &body : bodies)
        expect_halves_scan_as_one(rodtext::HEADER + framed(body), body.substr(0, 40), SIZE_MAX);
}

TEST(Loading, PrunedBlocksLeaveTheirRecordsToTheNextFile)
{
    const std::string pruned = "DA \"x\" \"c\" \"0\" \"1\" \"5\"\nPA \"0\" \"1\"\nPP \"0\" \"1\"\nPQ \"0\" \"2\"\n";
    const std::string selected = "DA \"1\" \"c\" \"0\" \"1\" \"5\"\nPA \"0\" \"1\"\nXX \"x\" \"1\"\n";
    model_release();
    const std::string alone = rodtext::written(load(framed(selected), false, 2).tree);
    model_release();
    const RodFile first = load(framed(pruned));
    const std::string first_written = rodtext::written(first.tree);
    EXPECT_EQ(rodtext::chain_shape(first.tree), "((RE FR)) _ ((DB BF))");

    // The next five lines made take the DA, PA, PP, TP and PQ records; the
    // sixth is fresh room.
    const std::set<LineId> kept(first.lines.lines.begin(), first.lines.lines.end());
    ScratchVector<LineId> made;
    for (int k = 0; k < 5; ++k)
        made.push_back(line_new());
    for (LineId id : made)
        EXPECT_EQ(kept.count(id), 0u) << id;
    EXPECT_LT(*std::max_element(made.begin(), made.end()), *kept.rbegin()); // among the first file's
    EXPECT_GT(line_new(), *std::max_element(made.begin(), made.end()));
    lines_recycle(made);

    const RodFile second = load(framed(selected), false, 2);
    EXPECT_EQ(rodtext::written(second.tree), alone);
    EXPECT_EQ(rodtext::written(first.tree), first_written);
    model_release();
}

// What a load of `text` gives the merge: the report written, and the lines
// its synchronisation takes, by code.
std::string loaded_as_text(const std::string &text, bool in_halves)
{
    const RodFile rod = rod_load_bytes(rodtext::bytes_of(text), text.size(), 1, false, true, in_halves);
    std::string result = rodtext::written(rod.tree) + "\nCRC " + std::to_string(rod.crc);
    const FileLines &lines = rod.lines;
    for (const auto *list : {&lines.sy_lines, &lines.sy_kind, &lines.body_rd}) {
        result += "\n" + std::to_string(list->size()) + ":";
        for (const LineId line : *list)
            result += " " + rodtext::code_of(line) + std::to_string(line_at(line).number);
    }
    result += "\n" + std::to_string(lines.lines.size()) + " " + std::to_string(lines.sy_in_first_part) +
              std::to_string(lines.ie_in_first_part);
    model_release();
    return result;
}

// A big file loaded alone is checked, scanned and structured in halves on
// two threads, and its lines taken while its tree is regrouped.
TEST(Loading, BigFileInHalvesLoadsAsOnOneThread)
{
    GenParams params;
    params.scenario = GenScenario::HugeFile;
    params.files = 1;
    params.bytes_per_file = 3'000'000;
    const std::string text = gen_rod_text(params, 0);
    const std::string halves = loaded_as_text(text, true);
    const std::string one = loaded_as_text(text, false);
    // Megabytes apart: shown from their first difference, not diffed.
    const auto differs = std::mismatch(halves.begin(), halves.end(), one.begin(), one.end()).first;
    const auto at = static_cast<std::size_t>(differs - halves.begin());
    EXPECT_TRUE(halves == one) << "from byte " << at << ":\n" << halves.substr(at, 120) << "\n" << one.substr(at, 120);
}

// A ROD file that opens but cannot be read (a directory) ends the run with
// FICNOTOPN, its stream closed before the message.
TEST(Loading, UnreadableFileIsClosedBeforeTheFatalMessage)
{
    static int open_streams = 0;
    set_resource_tracker({nullptr, nullptr, [](FILE *) { ++open_streams; }, [](FILE *) { --open_streams; }});
    const std::string dir = std::filesystem::temp_directory_path() / ("rodload_" + std::to_string(::getpid()));
    std::filesystem::create_directory(dir);
    clear_pair_tables();
    set_rod_name(0, dir);
    const Ending ending = run_to_end([] { rod_load_all(false); });
    set_resource_tracker({});
    EXPECT_EQ(ending.status, 7);
    EXPECT_EQ(ending.err, "Molvex-F-FICNOTOPN,  File " + dir + " access problem\n");
    EXPECT_EQ(open_streams, 0) << "the stream was left open at the end";
    clear_pair_tables();
    model_release();
    std::filesystem::remove(dir);
}

} // namespace
