#include "rodprd.h"

#include "rod_text.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace rodtext;

namespace {

class CfLine : public ::testing::Test {
protected:
    void SetUp() override { rodtext::engine_setup(); }
};

class RddWriting : public CfLine {};

// A scratch directory, removed with what it holds when the test ends.
struct TempDir {
    std::string path;
    TempDir()
    {
        std::string pattern = ::testing::TempDir() + "rodprd_XXXXXX";
        path = mkdtemp(pattern.data());
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    ~TempDir() { std::filesystem::remove_all(path); }
};

// Runs `body` with `dir` as current directory.
template <typename Body> void in_directory(const std::string &dir, Body body)
{
    char *current = getcwd(nullptr, 0);
    const std::string saved = current;
    std::free(current);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    body();
    ASSERT_EQ(chdir(saved.c_str()), 0);
}

std::string written(Objet *report)
{
    return written_to_memory([report](Objet *stream) {
        number_repeated_names(stream, report);
        EXPECT_TRUE(write_rdd_lines(stream, report));
    });
}

} // namespace

TEST(CfTexts, RelativeAndAbsoluteDirectories)
{
    const CfTexts nested = cf_texts("/home/user", "run/x.rod");
    EXPECT_EQ(nested.name, "\"x.rod\"");
    EXPECT_EQ(nested.relative_dir, "\"run/\"");
    EXPECT_EQ(nested.absolute_dir, "\"/home/user/run\"");

    const CfTexts here = cf_texts("/home/user", "x.rod");
    EXPECT_EQ(here.name, "\"x.rod\"");
    EXPECT_EQ(here.relative_dir, "\"\"");
    EXPECT_EQ(here.absolute_dir, "\"/home/user\"");

    const CfTexts elsewhere = cf_texts("/home/user", "/tmp/r/x.rod");
    EXPECT_EQ(elsewhere.relative_dir, "\"../../tmp/r/\"");
    EXPECT_EQ(elsewhere.absolute_dir, "\"/tmp/r\"");

    EXPECT_EQ(cf_texts("/w", "a\"b.rod").name, "\"a\"\"b.rod\"");
}

TEST_F(CfLine, ReplacesLeadingCfLinesAfterFirstIeLine)
{
    const TempDir scratch;
    const std::string &dir = scratch.path;
    std::ofstream(dir + "/x.rod") << "123456789";
    Objet *tree = file_tree("RE \"r\"\nCF \"old1\"\nIE \"0\" \"A\" \"x\"\nCF \"old2\"\n"
                            "XI \"1\" \"0\" \"0\"\nYI \"2\" \"x\"\nCF \"kept\"\nDB \"e\"\nBF \"e\"\n",
                            3);
    in_directory(dir, [&] { add_cf_line(tree, "x.rod", 3); });
    const std::vector<std::string> cf = dump_of(tree, "CF");
    ASSERT_EQ(cf.size(), 2u);
    char *resolved = realpath(dir.c_str(), nullptr);
    const std::string real_dir = resolved;
    std::free(resolved);
    EXPECT_EQ(cf[0], "CF \"x.rod\" \"\" \"" + real_dir + "\" \"9\" \"8585\" \"3\" \"0\"");
    EXPECT_EQ(cf[1], "CF \"kept\" \"3\" \"7\"");
    const std::vector<std::string> lines = dump(tree);
    EXPECT_EQ(lines[1].substr(0, 2), "IE");
    EXPECT_EQ(lines[2], cf[0]);
    obj_free(tree);
}

TEST_F(CfLine, TreeWithoutIeLineGetsNone)
{
    Objet *tree = file_tree("RE \"r\"\nCF \"old\"\nXX \"x\" \"y\"\nDB \"e\"\nBF \"e\"\n", 1);
    add_cf_line(tree, "/nonexistent/never-read.rod", 1);
    EXPECT_TRUE(dump_of(tree, "CF").empty());
    obj_free(tree);
}

TEST_F(CfLine, UnreadableRodFileIsFatal)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(rodtext::fatal_status([] {
                  Objet *tree = file_tree("RE \"r\"\nIE \"0\" \"A\" \"x\"\nXX \"x\" \"y\"\nDB \"e\"\nBF \"e\"\n", 1);
                  add_cf_line(tree, "/nonexistent/x.rod", 1);
              }),
              7);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("FICERROPN"), std::string::npos);
}

TEST_F(RddWriting, RepeatedIeNamesAreNumbered)
{
    Objet *tree = file_tree("RE \"r\"\nIE \"0\" \"A\" \"x\"\nIE \"1\" \"y\" \"B\"\nIE \"0\" \"A\" \"x\"\n"
                            "IE \"7\" \"z\" \"A\"\nXX \"x\" \"y\"\nDB \"e\"\nBF \"e\"\n",
                            1);
    const std::string text = written(tree);
    EXPECT_NE(text.find("IE \"0\" \"A\" \"x\" \"1\" \"2\" \n"), std::string::npos);
    EXPECT_NE(text.find("IE \"1\" \"y\" \"B\" \"1\" \"3\" \n"), std::string::npos);
    EXPECT_NE(text.find("IE \"0\" \"A 2\" \"x\" \"1\" \"4\" \n"), std::string::npos);
    EXPECT_NE(text.find("IE \"7\" \"z\" \"A 3\" \"1\" \"5\" \n"), std::string::npos);
    obj_free(tree);

    tree = file_tree("RE \"r\"\nIE \"0\" \"A\"\nIE \"0\" \"A\"\nIE \"0\" \"A 2\"\nXX \"x\" \"y\"\nDB \"e\"\nBF \"e\"\n", 1);
    const std::string second = written(tree);
    EXPECT_NE(second.find("IE \"0\" \"A\" \"1\" \"2\" \n"), std::string::npos);
    EXPECT_NE(second.find("IE \"0\" \"A 2\" \"1\" \"3\" \n"), std::string::npos);
    EXPECT_NE(second.find("IE \"0\" \"A 2\" \"1\" \"4\" \n"), std::string::npos);
    obj_free(tree);
}

TEST_F(RddWriting, LinesAreWrittenByKind)
{
    Objet *tree = file_tree("RE \"r\"\nSY \"clk\" \"0\" \"0\" \"1\" \"1\" \"us\"\nXX \"x\" \"y\"\n"
                            "DS \"S\" \"s\" \"t\" \"i\" \"5\" \"6\" \"7\"\nFS \"s\" \"0\" \"0\" \"x\" \"x\"\n"
                            "DB \"e\"\nBF \"e\"\n",
                            1);
    EXPECT_EQ(written(tree), "RE \"r\" \"1\" \"1\" \n"
                             "SY \"clk\" \"0\" \"0\" \"1\" \"1\" \"us\" \"1\" \"2\" \n"
                             "XX \"1\" \"3\" \n"
                             "DS \"S\" \"s\" \"t\" \"i\" \"5\" \"1\" \"4\" \n"
                             "FS \"s\" \"0\" \"0\" \"1\" \"5\" \n"
                             "DB \"e\" \"1\" \"6\" \n"
                             "BF \"e\" \"1\" \"7\" \n");
    obj_free(tree);
}

TEST(RddStream, ReplacesTargetOnlyWhenComplete)
{
    const TempDir scratch;
    const std::string &dir = scratch.path;
    const std::string target = dir + "/out.rdd";
    std::ofstream(target) << "earlier\n";

    std::string temp_name;
    Objet *stream = rdd_stream_open(target.c_str(), temp_name);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(temp_name.rfind(target + ".", 0), 0u);
    std::fputs("new\n", stream->link.stream);
    EXPECT_FALSE(rdd_stream_finish(stream, false, temp_name, target.c_str()));
    obj_free(stream);
    std::ifstream earlier(target);
    std::string content((std::istreambuf_iterator<char>(earlier)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "earlier\n");
    EXPECT_NE(access(temp_name.c_str(), F_OK), 0) << "temporary file removed";

    stream = rdd_stream_open(target.c_str(), temp_name);
    std::fputs("new\n", stream->link.stream);
    EXPECT_TRUE(rdd_stream_finish(stream, true, temp_name, target.c_str()));
    obj_free(stream);
    std::ifstream replaced(target);
    content.assign((std::istreambuf_iterator<char>(replaced)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "new\n");

    EXPECT_EQ(rdd_stream_open((dir + "/missing/out.rdd").c_str(), temp_name), nullptr);
}

TEST(RddStream, DeviceWriteErrorIsReported)
{
    std::string temp_name;
    Objet *stream = rdd_stream_open("/dev/full", temp_name);
    ASSERT_NE(stream, nullptr);
    EXPECT_TRUE(temp_name.empty());
    std::fputs("line\n", stream->link.stream);
    EXPECT_FALSE(rdd_stream_finish(stream, true, temp_name, "/dev/full"));
    obj_free(stream);
}
