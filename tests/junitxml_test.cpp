// JUnit XML of a merged report: suites by test script, cases by merged
// scenario, verdicts, times, and text made safe for XML.
#include "junitxml.h"

#include <gtest/gtest.h>

namespace {

// Two files of script "door", one of "lift", one without an RE line.
const std::string REPORT = R"(KORVA Probeworks "v2.6a" "PLAN" "RDD file" "Mon Dec 07 00:25:09 2026" 
RE "door" "Door tests" "door.tds" "3.1" "1" "1" 
SY "CLK" "0" "0" "1000000" "1000" "ms" "1" "2" 
CF "door_a.rod" "" "/w" "10" "11" "1" "0" 
RE "door" "Door tests" "door.tds" "3.1" "2" "1" 
CF "door_b.rod" "" "/w" "20" "21" "2" "0" 
RE "lift" "Lift tests" "lift.tds" "3.1" "3" "1" 
CF "lift.rod" "rel" "/w" "30" "31" "3" "0" 
CF "other.x.rod" "" "/w" "40" "41" "4" "0" 
DS "S_PASS" "passes" "door.tds" "1" "100" "1" "5" "2" "5" 
FS "S_PASS" "350" "0" "1" "9" "2" "9" 
DS "S_FAIL" "fails & <stops>" "door.tds" "2" "400" "2" "10" 
FS "S_FAIL" "300" "1" "2" "12" 
DS "S_INC" "unsure" "lift.tds" "1" "4294967290" "3" "5" 
FS "S_INC" "6" "2" "3" "7" 
DS "S_ODD" "odd verdict" "x.tds" "1" "10" "4" "5" 
FS "S_ODD" "20" "x" "4" "7" 
DS "S_OPEN" "never closed" "x.tds" "2" "10" "4" "8" 
)";

JunitReport collect(const std::string &text)
{
    JunitReport report;
    std::string error;
    EXPECT_TRUE(junit_collect_text(text, "r.rdd", report, error)) << error;
    return report;
}

} // namespace

TEST(JunitReport, SuitesFollowScriptsCasesTheirFirstFileTimesTheUnit)
{
    const JunitReport report = collect(REPORT);
    ASSERT_EQ(report.suites.size(), 3u);
    EXPECT_EQ(report.suites[0].name, "door");
    EXPECT_EQ(report.suites[0].files, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(report.suites[1].name, "lift");
    EXPECT_EQ(report.suites[2].name, "other.x"); // no RE line: the ROD file's name
    const auto &door = report.suites[0].cases;
    ASSERT_EQ(door.size(), 2u);
    EXPECT_EQ(door[0].files, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(door[1].name, "S_FAIL"); // file 2 only, still a door scenario
    ASSERT_EQ(report.suites[2].cases.size(), 2u);

    // Times from the DS start to the FS end, in the report's unit.
    EXPECT_DOUBLE_EQ(report.suites[0].cases[0].seconds, 0.25);
    // An end before the start (an aligned file's unmoved FS time) gives no time.
    EXPECT_DOUBLE_EQ(report.suites[0].cases[1].seconds, 0);
    // 32-bit times wrap: 4294967290 to 6 is 12 units.
    EXPECT_DOUBLE_EQ(report.suites[1].cases[0].seconds, 0.012);
    const JunitReport wrapped = collect(
        "KORVA Probeworks \"v2.6a\" \"P\" \"RDD file\" \"t\" \nSY \"C\" \"0\" \"0\" \"1\" \"100\" \"100us\" \"1\" \"2\" \n"
        "DS \"S\" \"d\" \"f\" \"1\" \"-4\" \"1\" \"3\" \nFS \"S\" \"8\" \"0\" \"1\" \"4\" \n");
    EXPECT_DOUBLE_EQ(wrapped.suites.at(0).cases.at(0).seconds, 0.0012);
}

TEST(JunitXml, DocumentCountsVerdictsAndProperties)
{
    const std::string xml = junit_xml(collect(REPORT), "r.rdd");
    EXPECT_TRUE(xml.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"PLAN\" "
                                "timestamp=\"2026-12-07T00:25:09\" tests=\"5\" failures=\"1\" errors=\"0\" "
                                "skipped=\"3\" time=\"0.272\">\n"))
        << xml;
    EXPECT_NE(xml.find("<testsuite name=\"door\" timestamp=\"2026-12-07T00:25:09\" tests=\"2\" failures=\"1\" "
                       "errors=\"0\" skipped=\"0\" time=\"0.25\">"),
              std::string::npos);
    EXPECT_NE(xml.find("<property name=\"rod_file.3.directory\" value=\"rel\"/>"), std::string::npos);
    EXPECT_NE(xml.find("<property name=\"joined_from\" value=\"door_a.rod (file 1), door_b.rod (file 2)\"/>"),
              std::string::npos);
    EXPECT_NE(xml.find("<testcase name=\"S_FAIL\" classname=\"PLAN.door\" time=\"0\">"), std::string::npos);
    EXPECT_NE(xml.find("<failure message=\"fails &amp; &lt;stops&gt;\" type=\"failed\">Scenario S_FAIL failed: "
                       "fails &amp; &lt;stops&gt; (r.rdd line 12)</failure>"),
              std::string::npos);
    EXPECT_NE(xml.find("<skipped message=\"inconclusive verdict (r.rdd line 14)\"/>"), std::string::npos);
    EXPECT_NE(xml.find("<skipped message=\"unknown verdict &quot;x&quot; (r.rdd line 16)\"/>"), std::string::npos);
    EXPECT_NE(xml.find("<skipped message=\"unknown verdict: the scenario is never closed (r.rdd line 18)\"/>"),
              std::string::npos);

    const std::string empty = junit_xml(collect("KORVA Probeworks \"v2.6a\" \"P\" \"RDD file\" \"?\" \n"), "e.rdd");
    EXPECT_EQ(empty, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"P\" tests=\"0\" failures=\"0\" "
                     "errors=\"0\" skipped=\"0\" time=\"0\">\n</testsuites>\n");
}

TEST(JunitXml, TextIsEscapedAndOnlyValidCharactersPass)
{
    EXPECT_EQ(xml_text("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&apos;f");
    EXPECT_EQ(xml_text("t\tn\nr\r"), "t&#9;n&#10;r&#13;");
    EXPECT_EQ(xml_text("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x9A\x80"), "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x9A\x80");
    const std::string bad = "\xEF\xBF\xBD";
    EXPECT_EQ(xml_text(std::string("a\0b", 3)), "a" + bad + "b");
    EXPECT_EQ(xml_text("\x01\x1B\x7F"), bad + bad + "\x7F");
    EXPECT_EQ(xml_text("\xFF\xC3"), bad + bad);                 // not UTF-8, cut sequence
    EXPECT_EQ(xml_text("\xC0\xAF"), bad + bad);                 // overlong
    EXPECT_EQ(xml_text("\xED\xA0\x80"), bad + bad + bad);       // surrogate
    EXPECT_EQ(xml_text("\xEF\xBF\xBE"), bad);                   // U+FFFE
}

TEST(JunitXml, TimestampsAndSeconds)
{
    EXPECT_EQ(iso_timestamp("Mon Dec 07 00:25:09 2026"), "2026-12-07T00:25:09");
    EXPECT_EQ(iso_timestamp("Fri Feb 27 09:12:44 2026"), "2026-02-27T09:12:44");
    for (const char *bad : {"<TIME>", "Mon Foo 07 00:25:09 2026", "Mon Dec 32 00:25:09 2026", "Mon Dec 07 00:25:09 2026 x"})
        EXPECT_EQ(iso_timestamp(bad), "") << bad;
    EXPECT_EQ(seconds_text(0.0000004), "0");
    EXPECT_EQ(seconds_text(429496.7295), "429496.7295");
}

