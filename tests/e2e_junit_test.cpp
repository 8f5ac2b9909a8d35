// zrmjunit as a build script runs it: the example merges against golden XML
// checked by hand (the work directory and the run's time stamp masked),
// where the document goes, and the refusals: one line naming the file,
// status 1, no partial document.
#include "e2e_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

namespace fs = std::filesystem;

namespace {

std::string junit_path() { return stage_dir() + "/bin/zrmjunit"; }

const std::string USAGE = "usage: zrmjunit REPORT.rdd [-o FILE.xml] [--all-output] [--max-size BYTES]\n";

std::string masked(const std::string &xml, const std::string &dir)
{
    static const std::regex stamp(R"( timestamp="\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d")");
    return std::regex_replace(replace_all(xml, dir, "<DIR>"), stamp, " timestamp=\"<TIME>\"");
}

} // namespace

TEST(Zrmjunit, ExampleMergesMatchGoldenXml)
{
    const std::vector<std::string> doors = {"door_open.tdc", "door_open_run1.rio", "door_open_run2.rio",
                                            "door_lock.tdc", "door_lock_run1.rio", "door_lock_run2.rio"};
    const std::vector<std::string> lift = {"lift_call.tdc", "lift_call_panel.rio", "lift_call_drive.rio"};
    std::vector<std::string> files = doors;
    files.insert(files.end(), lift.begin(), lift.end());
    const std::string dir = copy_examples(files);
    std::vector<std::string> doors_run = {"-RDD=doors.rdd"}, lift_run = {"-TIME", "-RDD=lift_call_time.rdd"};
    doors_run.insert(doors_run.end(), doors.begin(), doors.end());
    lift_run.insert(lift_run.end(), lift.begin(), lift.end());
    EXPECT_EQ(run_in(dir, doors_run).status, 3);
    EXPECT_EQ(run_in(dir, lift_run).status, 0);
    for (const std::string name : {"doors", "lift_call_time"}) {
        const RunResult run = run_program(junit_path(), {name + ".rdd"}, {.cwd = dir});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const std::string xml = read_file(dir + "/" + name + ".xml");
        EXPECT_EQ(masked(xml, dir), read_file(source_dir() + "/tests/golden/" + name + ".xml")) << name;
        EXPECT_EQ(run_program(junit_path(), {name + ".rdd", "-o", "-"}, {.cwd = dir}).out, xml);
    }
    fs::remove_all(dir);
}

TEST(Zrmjunit, DocumentGoesBesideTheReportOrWhereAsked)
{
    const std::string dir = make_temp_dir();
    const std::string rdd = read_file(source_dir() + "/tests/golden/doors.rdd");
    fs::create_directory(dir + "/out");
    write_file(dir + "/out/Report.RDD", rdd);
    write_file(dir + "/plain", rdd);
    EXPECT_EQ(run_program(junit_path(), {dir + "/out/Report.RDD"}).status, 0);
    EXPECT_TRUE(file_exists(dir + "/out/Report.xml"));
    EXPECT_EQ(run_program(junit_path(), {"plain"}, {.cwd = dir}).status, 0);
    EXPECT_TRUE(file_exists(dir + "/plain.xml"));
    // A document written again keeps the permissions of the earlier one.
    fs::permissions(dir + "/plain.xml", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(run_program(junit_path(), {"plain"}, {.cwd = dir}).status, 0);
    EXPECT_EQ(fs::status(dir + "/plain.xml").permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(run_program(junit_path(), {"-o", "ci.xml", "plain"}, {.cwd = dir}).status, 0);
    EXPECT_EQ(read_file(dir + "/ci.xml"), read_file(dir + "/plain.xml"));
    fs::remove_all(dir);
}

TEST(Zrmjunit, RefusalsNameTheFileAndLeaveNoDocument)
{
    const std::string dir = make_temp_dir();
    write_file(dir + "/t.tdc", read_file(source_dir() + "/examples/door_open.tdc"));
    write_file(dir + "/r.rdd", read_file(source_dir() + "/tests/golden/doors.rdd"));
    write_file(dir + "/kept.xml", "earlier\n");
    fs::create_directory(dir + "/taken.xml");
    write_file(dir + "/taken.xml/inside", "");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"none.rdd"}, "zrmjunit: cannot open none.rdd: No such file or directory\n"},
        {{"t.tdc"}, "zrmjunit: t.tdc is not an RDD file\n"},
        {{"."}, "zrmjunit: cannot read .: Is a directory\n"},
        {{"r.rdd", "-o", "nodir/x.xml"}, "zrmjunit: cannot write nodir/x.xml: No such file or directory\n"},
        {{"r.rdd", "-o", "taken.xml"}, "zrmjunit: cannot write taken.xml: Is a directory\n"},
        {{}, "zrmjunit: " + USAGE},
        {{"r.rdd", "-o"}, "zrmjunit: " + USAGE},
        {{"r.rdd", "s.rdd"}, "zrmjunit: " + USAGE},
        {{"r.rdd", "--max-size", "30MB"}, "zrmjunit: " + USAGE},
    };
    for (const Case &c : cases) {
        const RunResult run = run_program(junit_path(), c.args, {.cwd = dir});
        EXPECT_EQ(run.status, 1) << c.message;
        EXPECT_EQ(run.err, c.message);
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(directory_names(dir), (std::vector<std::string>{"kept.xml", "r.rdd", "t.tdc", "taken.xml"}));
    for (const char *help : {"--help", "-h"}) {
        const RunResult run = run_program(junit_path(), {help});
        EXPECT_EQ(run.status, 0) << help;
        EXPECT_EQ(run.out, USAGE) << help;
        EXPECT_EQ(run.err, "") << help;
    }
    EXPECT_EQ(read_file(dir + "/kept.xml"), "earlier\n");
    fs::remove_all(dir);
}
