#include "rodload.h"

#include "exec.h"
#include "i18n_zrm_msg.h"
#include "pprint.h"
#include "rodbase.h"
#include "rodprd.h"
#include "rod_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

std::vector<std::string> items_of(const Objet *list)
{
    std::vector<std::string> out;
    for (; list; list = list->link.next) {
        const Objet *x = list->head.item;
        if (x->kind == OBJ_STRING)
            out.emplace_back(x->head.text, x->link.length);
        else
            out.push_back("#" + std::to_string(x->link.value) + "/" + std::to_string(x->tag));
    }
    return out;
}

std::vector<std::string> scan(const std::string &text)
{
    Objet *line = rod_scan_line(text);
    std::vector<std::string> out = items_of(line);
    obj_free(line);
    return out;
}

using Strings = std::vector<std::string>;

std::filesystem::path temp_dir()
{
    const auto dir = std::filesystem::temp_directory_path() /
                     ("rodload_test_" + std::to_string(::getpid()) + "_" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
    return dir;
}

std::string write_text(const std::filesystem::path &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
}

// Lines of a file as read by rod_read_lines (or another reader).
std::vector<Strings> read_lines(const std::string &path, Objet *(*reader)(Objet *) = rod_read_lines)
{
    Objet *name = str_new(path.data(), path.size());
    Objet *mode = str_new("r", 1);
    Objet *stream = stream_open(name, mode);
    Objet *lines = reader(stream);
    stream_close(stream);
    std::vector<Strings> out;
    for (Objet *cell = lines; cell; cell = cell->link.next)
        out.push_back(items_of(cell->head.item));
    for (Objet *x : {stream, name, mode, lines})
        obj_free(x);
    return out;
}

// The smallest report body that the structuring passes take: a title run
// and a summary block, with `extra` lines inside the block.
std::string rod_body(const std::string &title, const std::string &extra = "")
{
    return "RE \"" + title + "\" \"t\" \"t.tds\" \"3.1\"\nSY \"CLK\" \"0\" \"8400\" \"1000000\" \"1000\" \"ms\"\n"
           "DB \"SUMMARY\" \"x\"\n" + extra + "BF \"SUMMARY\" \"end\"\n";
}

Objet *captured_headers = nullptr;

Objet *keep_header_lines(Objet *header_lines, Objet *report)
{
    captured_headers = header_lines;
    return report;
}

std::string write_report(Objet *report, const std::filesystem::path &path)
{
    Objet *name = str_new(path.c_str(), std::strlen(path.c_str()));
    Objet *mode = str_new("w", 1);
    Objet *stream = stream_open(name, mode);
    write_rdd_lines(stream, report);
    stream_close(stream);
    for (Objet *x : {stream, name, mode})
        obj_free(x);
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Loading : public ::testing::Test {
protected:
    void SetUp() override
    {
        catalog_fill();
        keywords_init();
        dir = temp_dir();
    }
    void TearDown() override
    {
        for (int slot = 0; slot < PAIR_TABLE_SIZE; ++slot)
            set_rod_name(slot, "");
        obj_free(captured_headers);
        captured_headers = nullptr;
        keywords_release();
        std::filesystem::remove_all(dir);
    }
    std::filesystem::path dir;
};

} // namespace

TEST(Scanner, FieldsKeepTheirQuotesAndDoubledQuotes)
{
    EXPECT_EQ(scan("CF \"a\" \"b\"\n"), (Strings{"CF", "\"a\"", "\"b\""}));
    EXPECT_EQ(scan("SY \"say \"\"hi\"\"\"\n"), (Strings{"SY", "\"say \"\"hi\"\"\""}));
    // Adjacent quoted texts are one field with an escaped quote; a blank separates them.
    EXPECT_EQ(scan("SY \"a\"\"b\"\n"), (Strings{"SY", "\"a\"\"b\""}));
    EXPECT_EQ(scan("SY \"a\" \"b\"\n"), (Strings{"SY", "\"a\"", "\"b\""}));
}

TEST(Scanner, TextOutsideQuotesIsIgnored)
{
    EXPECT_EQ(scan("SY    \"a\" , \"b\",x \"\" trailing\n"), (Strings{"SY", "\"a\"", "\"b\"", "\"\""}));
    EXPECT_EQ(scan("RE\n"), (Strings{"RE"}));
    EXPECT_EQ(scan("RE"), (Strings{"RE"}));
    EXPECT_EQ(scan("  XI \"1\"\n"), (Strings{"  XI", "\"1\""}));
    EXPECT_EQ(scan("SY\"a\""), (Strings{"SY", "\"a\""}));
}

TEST(Scanner, CodeLength)
{
    const struct {
        const char *text;
        long length;
    } cases[] = {{"SY \"a\"", 2},  {"SY   \n", 2}, {"ABC", 3}, {"  AB \"", 4},
                 {"\"a\"", 0},      {"\n", 0},      {"X \"a\"", -1}, {"   \"", -1}};
    for (const auto &c : cases)
        EXPECT_EQ(code_length(c.text, std::strlen(c.text), 0), c.length) << c.text;
    EXPECT_EQ(code_length("SY", 1, 0), 0 - 1); // only one byte in view
}

TEST(Scanner, QuoteFinders)
{
    const std::string text = "SY \"a\"\"b\" \"c";
    EXPECT_EQ(find_quote(text.data(), text.size(), 0), 3);
    EXPECT_EQ(find_quote(text.data(), text.size(), 11), -1);
    EXPECT_EQ(find_closing_quote(text.data(), text.size(), 3), 8);
    EXPECT_EQ(find_closing_quote(text.data(), text.size(), 10), -1);
    // A quote in the last byte closes the field.
    EXPECT_EQ(find_closing_quote("\"x\"", 3, 0), 2);
}

TEST(Scanner, UnterminatedFieldAndShortCodesEndTheRun)
{
    catalog_fill();
    for (const char *text : {"SY \"a\" \"b\n", "\n", "\"AB\" \"c\"\n", "X \"a\"\n", "   \n"})
        EXPECT_EXIT(scan(text), ::testing::ExitedWithCode(7), "Molvex-F-UNEXPTEOF,  Unexpected end of file")
            << text;
}

TEST_F(Loading, LongLinesAreReadInPiecesAndCrLfLikeLf)
{
    const std::string first = "CO \"x\"" + std::string(ROD_LINE_PIECE - 6, 'y');
    const std::string rest = std::string(881, 'z');
    const auto lines = read_lines(write_text(dir / "a.rod", first + rest + "\r\nSY \"1\"\r\nRE \"2\""));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], (Strings{"CO", "\"x\""}));
    EXPECT_EQ(lines[1], Strings{rest});
    EXPECT_EQ(lines[2], (Strings{"SY", "\"1\""}));
    EXPECT_EQ(lines[3], (Strings{"RE", "\"2\""}));

    // A line cut exactly before its newline gives no extra line.
    const std::string exact = "SY" + std::string(ROD_LINE_PIECE - 2, ' ');
    EXPECT_EQ(read_lines(write_text(dir / "b.rod", exact + "\nRE\n")), (std::vector<Strings>{{"SY"}, {"RE"}}));
    EXPECT_TRUE(read_lines(write_text(dir / "c.rod", "")).empty());
}

TEST_F(Loading, NumbersEveryLineAndCountsItsFields)
{
    Objet *lines = list3(rod_scan_line("SY \"a\" \"b\"\n"), rod_scan_line("RE\n"), rod_scan_line("IT \"c\"\n"));
    Objet *file_number = int_new(3);
    EXPECT_EQ(number_lines(file_number, lines), lines);
    EXPECT_EQ(file_number->tag, 1);
    EXPECT_EQ(items_of(lines->head.item), (Strings{"SY", "\"a\"", "\"b\"", "#3/3", "#1/2"}));
    EXPECT_EQ(items_of(lines->link.next->head.item), (Strings{"RE", "#3/3", "#2/2"}));
    EXPECT_EQ(items_of(lines->link.next->link.next->head.item), (Strings{"IT", "\"c\"", "#3/3", "#3/2"}));
    EXPECT_EQ(lines->head.item->head.item->count, 2);
    EXPECT_EQ(lines->link.next->head.item->head.item->count, 0);
    EXPECT_EQ(lines->link.next->link.next->head.item->head.item->count, 1);
    obj_free(file_number);
    obj_free(lines);
}

TEST_F(Loading, SlotsGiveFileNumbersAndHeadersAreKeptApart)
{
    set_rod_name(0, write_text(dir / "one.rod", "HD \"h\" \"v1\"\n" + rod_body("a")));
    set_rod_name(2, write_text(dir / "three.rod", "HD \"h\" \"v3\"\n" + rod_body("b", "BC \"n\" \"2\"\n")));
    Objet *report = rod_load_all(false, keep_header_lines);

    ASSERT_NE(captured_headers, nullptr);
    EXPECT_EQ(items_of(captured_headers->head.item), (Strings{"HD", "\"h\"", "\"v1\""}));
    EXPECT_EQ(items_of(captured_headers->link.next->head.item), (Strings{"HD", "\"h\"", "\"v3\""}));
    EXPECT_EQ(captured_headers->link.next->link.next, nullptr);

    const std::string written = write_report(report, dir / "out.rdd");
    for (const char *expected :
         {"RE \"a\" \"t\" \"t.tds\" \"3.1\" \"1\" \"1\" \n", "DB \"SUMMARY\" \"x\" \"1\" \"3\" \n",
          "BF \"SUMMARY\" \"end\" \"1\" \"4\" \n", "RE \"b\" \"t\" \"t.tds\" \"3.1\" \"3\" \"1\" \n",
          "BC \"n\" \"2\" \"3\" \"4\" \n", "BF \"SUMMARY\" \"end\" \"3\" \"5\" \n"})
        EXPECT_NE(written.find(expected), std::string::npos) << expected << written;
    EXPECT_LT(written.find("RE \"a\""), written.find("RE \"b\""));
    obj_free(report);
}

TEST_F(Loading, MissingFileStopsWithFicnotopnNamingIt)
{
    for (int slot = 0; slot < 5; ++slot)
        set_rod_name(slot, write_text(dir / (std::to_string(slot) + ".rod"), "HD \"h\" \"v\"\n" + rod_body("a")));
    const std::string missing = (dir / "gone.rod").string();
    set_rod_name(5, missing);
    EXPECT_EXIT(rod_load_all(false, keep_header_lines), ::testing::ExitedWithCode(7),
                "Molvex-F-FICNOTOPN,  File " + missing + " access problem");
}

TEST_F(Loading, EmptyOrHeaderOnlyFilesAndShortFirstHeadersEndTheRun)
{
    for (const std::string &content : {std::string(), std::string("HD \"h\" \"v\"\n"), "HD \"h\"\n" + rod_body("a")}) {
        set_rod_name(0, write_text(dir / "bad.rod", content));
        EXPECT_EXIT(rod_load_all(false, keep_header_lines), ::testing::ExitedWithCode(7), "UNEXPTEOF") << content;
    }
    // Only the first header has to carry the field taken into the RDD header.
    set_rod_name(0, write_text(dir / "good.rod", "HD \"h\" \"v\"\n" + rod_body("a")));
    set_rod_name(1, write_text(dir / "short.rod", "HD\n" + rod_body("b")));
    obj_free(rod_load_all(false, keep_header_lines));
}

TEST_F(Loading, AMillionLinesLoadPrintAndFree)
{
    const auto path = dir / "big.rod";
    {
        std::string extra;
        extra.reserve(20000000);
        for (int i = 0; i < 1000000; ++i)
            extra += "BC \"n\" \"" + std::to_string(i) + "\"\n";
        std::ofstream(path, std::ios::binary) << "HD \"h\" \"v\"\n" << rod_body("a", extra);
    }
    set_rod_name(0, path.string());
    Objet *report = rod_load_all(false, keep_header_lines);
    const std::string written = write_report(report, dir / "big.rdd");
    EXPECT_NE(written.find("BC \"n\" \"999999\" \"1\" \"1000003\" \n"), std::string::npos);
    obj_free(report);
}

// Random texts around the piece size: LF and CR LF, a CR alone, lines cut at
// the piece size, lone newlines, no newline at the end, a NUL byte. The
// whole-text reader gives the lines (or the end of the run) that the
// byte-by-byte reader gives.
TEST_F(Loading, WholeTextReaderMatchesTheByteByByteReader)
{
    std::mt19937 random(11);
    auto below = [&random](unsigned n) { return static_cast<std::size_t>(random() % n); };
    auto outcome = [](const std::string &path, Objet *(*reader)(Objet *)) {
        std::vector<Strings> lines;
        set_exit_hook(rodtext::throwing_exit);
        const int status = rodtext::fatal_status([&] { lines = read_lines(path, reader); });
        set_exit_hook(nullptr);
        return status == -1 ? lines : std::vector<Strings>{{"ended with " + std::to_string(status)}};
    };
    const char *const ends[] = {"\n", "\r\n", "\r", "\n\n", ""};
    for (int round = 0; round < 300; ++round) {
        std::string text;
        for (std::size_t line = 1 + below(5); line > 0; --line) {
            const std::size_t length = below(3) ? ROD_LINE_PIECE - 4 + below(9) : below(30);
            text += "CO \"";
            text += std::string(length > 5 ? length - 5 : 0, below(2) ? 'y' : ' ');
            text += '"';
            text += ends[below(std::size(ends))];
        }
        if (below(20) == 0)
            text.insert(below(static_cast<unsigned>(text.size())), 1, '\0');
        const std::string path = write_text(dir / "r.rod", text);
        EXPECT_EQ(outcome(path, rod_read_lines), outcome(path, rod_read_lines_reference)) << "round " << round;
    }
}

// Files loaded ahead fail in the order of the one-after-the-other run: a
// later file's loading failure waits until the earlier files are merged, and
// an earlier failure, in loading or in merging, wins.
TEST_F(Loading, FailuresKeepTheirOrderWhenFilesAreLoadedAhead)
{
    const std::string zero_unit = "RE \"b\" \"t\" \"t.tds\" \"3.1\"\nSY \"CLK\" \"0\" \"8400\" \"1000000\" \"0\" \"ms\"\n"
                                  "DB \"SUMMARY\" \"x\"\nBF \"SUMMARY\" \"end\"\n";
    const std::string first_missing = (dir / "first_missing.rod").string();
    const std::string second_missing = (dir / "second_missing.rod").string();
    for (const bool ahead : {true, false}) {
        rod_use_load_ahead(ahead);
        set_rod_name(0, write_text(dir / "good.rod", "HD \"h\" \"v\"\n" + rod_body("a")));
        set_rod_name(1, write_text(dir / "zero_unit.rod", "HD \"h\" \"v\"\n" + zero_unit));
        set_rod_name(2, first_missing);
        EXPECT_EXIT(rod_load_all(false, keep_header_lines), ::testing::ExitedWithCode(7),
                    "^Molvex-F-UNEXPTEOF,[^\n]*\n$")
            << "the second file's synchronisation fails first";

        set_rod_name(1, first_missing);
        set_rod_name(2, second_missing);
        for (int slot = 3; slot < 8; ++slot)
            set_rod_name(slot, write_text(dir / (std::to_string(slot) + ".rod"), "HD \"h\" \"v\"\n" + rod_body("c")));
        EXPECT_EXIT(rod_load_all(false, keep_header_lines), ::testing::ExitedWithCode(7),
                    "^Molvex-F-FICNOTOPN,  File " + first_missing + " access problem\n$");
        for (int slot = 0; slot < 8; ++slot)
            set_rod_name(slot, "");
    }
    rod_use_load_ahead(true);
}
