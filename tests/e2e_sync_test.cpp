// End to end: reports recorded on different clocks and units merged on one
// time base, checked on the times written in the RDD file.
#include "e2e_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The RDD lines that begin with `prefix`, in file order.
std::vector<std::string> lines_starting(const std::string &rdd, const std::string &prefix)
{
    std::vector<std::string> found;
    for (const std::string &line : split_lines(rdd))
        if (line.starts_with(prefix))
            found.push_back(line);
    return found;
}

} // namespace

TEST(E2eSync, SharedClockCountsFromTheEarlierOrigin)
{
    // Same clock, origins 4000 ms (car) and 4300 ms (shaft): the shaft's
    // times grow by 300 and its SY origin moves back to 4000.
    const std::vector<std::string> files = {"hall_call.tdc", "hall_call_car.rio", "hall_call_shaft.rio"};
    const std::string dir = copy_examples(files);
    const RunResult result = run_in(dir, files);
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string rdd = read_file(dir + "/zrmrdd.rdd");
    EXPECT_EQ(lines_starting(rdd, "SY "),
              (std::vector<std::string>{"SY \"CABIN_BENCH_CLOCK\" \"0\" \"4000\" \"1000000\" \"1000\" \"ms\" \"1\" \"2\" ",
                                        "SY \"CABIN_BENCH_CLOCK\" \"0\" \"4000\" \"1000000\" \"1000\" \"ms\" \"2\" \"2\" "}));
    EXPECT_EQ(lines_starting(rdd, "SN \"POSITION\""),
              std::vector<std::string>{"SN \"POSITION\" \"SHAFT_MON\" \"car_position\" \"0\" \"0\" \"1190\" \"2\" \"5\" "});
    EXPECT_EQ(lines_starting(rdd, "EV \"LEVELLED\""),
              std::vector<std::string>{"EV \"LEVELLED\" \"SHAFT_MON\" \"3\" \"in\" \"1205\" \"2\" \"7\" "});
    EXPECT_EQ(lines_starting(rdd, "EV \"DOOR_ZONE\""),
              std::vector<std::string>{"EV \"DOOR_ZONE\" \"CAR_DRIVE\" \"3\" \"in\" \"1210\" \"1\" \"12\" "});
    // One scenario, started at the earlier of 1000 (car) and 700 + 300 (shaft).
    EXPECT_EQ(lines_starting(rdd, "DS "),
              std::vector<std::string>{"DS \"SC_HALL_01\" \"Car levels at the calling floor\" \"hall_call.tds\" \"1\" "
                                       "\"1000\" \"1\" \"8\" \"2\" \"4\" "});
}

TEST(E2eSync, FinerUnitAndRendezvousAcrossClocks)
{
    // The landing panel counts in units of 100 ticks, the cabin bench in
    // 1000: the merged report is multiplied by 10 and takes the "100us"
    // label. The clocks differ, so the FLOOR_3_LEVEL rendezvous decides:
    // (336000 - 56000) / 28 = 10000, added to the landing panel's times so
    // that both sides' rendezvous stand at 12000.
    const std::vector<std::string> files = {"hall_call.tdc", "hall_call_car.rio", "hall_call_shaft.rio",
                                            "hall_call_landing.rio"};
    const std::string dir = copy_examples(files);
    const RunResult result = run_in(dir, files);
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string rdd = read_file(dir + "/zrmrdd.rdd");
    EXPECT_EQ(lines_starting(rdd, "SY "),
              (std::vector<std::string>{
                  "SY \"CABIN_BENCH_CLOCK\" \"0\" \"40000\" \"10000000\" \"100\" \"100us\" \"1\" \"2\" ",
                  "SY \"CABIN_BENCH_CLOCK\" \"0\" \"40000\" \"10000000\" \"100\" \"100us\" \"2\" \"2\" ",
                  "SY \"LANDING_PANEL_CLOCK\" \"-1\" \"9990000\" \"10000000\" \"100\" \"100us\" \"3\" \"2\" "}));
    EXPECT_EQ(lines_starting(rdd, "XI "), std::vector<std::string>{"XI \"1000\" \"1\" \"4\" "});
    EXPECT_EQ(lines_starting(rdd, "RD "),
              (std::vector<std::string>{"RD \"FLOOR_3_LEVEL\" \"CAR_DRIVE\" \"0\" \"336000\" \"12000\" \"1\" \"11\" ",
                                        "RD \"FLOOR_3_LEVEL\" \"HALL_PANEL\" \"0\" \"56000\" \"12000\" \"3\" \"7\" "}));
    EXPECT_EQ(lines_starting(rdd, "EV \"LEVELLED\""),
              std::vector<std::string>{"EV \"LEVELLED\" \"SHAFT_MON\" \"30\" \"in\" \"12050\" \"2\" \"7\" "});
    EXPECT_EQ(lines_starting(rdd, "FS "),
              std::vector<std::string>{"FS \"SC_HALL_01\" \"18000\" \"0\" \"1\" \"14\" \"2\" \"9\" \"3\" \"10\" "});
}

TEST(E2eSync, TimeModeWithoutClockOrRendezvousStops)
{
    // -TIME drops the XI and DS lines; two clocks and no rendezvous leave no
    // event to align on.
    const std::vector<std::string> files = {"door_open.tdc", "door_open_run1.rio", "door_open_run2.rio"};
    const std::string dir = copy_examples(files);
    std::string other = read_file(dir + "/door_open_run2.rio");
    other.replace(other.find("CABIN_BENCH_CLOCK"), 17, "OTHER_BENCH_CLOCK");
    write_file(dir + "/door_open_run2.rio", other);
    std::vector<std::string> args = {"-TIME"};
    args.insert(args.end(), files.begin(), files.end());
    const RunResult result = run_in(dir, args);
    EXPECT_EQ(result.status, 7);
    EXPECT_NE(result.err.find("Molvex-F-UNEXPTEOF,  Unexpected end of file\n"), std::string::npos) << result.err;

    // The same files on one clock merge.
    write_file(dir + "/door_open_run2.rio", read_file(source_dir() + "/examples/door_open_run2.rio"));
    EXPECT_EQ(run_in(dir, args).status, 3);
}
