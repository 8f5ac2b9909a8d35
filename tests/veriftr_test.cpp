#include "cmdline.h"
#include "exec.h"
#include "exit_capture.h"
#include "i18n_zrm_msg.h"
#include "veriftr.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

namespace {

std::string header(const char *kind, const std::string &script) {
    return "KORVA Probeworks \"v2.6a\" \"PLAN\" \"" + std::string(kind) + "\" \"" + script + "\"\n";
}

std::string cf_line(const std::string &plan, const std::string &script, const std::string &version)
{
    return "CF \"" + plan + "\" \"" + script + "\" \"" + version + "\" \"BENCH\" \"Mon\"\n";
}

class Verification : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override
    {
        catalog_fill();
        char pattern[] = "/tmp/veriftr.XXXXXX";
        dir = mkdtemp(pattern);
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }
    std::string file(const std::string &name, const std::string &content)
    {
        std::ofstream(dir + "/" + name, std::ios::binary) << content;
        return dir + "/" + name;
    }
    std::string tdc(const std::string &script, const std::string &plan = "PLAN", const std::string &version = "1")
    {
        return file(script + ".tdc", header("TDC file", script) + cf_line(plan, script + ".tds", version));
    }
    std::string rio(const std::string &name, const std::string &script)
    {
        return file(name, header("RIO file", script) + "RE \"x\" \"y\"\n");
    }
    Ending verify(const std::vector<std::string> &files)
    {
        cmdline_record().files = files;
        return run_to_end(verify_input_files);
    }
    std::vector<int16_t> file_indices(const std::array<FileRecord, PAIR_TABLE_SIZE> &table)
    {
        std::vector<int16_t> indices;
        for (const FileRecord &record : table)
            if (record.file_index != -1)
                indices.push_back(record.file_index);
        return indices;
    }
};

using Indices = std::vector<int16_t>;

} // namespace

TEST(CfFields, KeepTheirQuotesAndNeedOneCharacterBetweenThem)
{
    EXPECT_EQ(split_cf_fields(R"(CF "a" "b","c"x"d" "e" "f")"), (CfFields{"\"a\"", "\"b\"", "\"c\"", "\"d\"", "\"e\""}));
    // The character right after a closing quote is skipped, even a quote.
    EXPECT_EQ(split_cf_fields(R"(CF "a""b" "c" "d" "e" "f")"),
              (CfFields{"\"a\"", "\" \"", "\" \"", "\" \"", "\" \""}));
}

TEST_F(Verification, HeaderBlockReadsAsWindowsTextModeDoes)
{
    const std::vector<char> block = read_header_block(file("crlf", "one\r\ntwo\rthree\r\n"));
    ASSERT_EQ(block.size(), HEADER_BLOCK_SIZE);
    EXPECT_EQ(std::string(block.data()), "one");
    EXPECT_EQ(std::string(block.data() + 4), "two\rthree");
    EXPECT_EQ(block[14], '\0');
    EXPECT_EQ(verify({file("flat", std::string(HEADER_BLOCK_SIZE, 'a') + "\n")}).err,
              "Molvex-F-UNEXPTEOF,  Unexpected end of file\n");
    EXPECT_EQ(verify({dir}).err, "Molvex-F-FICNOTOPN,  File " + dir + " access problem\n");
}

TEST_F(Verification, CfLineIsTheFirstLineThatBeginsWithCf)
{
    const std::vector<char> block =
        read_header_block(file("t", "first\n CF \"no\"\nCFX \"1\"\nCF \"2\"\n"));
    EXPECT_EQ(find_cf_line(block), "CFX \"1\"");
    EXPECT_EQ(find_cf_line(read_header_block(file("u", "CF first\nCF second\n"))), "CF first");
    EXPECT_EQ(find_cf_line(read_header_block(file("v", "first\nno cf\n"))), "");
}

TEST_F(Verification, PairsInCommandLineOrderOfEachKind)
{
    const Ending outcome = verify({rio("b.rio", "b"), tdc("a"), rio("a.rio", "a"), tdc("b"), rio("a2.rio", "a")});
    EXPECT_EQ(outcome.status, -1);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(file_indices(rio_table), (Indices{0, 2, 4}));
    EXPECT_EQ(file_indices(tdc_table), (Indices{1, 3}));
    EXPECT_EQ(pair_lists[0], (Indices{1, 2}));
    EXPECT_EQ(pair_lists[1], (Indices{0}));
    EXPECT_EQ(tdc_table[0].count, 2);
    EXPECT_EQ(rio_table[0].count, 1);
    EXPECT_EQ(tdc_table[0].first_line, "XXXXXXXXXXXXXXXX \"v2.6a\" \"PLAN\" \"XXXXXXXX\" \"a\"");
    EXPECT_EQ(tdc_table[1].cf_line, "CF \"PLAN\" \"b.tds\" \"1\" \"BENCH\" \"Mon\"");

    // A first line with both kind words is a TDC file.
    const std::string both = file("both.tdc", "KORVA Probeworks RIO file TDC file\nCF \"1\" \"2\" \"3\" \"4\" \"5\"\n");
    EXPECT_EQ(verify({rio("r.rio", "x"), both}).err,
              "Molvex-F-NOTDCFRIO,  No TDC file match this " + dir + "/r.rio RIO file\n");
    EXPECT_EQ(file_indices(tdc_table), (Indices{1}));
}

TEST_F(Verification, PairingStopsAtTheFirstUnmatchedRioBeforeAnyWarning)
{
    const Ending outcome = verify({tdc("a"), tdc("lonely"), rio("a.rio", "a"), rio("x.rio", "x"), rio("y.rio", "y")});
    EXPECT_EQ(outcome.status, 7);
    EXPECT_EQ(outcome.err, "Molvex-F-NOTDCFRIO,  No TDC file match this " + dir + "/x.rio RIO file\n");
    // One character apart besides the kind word: no pair.
    EXPECT_EQ(verify({tdc("a"), rio("a.rio", "A")}).status, 7);
}

TEST_F(Verification, TestPlansDifferInFieldsOneThreeFourOrFive)
{
    const std::vector<std::string> rios{rio("a.rio", "a"), rio("b.rio", "b"), rio("c.rio", "c")};
    auto run = [&](const std::vector<std::string> &tdcs) {
        std::vector<std::string> files = tdcs;
        files.insert(files.end(), rios.begin(), rios.end());
        return verify(files);
    };
    // Field 2 (the script) differs for every file anyway.
    EXPECT_EQ(run({tdc("a"), tdc("b"), tdc("c")}).err, "");
    const Ending outcome = run({tdc("a"), tdc("b", "PLAN", "2"), tdc("c", "OTHER")});
    EXPECT_EQ(outcome.status, -1);
    EXPECT_EQ(outcome.err, "Molvex-I-FILESDIFF,  Reports comes from different test plans\n");

    // A lone TDC file without CF line, or a CF line short of fields.
    EXPECT_EQ(verify({file("n.tdc", header("TDC file", "n")), file("n.rio", header("RIO file", "n"))}).err,
              "Molvex-F-UNEXPTEOF,  Unexpected end of file\n");
    EXPECT_EQ(verify({file("s.tdc", header("TDC file", "s") + "CF \"1\" \"2\" \"3\" \"4\"\n"),
                      file("s.rio", header("RIO file", "s"))}).status, 7);
}
