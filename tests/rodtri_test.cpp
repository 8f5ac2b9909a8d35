#include "rod_text.h"

using namespace rodtext;

namespace {

using Times = EngineTest;

Objet *named(const char *text)
{
    Objet *list = lines(text);
    name_lines(list);
    convert_numeric_fields(list);
    return list;
}

Objet *code(const char *text) { return str_new(text, std::char_traits<char>::length(text)); }

// An XI line with start time `time` and `id` as a fourth field.
Objet *xi(const char *time, const char *id)
{
    Objet *list = named(("XI \"" + std::string(time) + "\" \"0\" \"0\" \"" + id + "\"").c_str());
    Objet *line = list->head.item;
    list->head.item = nullptr;
    obj_free(list);
    return line;
}

} // namespace

TEST_F(Times, KindsOfReadCodes)
{
    const char *codes[] = {"SY", "XI", "FS", "TP", "ID", "CO"};
    const int32_t kinds[] = {KIND_SY, KIND_XI, KIND_FS, KIND_TP, KIND_ID, KIND_CO};
    for (size_t i = 0; i < std::size(codes); ++i) {
        Objet *c = code(codes[i]);
        EXPECT_EQ(line_kind_of(c), kinds[i]) << codes[i];
        obj_free(c);
    }
    Objet *longer = code("DSX");
    EXPECT_EQ(line_kind_of(longer), KIND_DS);
    obj_free(longer);
    // Codes that only the engine makes, and unknown ones, are internal faults.
    for (const char *made : {"FW", "FQ", "FR", "ZZ", "SE"})
        EXPECT_EXIT(line_kind_of(code(made)), ::testing::ExitedWithCode(7), "ERRINTERN") << made;
}

TEST_F(Times, NumericFieldsBecomeLongs)
{
    Objet *list = named("XI \"10\" \"20\" \"30\"\nDS \"a\" \"b\" \"c\" \"d\" \"5\" \"??\" \"x7\"\nCH \"c\" \"y\"\n");
    EXPECT_EQ(list->head.item->head.item->tag, KIND_XI);
    EXPECT_EQ(print(list), "XI \"10\" \"20\" \"30\" \"1\" \"1\" \n"
                           "DS \"a\" \"b\" \"c\" \"d\" \"5\" \"0\" \"0\" \"1\" \"2\" \n"
                           "CH \"c\" \"y\" \"1\" \"3\" \n\n");
    Objet *xi_line = list->head.item;
    EXPECT_EQ(get_XI_1(xi_line)->kind, OBJ_LONG);
    EXPECT_EQ(line_time(xi_line), get_XI_1(xi_line));
    EXPECT_EQ(line_long(xi_line, 3), 30);
    EXPECT_EQ(line_time(list->link.next->head.item)->link.value, 5);
    EXPECT_EQ(line_time(list->link.next->link.next->head.item), nullptr);
    obj_free(list);
}

TEST_F(Times, ShortLinesAndHugeNumbersAreAnUnexpectedEnd)
{
    for (const char *text : {"XI \"1\" \"2\"", "DS \"a\" \"b\" \"c\" \"d\" \"5\" \"6\"", "CH \"c\"", "PP",
                             "SY \"c\" \"1\" \"2\" \"3\"", "XI \"4294967296\" \"0\" \"0\"",
                             "XI \"-2147483649\" \"0\" \"0\""})
        EXPECT_EXIT(named(text), ::testing::ExitedWithCode(7), "UNEXPTEOF") << text;
    // Lines written whole need no fields; the extreme 32-bit values fit.
    Objet *fine = named("RE\nBC\nXI \"-2147483648\" \"2147483647\" \"0\"\n");
    EXPECT_EQ(line_long(list_nth(fine, 2)->head.item, 1), INT32_MIN);
    obj_free(fine);
    // Naming runs over the whole file first: an unknown code wins.
    auto load = [] {
        Objet *list = lines("XI \"1\"\nZZ \"z\" \"z\"\n");
        name_lines(list);
        convert_numeric_fields(list);
    };
    EXPECT_EXIT(load(), ::testing::ExitedWithCode(7), "ERRINTERN");
}

TEST_F(Times, TpLinesCarryTheLastTime)
{
    Objet *list = add_tp_lines(named("XX \"x\" \"x\"\n"
                                     "DW \"d\" \"d\" \"1\" \"2\" \"100\"\n"
                                     "XX \"x\" \"x\"\n"
                                     "YI \"7\" \"y\"\n"
                                     "EV \"e\" \"e\" \"1\" \"e\" \"250\"\n"
                                     "ER \"r\" \"r\"\n"
                                     "PP \"p\" \"p\"\nPQ \"q\" \"q\"\nPQ \"q\" \"q\"\n"
                                     "EX \"e\" \"e\"\n"));
    EXPECT_EQ(outline(list), "XX TP DW XX TP YI EV ER TP PP TP PQ PQ EX TP /");
    const std::string printed = print(list);
    EXPECT_NE(printed.find("XX \"x\" \"x\" \"1\" \"1\" \nTP \"0\" \nDW"), std::string::npos);
    EXPECT_NE(printed.find("\"3\" \nTP \"100\" \nYI"), std::string::npos);
    EXPECT_NE(printed.find("ER \"r\" \"r\" \"1\" \"6\" \nTP \"250\" \nPP \"p\" \"p\" \"1\" \"7\" \nTP \"250\" \nPQ"),
              std::string::npos);
    Objet *tp = list_nth(list, 1)->head.item;
    EXPECT_EQ(tp->head.item->tag, KIND_TP);
    EXPECT_EQ(tp->head.item->count, 0);
    EXPECT_EQ(line_time(tp)->link.value, 0);
    obj_free(list);
}

TEST_F(Times, FixedKeyIsSharedAndMadeOnce)
{
    Objet *key = fixed_time_key;
    time_key_init();
    EXPECT_EQ(fixed_time_key, key);
    Objet *list = named("YI \"5\" \"y\"\nYT \"6\" \"y\"\nFE \"7\" \"y\"\nFS \"a\" \"8\" \"1\"\n");
    for (Objet *cell = list; cell; cell = cell->link.next)
        EXPECT_EQ(line_time(cell->head.item), key);
    EXPECT_EQ(key->link.value, 33);
    obj_free(list);
}

TEST_F(Times, InsertionKeepsArrivalOrderForEqualKeys)
{
    Objet *list = nullptr;
    list = insert_by_time(list, xi("5", "first"));
    list = insert_by_time(list, xi("3", "b"));
    list = insert_by_time(list, xi("5", "second"));
    list = insert_by_time(list, xi("1", "a"));
    // Keys compare unsigned: -1 is the latest time.
    list = insert_by_time(list, xi("-1", "last"));
    EXPECT_EQ(print(list), "XI \"1\" \"0\" \"0\" \"a\" \"1\" \"1\" \nXI \"3\" \"0\" \"0\" \"b\" \"1\" \"1\" \n"
                           "XI \"5\" \"0\" \"0\" \"first\" \"1\" \"1\" \nXI \"5\" \"0\" \"0\" \"second\" \"1\" \"1\" \n"
                           "XI \"-1\" \"0\" \"0\" \"last\" \"1\" \"1\" \n\n");
    obj_free(list);
}

TEST_F(Times, ItemsWithoutKeyInTheListAreNeverTheInsertionPoint)
{
    Objet *ch = named("CH \"c\" \"c\"\n");
    Objet *list = cons(ch->head.item, list1(xi("5", "five")));
    ch->head.item = nullptr;
    obj_free(ch);
    list = insert_by_time(list, xi("3", "three"));
    list = insert_by_time(list, xi("9", "nine"));
    EXPECT_EQ(outline(list), "CH XI XI XI /");
    EXPECT_NE(print(list).find("CH \"c\" \"c\" \"1\" \"1\" \nXI \"3\""), std::string::npos);
    EXPECT_NE(print(list).find("\"five\" \"1\" \"1\" \nXI \"9\""), std::string::npos);
    obj_free(list);

    Objet *keyless = named("CH \"c\" \"c\"\n");
    EXPECT_EXIT(insert_by_time(nullptr, keyless->head.item), ::testing::ExitedWithCode(7), "UNEXPTEOF");
    obj_free(keyless);
}

TEST_F(Times, GroupKeysComeFromTheirOwnLines)
{
    Objet *xx_group = add_tp_lines(named("DA \"a\" \"a\" \"1\" \"2\" \"40\"\nXX \"x\" \"x\"\nCH \"c\" \"c\"\n"));
    // Drop the DA line: the group is XX, CH and the TP line made after XX.
    Objet *group = xx_group->link.next;
    xx_group->link.next = nullptr;
    obj_free(xx_group);
    EXPECT_EQ(outline(group), "XX TP CH /");
    EXPECT_EQ(group_time(group)->link.value, 40);
    EXPECT_EQ(item_time(group)->link.value, 40);
    EXPECT_EQ(line_time(group), nullptr);

    Objet *nested = cons(group, named("CH \"c\" \"c\"\nDS \"a\" \"b\" \"c\" \"d\" \"9\" \"0\" \"0\"\n"));
    EXPECT_EQ(group_time(nested)->link.value, 9);
    obj_free(nested);
    EXPECT_EQ(item_time(nullptr), nullptr);
}

TEST_F(Times, PositionsAndFieldReplacement)
{
    Objet *line = scan("DS \"a\" \"b\" \"c\" \"d\"");
    EXPECT_EQ(list_nth(line, 4), list_from_end(line, 0));
    EXPECT_EQ(list_nth(line, 0), list_from_end(line, 4));
    EXPECT_EQ(list_nth(line, 5), nullptr);
    EXPECT_EQ(list_from_end(line, 5), nullptr);
    Objet *old = set_DS_4(line, code("\"z\""));
    EXPECT_STREQ(old->head.text, "\"d\"");
    obj_free(old);
    EXPECT_EQ(print(line), "DS \"a\" \"b\" \"c\" \"z\" \n");
    EXPECT_EQ(line_field(line, 9), nullptr);
    obj_free(line);
}
