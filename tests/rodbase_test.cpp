#include "rodbase.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

Objet *str(const char *text) { return str_new(text, std::strlen(text)); }
Objet *line(const char *code) { return list2(str(code), str("\"f\"")); }

class Keywords : public ::testing::Test {
protected:
    void SetUp() override { keywords_init(); }
    void TearDown() override { keywords_release(); }
};

} // namespace

TEST_F(Keywords, TableHolds56CodesInKindOrderThenTheEndEntry)
{
    // Spot checks at both ends and in the middle: each entry's string is
    // its code, tagged with its kind; tokens are kind + 4.
    for (int kind : {0, int(KIND_XI), int(KIND_FQ), ROD_KEYWORD_COUNT - 1}) {
        const RodKeyword &entry = rod_keywords[kind];
        EXPECT_EQ(entry.length, 2);
        EXPECT_EQ(entry.token, kind + 4);
        ASSERT_NE(entry.string, nullptr);
        EXPECT_EQ(std::string(entry.string->head.text, entry.string->link.length), entry.code);
        EXPECT_EQ(entry.string->tag, kind);
    }
    EXPECT_STREQ(rod_keywords[0].code, "SY");
    EXPECT_STREQ(rod_keywords[ROD_KEYWORD_COUNT - 1].code, "ID");
    EXPECT_EQ(ROD_KEYWORD_COUNT, 56);
    const RodKeyword &end = rod_keywords[ROD_KEYWORD_COUNT];
    EXPECT_STREQ(end.code, "");
    EXPECT_EQ(end.length, -1);
    EXPECT_EQ(end.string, nullptr);
    EXPECT_EQ(end.token, -1);
    EXPECT_STREQ(keyword_string(KIND_FQ)->head.text, "FQ");
    EXPECT_STREQ(keyword_string(KIND_FR)->head.text, "FR");
}

TEST_F(Keywords, InitTwiceKeepsTheStringsReleaseClearsThem)
{
    Objet *before = keyword_string(KIND_SY);
    keywords_init();
    EXPECT_EQ(keyword_string(KIND_SY), before);
    keywords_release();
    EXPECT_EQ(keyword_string(KIND_SY), nullptr);
    keywords_release();
    keywords_init();
    EXPECT_NE(keyword_string(KIND_SY), nullptr);
}

TEST_F(Keywords, CodeComparisonsUseTheFirstTwoBytes)
{
    Objet *co = str("CO");
    Objet *cox = str("COX");
    Objet *c = str("C");
    EXPECT_TRUE(code_is(co, "CO"));
    EXPECT_TRUE(code_is_CO(cox));
    EXPECT_FALSE(code_is(c, "CO"));
    EXPECT_FALSE(code_is_DW(co));
    for (Objet *x : {co, cox, c})
        obj_free(x);
}

TEST_F(Keywords, SetMembershipComparesTheCodesFullLength)
{
    Objet *set = code_set_new({KIND_DW, KIND_SN});
    Objet *dw = str("DW");
    Objet *d = str("D");
    Objet *dwx = str("DWX");
    Objet *xi = str("XI");
    EXPECT_TRUE(code_in_set(dw, set));
    EXPECT_TRUE(code_in_set(d, set)); // a prefix of a member
    EXPECT_FALSE(code_in_set(dwx, set));
    EXPECT_FALSE(code_in_set(xi, set));
    EXPECT_FALSE(code_in_set(dw, nullptr));
    for (Objet *x : {set, dw, d, dwx, xi})
        obj_free(x);
}

TEST_F(Keywords, LinesAndGroups)
{
    Objet *single = list1(line("XX"));
    EXPECT_TRUE(is_line(single->head.item));
    EXPECT_FALSE(is_line(single));
    EXPECT_FALSE(is_group(single)); // one line only

    Objet *nested = list2(line("RE"), list2(line("XI"), line("YI")));
    EXPECT_TRUE(is_group(nested));
    EXPECT_TRUE(is_group(nested->link.next->head.item));
    EXPECT_FALSE(starts_with_group(nested));
    Objet *outer = list1(nested);
    EXPECT_TRUE(starts_with_group(outer));

    // Null items do not count towards the two filled cells.
    Objet *holey = list3(line("DA"), nullptr, nullptr);
    EXPECT_FALSE(is_group(holey));
    holey->link.next->link.next->head.item = line("PA");
    EXPECT_TRUE(is_group(holey));
    EXPECT_TRUE(is_DA_group(holey));
    EXPECT_FALSE(is_PP_group(holey));

    EXPECT_FALSE(is_line(nullptr));
    EXPECT_FALSE(is_group(nullptr));
    for (Objet *x : {single, outer, holey})
        obj_free(x);
}

TEST_F(Keywords, FindLineNeedsTheExactCode)
{
    Objet *group = list4(line("XIX"), list1(line("XI")), line("X"), line("XI"));
    Objet *found = find_line(group, KIND_XI);
    EXPECT_EQ(found, group->link.next->link.next->link.next->head.item);
    EXPECT_TRUE(is_XI_group(group));
    EXPECT_FALSE(is_DS_group(group));
    EXPECT_EQ(find_line(group, KIND_DT), nullptr);
    obj_free(group);
}

TEST_F(Keywords, TimedListsAndFinders)
{
    Objet *xi_group = list2(line("XI"), line("YI"));
    Objet *ds_group = list2(line("DS"), line("FS"));
    Objet *dt_group = list2(line("DT"), line("YT"));
    Objet *xe_group = list2(line("XE"), line("FE"));
    Objet *timed = list4(list2(line("RE"), line("SY")), xi_group, dt_group, xe_group);
    EXPECT_TRUE(is_timed_list(timed));
    EXPECT_EQ(find_XI_group(timed), xi_group);
    EXPECT_EQ(find_XI_group_cell(timed), timed->link.next);
    EXPECT_EQ(find_DS_group(timed), nullptr);
    EXPECT_EQ(find_DT_item(timed), dt_group);
    EXPECT_EQ(find_XE_item(timed), xe_group);
    EXPECT_TRUE(has_DT_line(dt_group));
    EXPECT_TRUE(has_XE_line(xe_group));

    Objet *timed_by_ds = list2(list2(line("DA"), line("PA")), ds_group);
    EXPECT_TRUE(is_timed_list(timed_by_ds));
    EXPECT_EQ(find_DS_group_cell(timed_by_ds), timed_by_ds->link.next);

    Objet *untimed = list2(list2(line("DA"), line("PA")), line("SY"));
    EXPECT_FALSE(is_timed_list(untimed));

    Objet *both = list2(timed, timed_by_ds);
    EXPECT_TRUE(all_timed(both));
    Objet *mixed = list2(untimed, nullptr);
    EXPECT_FALSE(all_timed(mixed));
    EXPECT_FALSE(all_timed(xi_group)); // its items are lines, not timed lists
    obj_free(both);
    obj_free(mixed);
}

TEST(LongEqual, OnlyLongsOfTheSameValue)
{
    Objet *a = long_new(5);
    Objet *b = long_new(5);
    Objet *c = long_new(6);
    Objet *i = int_new(5);
    EXPECT_TRUE(long_equal(a, b));
    EXPECT_FALSE(long_equal(a, c));
    EXPECT_FALSE(long_equal(a, i));
    for (Objet *x : {a, b, c, i})
        obj_free(x);
}
