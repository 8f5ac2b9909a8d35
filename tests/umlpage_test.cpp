// Page of the UML stand-in: axis and lane arithmetic, text safety, the page
// of a small report and the size of the page of a large one.
#include "umlpage.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

const std::string HEADER = "KORVA Probeworks \"v2.6a\" \"DOORS\" \"RDD file\" \"Fri Feb 27 09:12:44 2026\" \n";

std::string page_of(const std::string &rdd_text, RddDiagnostics &diagnostics, const PageLimits &limits = {})
{
    // CTest runs each test as a process of its own, side by side.
    const std::string path = testing::TempDir() + "umlpage_test." + std::to_string(::getpid()) + ".rdd";
    {
        std::ofstream out(path, std::ios::binary);
        out << rdd_text;
    }
    std::ostringstream page;
    std::string error;
    EXPECT_TRUE(write_uml_page(path, "zrmrdd.rdd", page, limits, diagnostics, error)) << error;
    std::remove(path.c_str());
    return page.str();
}

std::size_t occurrences(const std::string &text, const std::string &what)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

} // namespace

TEST(UmlLayoutTest, TimesMapOntoTheAxisWithRoundTicks)
{
    const TimeScale scale{1000, 2000, 900};
    EXPECT_DOUBLE_EQ(time_to_x(scale, 1000), 0.0);
    EXPECT_DOUBLE_EQ(time_to_x(scale, 1500), 450.0);
    EXPECT_DOUBLE_EQ(time_to_x(scale, 2000), 900.0);
    EXPECT_DOUBLE_EQ(time_to_x(scale, 5), 0.0);
    EXPECT_DOUBLE_EQ(time_to_x(scale, 4000000000u), 900.0);
    EXPECT_DOUBLE_EQ(time_to_x(TimeScale{7, 7, 900}, 7), 450.0);

    // Every time falls in one column, and each column starts where the previous ends.
    EXPECT_EQ(time_to_column(scale, 1000, 10), 0);
    EXPECT_EQ(time_to_column(scale, 2000, 10), 9);
    for (int column = 1; column < 10; ++column) {
        const uint32_t start = column_start_time(scale, column, 10);
        EXPECT_EQ(time_to_column(scale, start, 10), column);
        EXPECT_EQ(time_to_column(scale, start - 1, 10), column - 1);
    }
    const TimeScale whole{0, 0xFFFFFFFFu, 900};
    EXPECT_EQ(time_to_column(whole, 0xFFFFFFFFu, 900), 899);
    EXPECT_EQ(column_start_time(whole, 0, 900), 0u);

    // Ticks are round values inside the range.
    EXPECT_EQ(time_ticks(TimeScale{1000, 2500, 900}, 8),
              (std::vector<uint32_t>{1000, 1200, 1400, 1600, 1800, 2000, 2200, 2400}));
    EXPECT_EQ(time_ticks(TimeScale{3, 9, 900}, 8), (std::vector<uint32_t>{3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(time_ticks(TimeScale{0, 0xFFFFFFFFu, 900}, 8).size(), 5u);
    EXPECT_EQ(time_ticks(TimeScale{42, 42, 900}, 8), (std::vector<uint32_t>{42}));
}

TEST(UmlTextTest, RangesAndSafeText)
{
    EXPECT_EQ(file_ranges({7, 1, 2, 3, 9, 10, 3}), "1-3, 7, 9, 10");
    EXPECT_EQ(file_ranges({}), "");
    EXPECT_EQ(html_text("<a href=\"x\">&'</a>"), "&lt;a href=&quot;x&quot;&gt;&amp;&#39;&lt;/a&gt;");
    EXPECT_EQ(html_text("caf\xc3\xa9"), "caf\xc3\xa9");
    EXPECT_EQ(html_text("caf\xe9"), "caf\xc3\xa9");
    EXPECT_EQ(html_text(std::string("a\0b\x1b\x85", 5)), "a b  ");
}

TEST(UmlPageTest, SmallReportShowsHeaderCountsLanesAndScenarios)
{
    RddDiagnostics diagnostics;
    const std::string page = page_of(HEADER +
                                     "SY \"CLOCK\" \"0\" \"250\" \"1000000\" \"1000\" \"ms\" \"1\" \"2\" \n"
                                     "CF \"run1.rod\" \"\" \"/w\" \"1234\" \"4321\" \"1\" \"0\" \n"
                                     "CF \"run2.rod\" \"\" \"/w\" \"1200\" \"99\" \"2\" \"0\" \n"
                                     "XI \"1000\" \"1\" \"5\" \"2\" \"5\" \n"
                                     "EV \"POWER\" \"IO\" \"24\" \"in\" \"1010\" \"2\" \"6\" \n"
                                     "YI \"1\" \"7\" \"2\" \"7\" \n"
                                     "DS \"S<1>\" \"t\" \"f\" \"7\" \"1050\" \"1\" \"8\" \"2\" \"8\" \n"
                                     "FS \"S<1>\" \"1100\" \"1\" \"1\" \"9\" \"2\" \"9\" \n"
                                     "DS \"S2\" \"t\" \"f\" \"7\" \"1200\" \"2\" \"10\" \n"
                                     "FS \"S2\" \"1300\" \"0\" \"2\" \"11\" \n"
                                     "RD \"R1\" \"x\" \"1\" \"5600\" \"1400\" \"1\" \"12\" \n"
                                     "BROKEN \"x\n",
                                     diagnostics);
    EXPECT_NE(page.find("<span id=\"plan\">DOORS</span>"), std::string::npos);
    EXPECT_NE(page.find("Fri Feb 27 09:12:44 2026"), std::string::npos);
    EXPECT_NE(page.find("id=\"count-files\"><b>2</b>"), std::string::npos);
    EXPECT_NE(page.find("id=\"count-instances\"><b>1</b>"), std::string::npos);
    EXPECT_NE(page.find("id=\"count-scenarios\"><b>2</b>"), std::string::npos);
    EXPECT_NE(page.find("id=\"count-failed\"><b>1</b>"), std::string::npos);
    EXPECT_NE(page.find("<td class=\"num\">4321</td>"), std::string::npos);
    EXPECT_NE(page.find("data-scenario=\"S&lt;1&gt;\" data-verdict=\"failed\""), std::string::npos);
    EXPECT_NE(page.find("data-scenario=\"S2\" data-verdict=\"passed\""), std::string::npos);
    EXPECT_NE(page.find("<td class=\"files\" title=\"#1 run1.rod, #2 run2.rod\">1, 2</td>"), std::string::npos);
    // Both lanes draw the joined instance block and the joined failed scenario.
    EXPECT_EQ(occurrences(page, "<rect class=\"inst\""), 2u);
    EXPECT_EQ(occurrences(page, "<rect class=\"sc failed\""), 2u);
    EXPECT_EQ(occurrences(page, "<rect class=\"sc passed\""), 1u);
    EXPECT_EQ(occurrences(page, "<rect class=\"ev\""), 1u);
    EXPECT_EQ(occurrences(page, "<line class=\"rd\""), 1u);
    EXPECT_NE(page.find("<title>line 8: DS &quot;S&lt;1&gt;&quot;"), std::string::npos);
    EXPECT_NE(page.find("1000 ms"), std::string::npos);
    EXPECT_NE(page.find("Damaged lines skipped: 1"), std::string::npos);
    EXPECT_NE(page.find("line 13: field 1 is not closed"), std::string::npos);
    EXPECT_EQ(diagnostics.count, 1u);
    // Self-contained: nothing is fetched from elsewhere.
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("src="), std::string::npos);
    EXPECT_EQ(page.find("href="), std::string::npos);
}

TEST(UmlPageTest, ReportWithoutBodyStillMakesAPage)
{
    RddDiagnostics diagnostics;
    const std::string page = page_of("", diagnostics);
    EXPECT_NE(page.find("No timed lines to draw."), std::string::npos);
    EXPECT_NE(page.find("The report holds no scenario."), std::string::npos);
    EXPECT_NE(page.find("</html>"), std::string::npos);
}

TEST(UmlPageTest, LargeMergeStaysSmall)
{
    // 1000 files, each with scenarios and events spread over the axis: far
    // more marks than a page can carry one by one.
    std::string text = HEADER + "SY \"C\" \"0\" \"0\" \"1000\" \"1\" \"us\" \"1\" \"1\" \n";
    std::string scenario_files;
    for (int file = 1; file <= 1000; ++file) {
        text += "CF \"run" + std::to_string(file) + ".rod\" \"\" \"/w\" \"1\" \"1\" \"" + std::to_string(file) +
                "\" \"0\" \n";
        scenario_files += "\"" + std::to_string(file) + "\" \"3\" ";
    }
    for (int scenario = 0; scenario < 40; ++scenario) {
        const std::string start = std::to_string(scenario * 1000);
        const std::string end = std::to_string(scenario * 1000 + 900);
        text += "DS \"S" + std::to_string(scenario) + "\" \"t\" \"f\" \"1\" \"" + start + "\" " + scenario_files + "\n";
        for (int file = 1; file <= 1000; ++file)
            for (int event = 0; event < 8; ++event)
                text += "EV \"E\" \"I\" \"1\" \"in\" \"" + std::to_string(scenario * 1000 + event * 100 + file % 7) +
                        "\" \"" + std::to_string(file) + "\" \"4\" \n";
        text += "FS \"S" + std::to_string(scenario) + "\" \"" + end + "\" \"" + (scenario % 9 ? "0" : "1") + "\" " +
                scenario_files + "\n";
    }
    RddDiagnostics diagnostics;
    const std::string page = page_of(text, diagnostics);
    EXPECT_EQ(diagnostics.count, 0u);
    EXPECT_GT(text.size(), 10u << 20);
    EXPECT_LT(page.size(), 4u << 20);
    EXPECT_NE(page.find("id=\"count-scenarios\"><b>40</b>"), std::string::npos);
    EXPECT_NE(page.find("id=\"count-failed\"><b>5</b>"), std::string::npos);
    EXPECT_NE(page.find("<rect class=\"sc failed agg\""), std::string::npos);
    EXPECT_NE(page.find("<rect class=\"ev agg\""), std::string::npos);
    EXPECT_EQ(occurrences(page, "<tr class=\"scenario "), 40u);
    EXPECT_NE(page.find("<details><summary>1000 CF lines</summary>"), std::string::npos);
}
