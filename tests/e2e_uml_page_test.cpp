// The UML stand-in as zovizeve runs it: a page beside the RDD file, the RDD
// file untouched, damage reported by line, refusals with status 1.
#include "e2e_util.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

std::string uml_path() { return stage_dir() + "/bin/zrmuml"; }

} // namespace

TEST(UmlPage, PageBesideTheRddFileWhichStaysUnchanged)
{
    const std::string dir = make_temp_dir();
    const std::string rdd = "KORVA Probeworks \"v2.6a\" \"DOORS\" \"RDD file\" \"Fri Feb 27 09:12:44 2026\" \n"
                            "CF \"a.rod\" \"\" \"/w\" \"10\" \"20\" \"1\" \"0\" \n"
                            "DS \"SC_1\" \"t\" \"f\" \"1\" \"100\" \"1\" \"3\" \n"
                            "FS \"SC_1\" \"200\" \"1\" \"1\" \"4\" \n"
                            "EV \"A\" \"B\" \n";
    write_file(dir + "/Report.RDD", rdd);
    write_file(dir + "/Report.html", "an earlier page");
    std::filesystem::permissions(dir + "/Report.html", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const RunResult run = run_program(uml_path(), {"-path", dir, "-name", "report.rdd", "-nobanner"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "zrmuml: " + dir + "/Report.RDD, line 5: EV line: origin pair at field 1 is not two numbers\n");
    EXPECT_EQ(read_file(dir + "/Report.RDD"), rdd);
    const std::string page = read_file(dir + "/Report.html");
    EXPECT_NE(page.find("[\"SC_1\",\"1\",\"t\",1,"), std::string::npos);
    EXPECT_EQ(directory_names(dir), (std::vector<std::string>{"Report.RDD", "Report.html"}));
    EXPECT_EQ(std::filesystem::status(dir + "/Report.html").permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::filesystem::remove_all(dir);
}

TEST(UmlPage, RefusesBadArgumentsAndMissingFiles)
{
    const std::string dir = make_temp_dir();
    RunResult run = run_program(uml_path(), {"-path", dir, "-name", "none.rdd", "-nobanner"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "zrmuml: no RDD file none.rdd in " + dir + "\n");
    run = run_program(uml_path(), {"-path", dir, "-name", "x.rdd", "-colour"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "zrmuml: unexpected argument -colour\n");
    EXPECT_EQ(run_program(uml_path(), {"-path", dir}).status, 1);
    // A page that cannot be written is an error, not a silent success.
    write_file(dir + "/x.rdd", "KORVA Probeworks \"v2.6a\" \"P\" \"RDD file\" \"t\" \n");
    std::filesystem::create_directory(dir + "/x.html");
    write_file(dir + "/x.html/keep", "");
    run = run_program(uml_path(), {"-path", dir, "-name", "x.rdd", "-nobanner"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "zrmuml: cannot write " + dir + "/x.html: Is a directory\n");
    EXPECT_EQ(directory_names(dir), (std::vector<std::string>{"x.html", "x.rdd"}));
    std::filesystem::remove_all(dir);
}

