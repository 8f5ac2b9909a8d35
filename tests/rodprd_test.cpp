// RDD writing: each kind written whole, without its last two read fields or
// not at all, numbers from their values with the pending time offset, the
// CF line made for a file, and repeated IE names numbered.
#include "rod_text.h"

#include "i18n_zrm_msg.h"
#include "rodadcf.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

const bool catalog_ready = (catalog_fill(), true);

TEST(RddWriting, LinesAreWrittenByKind)
{
    const RodFile file = rodtext::load("RE \"r\"  ,\"x\" junk\n"
                                       "SY \"C\" \"0\" \"007\" \"??\" \"1000\" \"ms\"\n"
                                       "IE \"0\" \"A\" \"a\"\nIE \"1\" \"b\" \"A\"\nIE \"0\" \"A\" \"c\"\nIE \"0\" \"A 2\" \"d\"\n"
                                       "IE \"0\" \"A\" \"e\"\n"
                                       "XI \"10\" \"20\" \"30\" \"x\" \"y\"\nXX \"free\" \"1\" \"2\"\n"
                                       "DS \"s\" \"t\" \"f\" \"1\" \"5\" \"6\" \"7\" \"8\" \"9\"\nFS \"s\" \"11\" \"0\" \"1\" \"2\"\n"
                                       "YI \"12\" \"1\" \"2\"\nDB \"d\"\nBF \"e\"\n");
    add_cf_line(file.tree, "run1.rod", 1, {1234, 0xBEEF, true});
    const std::string written = rodtext::written(file.tree, 1000);
    // The RE line whole; SY numbers as values; IE names met before numbered,
    // a made name not compared again; the CF line after the first IE line;
    // XI, DS and FS without their last two fields and time fields raised by
    // the offset; TP and FR not written.
    EXPECT_EQ(written.substr(0, written.find("XI ")),
              "RE \"r\" \"x\" \"1\" \"1\" \n"
              "SY \"C\" \"0\" \"7\" \"0\" \"1000\" \"ms\" \"1\" \"2\" \n"
              "IE \"0\" \"A\" \"a\" \"1\" \"3\" \n"
              "CF \"run1.rod\" \"\" \"" + std::filesystem::current_path().string() +
                  "\" \"1234\" \"48879\" \"1\" \"0\" \n"
                  "IE \"1\" \"b\" \"A 2\" \"1\" \"4\" \n"
                  "IE \"0\" \"A 3\" \"c\" \"1\" \"5\" \n"
                  "IE \"0\" \"A 2\" \"d\" \"1\" \"6\" \n"
                  "IE \"0\" \"A 4\" \"e\" \"1\" \"7\" \n");
    EXPECT_EQ(written.substr(written.find("XI ")),
              "XI \"1010\" \"20\" \"30\" \"1\" \"8\" \n"
              "XX \"free\" \"1\" \"9\" \n"
              "DS \"s\" \"t\" \"f\" \"1\" \"1005\" \"6\" \"7\" \"1\" \"10\" \n"
              "FS \"s\" \"11\" \"0\" \"1\" \"11\" \n"
              "YI \"12\" \"1\" \"12\" \n"
              "DB \"d\" \"1\" \"13\" \n"
              "BF \"e\" \"1\" \"14\" \n");
    model_release();
}

} // namespace
