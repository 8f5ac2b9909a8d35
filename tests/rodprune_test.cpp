#include "rod_text.h"

using namespace rodtext;

namespace {

using Prune = EngineTest;

// The loader's passes up to the selection pruning.
Objet *structured(const char *text)
{
    Objet *list = filter_codes(lines(text));
    name_lines(list);
    convert_numeric_fields(list);
    return nest_blocks(close_runs(add_tp_lines(list)));
}

} // namespace

TEST_F(Prune, DeletedCodesGoInBothModesTimingCodesOnlyWithTime)
{
    const char *text = "RE \"r\"\nUN \"u\"\nXI \"1\" \"2\" \"3\"\nPT \"p\"\nFQ \"q\"\nDP \"d\" \"2\"\nSE\nFP\nZZ\nBC \"b\"\n";
    Objet *normal = filter_codes(lines(text));
    // Kept lines keep the line numbers given at loading.
    EXPECT_EQ(print(normal), "RE \"r\" \"1\" \"1\" \nXI \"1\" \"2\" \"3\" \"1\" \"3\" \nFQ \"q\" \"1\" \"5\" \n"
                             "ZZ \"1\" \"9\" \nBC \"b\" \"1\" \"10\" \n\n");
    obj_free(normal);
    Objet *timed = filter_codes_time(lines(text));
    EXPECT_EQ(outline(timed), "RE BC /");
    obj_free(timed);
}

TEST_F(Prune, CommentRunsFollowTheLineAfterThem)
{
    Objet *kept = filter_codes(lines("CO \"a\"\nCO \"b\"\nDW\nCO \"c\"\nXX\nCO\nCO\nSN\nBC\n"));
    EXPECT_EQ(outline(kept), "CO CO DW XX CO CO SN BC /");
    obj_free(kept);
    Objet *timed = filter_codes_time(lines("CO\nXX\nCO\nDW\nBC\n"));
    EXPECT_EQ(outline(timed), "XX CO DW BC /");
    obj_free(timed);

    Objet *single = lines("CO\nCO\nEX\n");
    check_comment(single);
    check_comment(single->link.next);
    EXPECT_TRUE(single->flags & OBJ_MARK_DELETE);
    EXPECT_TRUE(single->link.next->flags & OBJ_MARK_DELETE);
    obj_free(single);
}

TEST_F(Prune, CommentsAtTheEndOfTheFileAreAnUnexpectedEnd)
{
    EXPECT_EXIT(filter_codes(lines("BC\nCO\n")), ::testing::ExitedWithCode(7), "UNEXPTEOF");
    EXPECT_EXIT(filter_codes_time(lines("BC\nCO\nCO\n")), ::testing::ExitedWithCode(7), "UNEXPTEOF");
}

TEST_F(Prune, UnselectedPpAndDaBlocksOutsideTheFirstPartGo)
{
    // First part: an unselected DA block, never examined. Body: an
    // unselected PP block (a quoted 10 is no mark), a PP block selected by
    // one PQ line, an unselected DA block, a selected DA block.
    Objet *tree = structured("DA \"0\" \"n\" \"1\" \"2\" \"3\"\nPA \"0\" \"x\"\n"
                             "PP \"0\" \"x\"\nPQ \"10\" \"x\"\n"
                             "PP \"0\" \"x\"\nPQ \"0\" \"x\"\nPQ \"1\" \"x\"\n"
                             "DA \"2\" \"n\" \"1\" \"2\" \"3\"\nPA \"0\" \"x\"\n"
                             "DA \"0\" \"n\" \"1\" \"2\" \"3\"\nPA \"1\" \"x\"\n"
                             "BC \"b\"\nBC \"b\"\n");
    EXPECT_EQ(outline(tree), "DA PA FA / / PP TP PQ FQ / PP TP PQ PQ FQ / DA PA FA / DA PA FA / BC / BC / /");
    tree = prune_selection(tree);
    EXPECT_EQ(outline(tree), "DA PA FA / / PP TP PQ PQ FQ / DA PA FA / BC / BC / /");
    EXPECT_NE(print(tree).find("PQ \"1\" \"x\""), std::string::npos);
    EXPECT_NE(print(tree).find("PA \"1\" \"x\""), std::string::npos);
    obj_free(tree);
}

TEST_F(Prune, OnlyTheBlocksOwnLinesSelectNestedBlocksGoWithIt)
{
    Objet *root = cons(list1(str_new("  ", 2)),
                       bare_lines("BC\nDA \"0\"\nDA \"1\"\nPA \"1\"\nFA\nFA\nDA \"1\"\nDA \"0\"\nFA\nFA\nBC\n"));
    nest_paired(root, KIND_DA, KIND_FA);
    split_three(root);
    Objet *tree = root->link.next;
    root->link.next = nullptr;
    obj_free(root);
    tree = prune_selection(tree);
    // The outer unselected block goes with its selected inner block; in the
    // selected outer block the unselected inner one goes.
    EXPECT_EQ(outline(tree), "BC / DA FA / / BC / /");
    obj_free(tree);
}
