#include "rod_text.h"

using namespace rodtext;

namespace {

using Structure = EngineTest;

// Read lines after naming, conversion and TP lines, as the loader has them.
Objet *prepared(const char *text)
{
    Objet *list = lines(text);
    name_lines(list);
    convert_numeric_fields(list);
    return add_tp_lines(list);
}

Objet *with_root(Objet *chain) { return cons(list1(str_new("  ", 2)), chain); }

// Frees a work root and returns what followed it.
Objet *without_root(Objet *root)
{
    Objet *chain = root->link.next;
    root->link.next = nullptr;
    obj_free(root);
    return chain;
}

Objet *structured(const char *text) { return regroup_timed(nest_blocks(bare_lines(text))); }

std::string repeated(const char *line, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i)
        text += line;
    return text;
}

// Lines of the DW example of the report format, with their fields.
constexpr const char *DW_EXAMPLE = "DW \"w\" \"w\" \"100\" \"5\" \"200\"\n"
                                   "DX \"x\" \"x\"\nCH \"c\" \"c\"\n"
                                   "EV \"e\" \"e\" \"1\" \"e\" \"150\"\nCH \"c\" \"c\"\n"
                                   "SN \"s\" \"s\" \"s\" \"1\" \"2\" \"160\"\nCH \"c\" \"c\"\n"
                                   "XX \"x\" \"x\"\nBC \"b\"\n";

} // namespace

TEST_F(Structure, FindersStopWhereTheSetsSay)
{
    Objet *chain = bare_lines("PP\nPQ\nTP\nDX\nPQ\n");
    Objet *openers = code_set_new({KIND_PP});
    Objet *members = code_set_new({KIND_PQ, KIND_TP});
    EXPECT_EQ(find_before(chain, openers), nullptr);
    EXPECT_EQ(find_before(chain->link.next, openers), list_nth(chain, 4));
    EXPECT_EQ(find_run_end(chain->link.next, members), list_nth(chain, 2));
    EXPECT_EQ(find_run_end(list_nth(chain, 3), members), nullptr);
    EXPECT_EQ(find_run_end(nullptr, members), nullptr);
    // The last cell is not tested: a run that reaches it reaches the end.
    EXPECT_EQ(find_run_end(list_nth(chain, 4), openers), list_nth(chain, 4));
    Objet *fq = bare_lines("FQ");
    insert_line_after(chain, list_swap_item(fq, nullptr));
    obj_free(fq);
    EXPECT_EQ(outline(chain), "PP FQ PQ TP DX PQ /");
    obj_free(openers);
    obj_free(members);
    obj_free(chain);
}

TEST_F(Structure, PpRunIsClosedAndEnclosed)
{
    Objet *closed = close_runs(bare_lines("BC\nPP\nPQ\nPQ\nDX\nCH\nRD\nBC\n"));
    EXPECT_EQ(outline(closed), "BC PP PQ PQ FQ DX CH FX RD BC /");
    EXPECT_EQ(list_nth(closed, 4)->head.item->head.item->tag, KIND_FQ);
    Objet *tree = nest_blocks(closed);
    EXPECT_EQ(outline(tree), "BC / PP PQ PQ FQ / DX CH FX RD / BC / /");
    obj_free(tree);
}

TEST_F(Structure, DwRunsGetTheirClosingLinesInPassOrder)
{
    Objet *closed = close_runs(prepared(DW_EXAMPLE));
    EXPECT_EQ(outline(closed), "DW DX CH FX FF EV CH FV FW SN CH FN XX TP BC /");
    // FW repeats the DW line, fields 3 and 5 raised by field 4, with its origin.
    Objet *fw = list_nth(closed, 8)->head.item;
    EXPECT_EQ(print(fw), "FW \"w\" \"w\" \"105\" \"5\" \"205\" \"1\" \"1\" \n");
    EXPECT_EQ(fw->head.item->tag, KIND_FW);
    EXPECT_EQ(print(list_nth(closed, 4)->head.item), "FF \n");
    Objet *tree = nest_blocks(closed);
    EXPECT_EQ(outline(tree), "DW DX CH FX FF / / EV CH FV / FW SN CH FN / XX TP / / BC / /");
    obj_free(tree);
}

TEST_F(Structure, CommentsAndTheirRunShareOneBlock)
{
    const std::string text = std::string("CO \"a\" \"a\"\nCO \"b\" \"b\"\n") + DW_EXAMPLE;
    Objet *closed = close_runs(prepared(text.c_str()));
    EXPECT_EQ(outline(closed), "CO CO DW DX CH FX FF FO EV CH FV FW SN CH FN XX TP BC /");
    Objet *tree = nest_blocks(closed);
    EXPECT_EQ(outline(tree), "CO CO DW DX CH FX FF FO / / EV CH FV / FW SN CH FN / XX TP / / BC / /");
    obj_free(tree);

    Objet *before_sn = close_runs(prepared("BC \"b\"\nCO \"a\" \"a\"\nSN \"s\" \"s\" \"s\" \"1\" \"2\" \"3\"\n"
                                           "CH \"c\" \"c\"\nBC \"b\"\nBC \"b\"\n"));
    EXPECT_EQ(outline(before_sn), "BC CO SN CH FN FO BC BC /");
    obj_free(before_sn);
}

TEST_F(Structure, RunsReachingTheLastLineAreAnUnexpectedEnd)
{
    EXPECT_EXIT(close_runs(bare_lines("BC\nEV\nCH\n")), ::testing::ExitedWithCode(7), "UNEXPTEOF");
    // The last line ends the run even when it is no member.
    EXPECT_EXIT(close_runs(bare_lines("BC\nPP\nRD\n")), ::testing::ExitedWithCode(7), "UNEXPTEOF");
    Objet *alone = close_runs(bare_lines("BC\nPP\nRD\nBC\n"));
    EXPECT_EQ(outline(alone), "BC PP FQ RD BC /");
    obj_free(alone);
}

TEST_F(Structure, PairedBlocksNestFlatBlocksEndAtTheFirstCloser)
{
    Objet *root = with_root(bare_lines("DA\nDA\nPA\nFA\nFA\n"));
    nest_paired(root, KIND_DA, KIND_FA);
    Objet *chain = without_root(root);
    EXPECT_EQ(outline(chain), "DA DA PA FA / FA / /");
    obj_free(chain);

    root = with_root(bare_lines("XX\nXX\nTP\nTP\n"));
    nest_flat(root, KIND_XX, KIND_TP);
    chain = without_root(root);
    EXPECT_EQ(outline(chain), "XX XX TP / TP /");
    obj_free(chain);
}

TEST_F(Structure, UnmatchedOpenersAndClosersAreAnUnexpectedEnd)
{
    for (const char *text : {"BC\nFS\nBC\n", "BC\nDS\nBC\n", "BC\nXX\nBC\n", "BC\nDA\nDA\nFA\nBC\n"})
        EXPECT_EXIT(nest_blocks(bare_lines(text)), ::testing::ExitedWithCode(7), "UNEXPTEOF") << text;
    Objet *root = with_root(bare_lines("TP\nBC\n"));
    EXPECT_EXIT(nest_flat(root, KIND_TP, KIND_TP), ::testing::ExitedWithCode(7), "UNEXPTEOF");
    obj_free(root);
}

TEST_F(Structure, ThreePartSplit)
{
    Objet *two = nest_blocks(bare_lines("BC\nRD\n"));
    ASSERT_NE(two->link.next, nullptr);
    EXPECT_EQ(two->link.next->head.item, nullptr);
    EXPECT_EQ(outline(two), "BC / RD / /");
    obj_free(two);
    Objet *blocks = nest_blocks(bare_lines("XX\nTP\nBC\nRD\nBC\nXX\nTP\n"));
    EXPECT_EQ(outline(blocks), "XX TP / / BC RD BC / XX TP / / /");
    obj_free(blocks);
    EXPECT_EXIT(nest_blocks(bare_lines("BC\n")), ::testing::ExitedWithCode(7), "UNEXPTEOF");
    EXPECT_EXIT(nest_blocks(bare_lines("XX\nTP\n")), ::testing::ExitedWithCode(7), "UNEXPTEOF");
}

TEST_F(Structure, RunShapes)
{
    // Each body becomes E, whose item is the list of runs.
    const struct {
        const char *body;
        const char *outline;
    } cases[] = {
        {"XI\nYI\nDS\nFS\nDT\nYT\n", "XI YI / DS FS / DT YT / / / /"},
        {"XI\nYI\nXE\nFE\n", "XI YI / XE FE / / / /"},
        {"XI\nYI\nXI\nYI\n", "XI YI / / XI YI / / / /"},
        {"XI\nYI\nDT\nYT\nDT\nYT\n", "XI YI / DT YT / / DT YT / / / /"},
        {"DS\nFS\nXE\nFE\nRD\n", "DS FS / XE FE / / / RD /"},
    };
    for (const auto &c : cases) {
        Objet *tree = structured((std::string("BC\n") + c.body + "BC\n").c_str());
        EXPECT_EQ(outline(tree), std::string("BC / ") + c.outline + " BC / /") << c.body;
        obj_free(tree);
    }
}

TEST_F(Structure, RunsEndAtAGroupThatCannotStartOne)
{
    Objet *front = structured("BC\nXX\nTP\nXI\nYI\nBC\n");
    Objet *e = front->link.next->head.item;
    EXPECT_EQ(e->head.item, nullptr);
    EXPECT_EQ(outline(e), "XX TP / XI YI / /");
    obj_free(front);

    Objet *between = structured("BC\nXI\nYI\nXX\nTP\nXI\nYI\nBC\n");
    EXPECT_EQ(outline(between->link.next->head.item), "XI YI / / / XX TP / XI YI / /");
    obj_free(between);
}

TEST_F(Structure, InnerRunsOfScenariosAreRegroupedFirst)
{
    Objet *tree = structured("BC\nDS\nXI\nYI\nXI\nYI\nFS\nBC\n");
    // The DS group's second cell is its own E; FS follows in E's chain.
    Objet *ds_group = tree->link.next->head.item->head.item->head.item->head.item;
    EXPECT_EQ(outline(ds_group), "DS XI YI / / XI YI / / / FS /");
    EXPECT_TRUE(all_timed(ds_group->link.next->head.item));
    obj_free(tree);
}

TEST_F(Structure, DeepNestingNeedsNoDeepStack)
{
    const int depth = 100000;
    Objet *root = with_root(bare_lines(("BC\n" + repeated("DA \"0\"\n", depth) + repeated("FA\n", depth) + "BC\n").c_str()));
    nest_paired(root, KIND_DA, KIND_FA);
    split_three(root);
    Objet *tree = prune_selection(without_root(root));
    EXPECT_EQ(outline(tree), "BC / BC / /");
    obj_free(tree);

    Objet *scenarios = structured(("BC\n" + repeated("DS\n", depth) + repeated("FS\n", depth) + "BC\n").c_str());
    const std::string printed = print(scenarios);
    size_t ds_lines = 0;
    for (size_t at = printed.find("DS \n"); at != std::string::npos; at = printed.find("DS \n", at + 1))
        ++ds_lines;
    EXPECT_EQ(ds_lines, size_t(depth));
    // Every DS group but the innermost holds its inner runs in its second cell.
    Objet *ds_group = scenarios->link.next->head.item->head.item->head.item->head.item;
    EXPECT_TRUE(all_timed(ds_group->link.next->head.item));
    obj_free(scenarios);
}
