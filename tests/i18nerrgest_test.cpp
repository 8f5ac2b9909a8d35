#include "exit_capture.h"
#include "i18n_zrm_msg.h"
#include "i18nerrgest.h"

#include <gtest/gtest.h>

namespace {

class Reporter : public ::testing::Test {
protected:
    void SetUp() override { catalog_fill(); }
};

std::string line(const char *code, char letter, const char *arg1, const char *arg2)
{
    return format_message_line(code, letter, QString::fromUtf8(arg1), QString::fromUtf8(arg2)).toStdString();
}

} // namespace

TEST_F(Reporter, ArgumentsGoInByTheLowestPlaceholderRule)
{
    EXPECT_EQ(line("FICNOTOPN", 'F', "a.rio", ""), "Molvex-F-FICNOTOPN,  File a.rio access problem\n");
    // arg1 empty: arg2 lands in %1, the left-over %2 is removed.
    EXPECT_EQ(line("ENDNOEWAR", 'I', "", "2"), "Molvex-I-ENDNOEWAR,  End of execution with 2 warning(s)\n");
    EXPECT_EQ(line("STARTEXEC", 'I', "Molvex", " Title 1.2"), "Molvex-I-STARTEXEC,  Molvex Title 1.2\n");
    EXPECT_EQ(line("UNEXPTEOF", 'F', "x.rod: ", ""), "Molvex-F-UNEXPTEOF,  x.rod: Unexpected end of file\n");
    EXPECT_EQ(line("ENDERRWAR", 'I', "1", "2"),
              "Molvex-I-ENDERRWAR,  End of execution  with 1 error(s) and 2 warning(s)\n");
    // The argument's own %1..%3 go; %4 stays.
    EXPECT_EQ(line("FICNOTOPN", 'F', "a%1b%2c%3d%4", ""), "Molvex-F-FICNOTOPN,  File abcd%4 access problem\n");
    // An unknown code gives the prefix alone.
    EXPECT_EQ(line("ERRINTERN", 'F', "", ""), "Molvex-F-ERRINTERN,  \n");
    EXPECT_EQ(line("ficnotopn", 'F', "a", ""), "Molvex-F-ficnotopn,  \n");
}

TEST_F(Reporter, CatalogKeepsTheLaterOfTwoEntriesAndFillsOnce)
{
    EXPECT_EQ(catalog_lookup("ENDERRWAR").toStdString(), "End of execution  with %1 error(s) and %2 warning(s)");
    catalog_insert("ENDNOENWR", "changed");
    catalog_fill();
    EXPECT_EQ(catalog_lookup("ENDNOENWR").toStdString(), "changed");
    catalog_insert("ENDNOENWR", "End of execution without errors or warnings");
    EXPECT_TRUE(catalog_lookup("NOSUCHCODE").isNull());
}

TEST_F(Reporter, FatalAndSystemEndWithSevenAndNine)
{
    const Ending fatal = run_to_end([] { report_fatal("FICNOTOPN", "x", ""); });
    EXPECT_EQ(fatal.status, 7);
    EXPECT_EQ(fatal.err, "Molvex-F-FICNOTOPN,  File x access problem\n");
    const Ending system = run_to_end([] {
        report_warning("NORIOFTDC", "a.tdc", "");
        report_system("BADPARAMS", "", "");
    });
    EXPECT_EQ(system.status, 9);
    EXPECT_EQ(system.err, "Molvex-W-NORIOFTDC,  No RIO file match this a.tdc TDC file\n"
                          "Molvex-S-BADPARAMS,  Incorrect parameters\n");
}
