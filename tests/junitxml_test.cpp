// JUnit XML of a merged report: suites by test script, cases by merged
// scenario and unique within their suite, verdicts, why a case did not pass
// within the quote caps and the document's budget, and text made safe for
// XML.
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
CH "door" "OPEN" "2" "11" 
FS "S_FAIL" "300" "1" "2" "12" 
DS "S_INC" "unsure" "lift.tds" "1" "4294967290" "3" "5" 
FS "S_INC" "6" "2" "3" "7" 
DS "S_ODD" "odd verdict" "x.tds" "1" "10" "4" "5" 
FS "S_ODD" "20" "x" "4" "7" 
DS "S_OPEN" "never closed" "x.tds" "2" "10" "4" "8" 
)";

const std::string HEADER = "KORVA Probeworks \"v2.6a\" \"P\" \"RDD file\" \"t\" \n";

JunitReport collect(const std::string &text)
{
    JunitReport report;
    std::string error;
    EXPECT_TRUE(junit_collect_text(text, "r.rdd", "/nowhere", report, error)) << error;
    return report;
}

JunitOptions options()
{
    JunitOptions options;
    options.rdd_name = "r.rdd";
    options.page = "r.html";
    return options;
}

bool has(const std::string &xml, const std::string &part) { return xml.find(part) != std::string::npos; }

std::size_t count(const std::string &text, const std::string &part)
{
    std::size_t found = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++found;
    return found;
}

// One scenario of file 1 with `lines` check lines, closed with `verdict`.
std::string scenario(const std::string &name, const std::string &key, int lines, const std::string &verdict,
                     int &rod_line)
{
    std::string text = "DS \"" + name + "\" \"d\" \"s.tds\" \"" + key + "\" \"10\" \"1\" \"" +
                       std::to_string(++rod_line) + "\" \n";
    for (int i = 0; i < lines; ++i)
        text += "CH \"c" + std::to_string(i) + "\" \"value of check " + std::to_string(i) + "\" \"1\" \"" +
                std::to_string(++rod_line) + "\" \n";
    return text + "FS \"" + name + "\" \"20\" \"" + verdict + "\" \"1\" \"" + std::to_string(++rod_line) + "\" \n";
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
    const auto case_of = [&](std::size_t suite, std::size_t i) -> const JunitCase & {
        return report.cases.at(report.suites.at(suite).cases.at(i));
    };
    ASSERT_EQ(report.suites[0].cases.size(), 2u);
    EXPECT_EQ(report.name_of(case_of(0, 1)), "S_FAIL"); // file 2 only, still a door scenario
    EXPECT_EQ(case_of(2, 0).outcome, JunitOutcome::error); // verdict "x"
    EXPECT_TRUE(case_of(2, 0).closed);
    EXPECT_EQ(case_of(2, 1).outcome, JunitOutcome::error); // never closed
    EXPECT_FALSE(case_of(2, 1).closed);

    // Times from the DS start to the FS end, in the report's unit.
    EXPECT_DOUBLE_EQ(case_of(0, 0).seconds, 0.25);
    // An end before the start (an aligned file's unmoved FS time) gives no time.
    EXPECT_DOUBLE_EQ(case_of(0, 1).seconds, 0);
    // 32-bit times wrap: 4294967290 to 6 is 12 units.
    EXPECT_DOUBLE_EQ(case_of(1, 0).seconds, 0.012);
    const std::string wrapped_text = HEADER + "SY \"C\" \"0\" \"0\" \"1\" \"100\" \"100us\" \"1\" \"2\" \n"
                                              "DS \"S\" \"d\" \"f\" \"1\" \"-4\" \"1\" \"3\" \nFS \"S\" \"8\" \"0\" \"1\" \"4\" \n";
    const JunitReport wrapped = collect(wrapped_text);
    EXPECT_DOUBLE_EQ(wrapped.cases.at(0).seconds, 0.0012);
}

TEST(JunitXml, DocumentCountsVerdictsAndWhy)
{
    JunitReport report = collect(REPORT);
    const std::string xml = junit_xml(report, options());
    // The root has no skipped count and no time stamp: the suites do.
    EXPECT_TRUE(xml.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"PLAN\" tests=\"5\" "
                                "failures=\"1\" errors=\"2\" time=\"0.272\">\n"))
        << xml;
    EXPECT_TRUE(has(xml, "<testsuite name=\"door\" tests=\"2\" failures=\"1\" errors=\"0\" skipped=\"0\" time=\"0.25\" "
                         "timestamp=\"2026-12-07T00:25:09\">"));
    EXPECT_TRUE(has(xml, "<property name=\"rod_file.3.directory\" value=\"rel\"/>"));
    // A passed case says nothing; what a case was joined from is no property of it.
    EXPECT_TRUE(has(xml, "<testcase name=\"S_PASS\" classname=\"PLAN.door\" time=\"0.25\"/>"));
    EXPECT_EQ(count(xml, "<property "), 20u);

    // The ROD files are not beside the report: the runs' own verdicts are not known, and said so.
    EXPECT_TRUE(has(xml, "<failure message=\"no run&apos;s own verdict is known to be failed (door_b.rod: ROD file "
                         "missing)\" type=\"failed\">Scenario S_FAIL failed: fails &amp; &lt;stops&gt; (r.rdd line 12)\n"));
    EXPECT_TRUE(has(xml, "Lines of door_b.rod (file 2), verdict not known: ROD file missing:\n"
                         "RDD line 13, ROD line 11: CH \"door\" \"OPEN\"\n</failure>"));
    EXPECT_TRUE(has(xml, "<system-out>Runs: door_b.rod (file 2) verdict not known (ROD file missing)\n"
                         "Joined from files 2\nPage: r.html#scenario=S_FAIL&amp;key=2\n[[ATTACHMENT|r.html]]\n"
                         "Lines of the scenario:\nRDD line 13, file 2 line 11: CH \"door\" \"OPEN\"\n</system-out>"));
    EXPECT_TRUE(has(xml, "<skipped message=\"no run&apos;s own verdict is known to be inconclusive (lift.rod: ROD "
                         "file missing)\">Scenario S_INC is inconclusive: unsure (r.rdd line 15)\n"));
    EXPECT_TRUE(has(xml, "<error message=\"unknown verdict &quot;x&quot;\" type=\"unknown-verdict\">Scenario S_ODD has "
                         "an unknown verdict: odd verdict (r.rdd line 17)\n"));
    EXPECT_TRUE(has(xml, "<error message=\"the scenario is never closed\" type=\"never-closed\">Scenario S_OPEN is "
                         "never closed: never closed (r.rdd line 19)\n"));

    // Damaged lines, which the reader leaves out, are not quoted either.
    // (The report reads its text again: the text outlives it.)
    const std::string damaged_text = HEADER + "CF \"a.rod\" \"\" \"/w\" \"1\" \"1\" \"1\" \"0\" \n"
                                              "DS \"D\" \"d\" \"s.tds\" \"1\" \"10\" \"1\" \"1\" \n"
                                              "CH \"open \"1\" \"2\" \nX  \"c\" \"1\" \"3\" \nCH \"ok\" \"1\" \"4\" \n"
                                              "FS \"D\" \"20\" \"1\" \"1\" \"5\" \n";
    JunitReport damaged = collect(damaged_text);
    const std::string quoted = junit_xml(damaged, options());
    EXPECT_TRUE(has(quoted, "RDD line 6, ROD line 4: CH \"ok\"\n"));
    EXPECT_FALSE(has(quoted, "ROD line 2")) << quoted;
    EXPECT_FALSE(has(quoted, "ROD line 3")) << quoted;

    // Passed cases carry their output when asked for.
    JunitOptions all = options();
    all.all_output = true;
    EXPECT_TRUE(has(junit_xml(report, all), "<testcase name=\"S_PASS\" classname=\"PLAN.door\" time=\"0.25\">\n"
                                            "      <system-out>Runs: door_a.rod (file 1) verdict not known"));

    // A -TIME report has no scenarios, and is still a document.
    JunitReport empty = collect(HEADER);
    EXPECT_EQ(junit_xml(empty, options()), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"P\" "
                                           "tests=\"0\" failures=\"0\" errors=\"0\" time=\"0\">\n</testsuites>\n");
}

TEST(JunitXml, NamesRepeatedUnderAnotherKeyAreMadeUnique)
{
    int rod_line = 0;
    std::string text = HEADER + "CF \"a.rod\" \"\" \"/w\" \"1\" \"1\" \"1\" \"0\" \n";
    for (const char *key : {"1", "2", "2"})
        text += scenario("S", key, 0, "0", rod_line);
    text += scenario("T", "1", 0, "0", rod_line) + scenario("T", "1", 0, "0", rod_line);
    text += scenario("U&", "9", 0, "1", rod_line);
    JunitReport report = collect(text);
    const std::string xml = junit_xml(report, options());
    EXPECT_TRUE(has(xml, "<testcase name=\"S [key 1]\""));
    EXPECT_TRUE(has(xml, "<testcase name=\"S [key 2]\""));
    EXPECT_TRUE(has(xml, "<testcase name=\"S [key 2] [RDD line 7]\""));
    // The same name and key twice: the second by its line.
    EXPECT_TRUE(has(xml, "<testcase name=\"T\""));
    EXPECT_TRUE(has(xml, "<testcase name=\"T [RDD line 11]\""));
    // The page's deep link names the scenario as the page's script reads it.
    EXPECT_TRUE(has(xml, "Page: r.html#scenario=U%26&amp;key=9\n"));
}

TEST(JunitXml, QuotesAreCappedPerElementAndSharedWithinTheDocumentLimit)
{
    int rod_line = 0;
    std::string text = HEADER + "CF \"a.rod\" \"\" \"/w\" \"1\" \"1\" \"1\" \"0\" \n";
    text += scenario("BIG", "1", 3000, "1", rod_line);
    JunitReport big = collect(text);
    const std::string xml = junit_xml(big, options());
    const std::size_t failure = xml.find("<failure"), failure_end = xml.find("</failure>");
    ASSERT_NE(failure_end, std::string::npos);
    EXPECT_LE(failure_end - failure, (std::size_t(64) << 10) + 1024);
    EXPECT_TRUE(has(xml, "RDD line 4, ROD line 2: CH \"c0\" \"value of check 0\"\n"));
    // What is left out is said, with where the page shows it.
    const std::size_t note = xml.find(" more lines left out (RDD lines ", failure);
    ASSERT_LT(note, failure_end);
    EXPECT_TRUE(has(xml.substr(note, 400), "); the page shows the scenario: r.html#scenario=BIG&amp;key=1\n"));

    // Forty failed cases, each with more to quote than the document has room for.
    std::string many = HEADER + "CF \"a.rod\" \"\" \"/w\" \"1\" \"1\" \"1\" \"0\" \n";
    for (int i = 0; i < 40; ++i)
        many += scenario("F" + std::to_string(i), "1", 200, "1", rod_line);
    JunitReport report = collect(many);
    JunitOptions limited = options();
    limited.document_limit = 120000;
    const std::string bounded = junit_xml(report, limited);
    EXPECT_LE(bounded.size(), limited.document_limit);
    EXPECT_GT(bounded.size(), limited.document_limit * 3 / 4); // the budget is spent, not wasted
    EXPECT_EQ(count(bounded, " more lines left out (RDD lines "), 80u);
    EXPECT_EQ(count(bounded, "<failure "), 40u);
    // Even a limit below what the cases need without quotes gives every case.
    limited.document_limit = 1000;
    const std::string starved = junit_xml(report, limited);
    EXPECT_EQ(count(starved, "<failure "), 40u);
    EXPECT_FALSE(has(starved, "ROD line 2: "));
}

TEST(JunitXml, TextIsEscapedAndOnlyValidCharactersPass)
{
    EXPECT_EQ(xml_text("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&apos;f");
    EXPECT_EQ(xml_text("t\tn\nr\r"), "t&#9;n&#10;r&#13;");
    EXPECT_EQ(xml_content("a&b<c>d\"e'f\tn\nr\r"), "a&amp;b&lt;c&gt;d\"e'f\tn\nr&#13;");
    EXPECT_EQ(xml_text("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x9A\x80"), "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x9A\x80");
    const std::string bad = "\xEF\xBF\xBD";
    EXPECT_EQ(xml_text(std::string("a\0b", 3)), "a" + bad + "b");
    EXPECT_EQ(xml_content("\x01\x1B\x7F"), bad + bad + "\x7F");
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
