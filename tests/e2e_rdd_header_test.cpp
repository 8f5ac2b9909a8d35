// A whole run on the example files: the RDD file starts with its header line.
#include "e2e_util.h"

#include <gtest/gtest.h>

#include <regex>

TEST(RddFile, FirstLineIsTheHeaderLine)
{
    const std::string dir = make_temp_dir();
    for (const char *name : {"door_lock.tdc", "door_lock_run1.rio", "door_lock_run2.rio"})
        write_file(dir + "/" + name, read_file(source_dir() + "/examples/" + name));
    const RunResult run =
        run_zovizeve({"door_lock.tdc", "door_lock_run1.rio", "door_lock_run2.rio"}, {.cwd = dir});
    ASSERT_EQ(run.status, 0) << run.err;

    const std::string rdd = read_file(dir + "/zrmrdd.rdd");
    const std::string first = rdd.substr(0, rdd.find('\n') + 1);
    // The second field of the first ROD header line, then the run's time stamp.
    const std::regex header(R"(KORVA Probeworks "v2\.6a" "DOORS" "RDD file" )"
                            R"("(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \d{4}" \n)");
    EXPECT_TRUE(std::regex_match(first, header)) << first;
    EXPECT_NE(rdd.find("\nRE \"door_lock\" "), std::string::npos);
}
