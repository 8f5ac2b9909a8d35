#include "rod_text.h"

#include "i18n_zrm_msg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

using rodtext::print;

namespace {

Objet *str(const char *text) { return str_new(text, std::strlen(text)); }

Objet *line(const char *code, const char *a, const char *b) { return list3(str(code), str(a), str(b)); }

std::string text_of(const Objet *s) { return std::string(s->head.text, s->link.length); }

// A chain of `n` cells, each holding a one-field line.
Objet *long_list(int n)
{
    Objet *head = nullptr;
    for (int i = 0; i < n; ++i)
        head = cons(list2(str("SY"), int_new(i)), head);
    return head;
}

// `depth` groups nested in one another, each also holding a line.
Objet *deep_nesting(int depth)
{
    Objet *inner = list1(str("XX"));
    for (int i = 0; i < depth; ++i)
        inner = list2(list2(str("XI"), int_new(i)), inner);
    return inner;
}

int chain_length(const Objet *list)
{
    int n = 0;
    for (; list; list = list->link.next)
        ++n;
    return n;
}

} // namespace

TEST(Printer, WritesEachKindInTheLineFormat)
{
    Objet *cf = line("CF", "\"a\"", "\"b\"");
    EXPECT_EQ(print(cf), "CF \"a\" \"b\" \n");
    obj_free(cf);

    Objet *numbers = list3(str("TP"), int_new(7), long_new(-1));
    EXPECT_EQ(print(numbers), "TP \"7\" \"-1\" \n");
    obj_free(numbers);

    Objet *seven = int_new(7);
    EXPECT_EQ(print(seven), "\"7\" ");
    obj_free(seven);

    Objet *stream = obj_new(OBJ_STREAM);
    EXPECT_EQ(print(stream), "<flux> ");
    obj_free(stream);
}

TEST(Printer, GroupEndsWithAnEmptyLineAndEmptyCellsPrintNothing)
{
    Objet *group = list2(line("CF", "\"a\"", "\"b\""), list2(str("SY"), str("\"x\"")));
    EXPECT_EQ(print(group), "CF \"a\" \"b\" \nSY \"x\" \n\n");
    obj_free(group);

    Objet *empty = cell_new();
    EXPECT_EQ(print(empty), "\n");
    obj_free(empty);
}

TEST(Printer, FunctionObjectIsAProgrammingFault)
{
    Objet *handler = func_new(nullptr);
    EXPECT_DEATH(print(handler), "pprint.cpp:67: .*0==1");
    obj_free(handler);
}

TEST(LongFromField, UnknownNumbersAndGarbageReadAsZero)
{
    const struct {
        const char *field;
        int32_t value;
    } cases[] = {{"\"??\"", 0}, {"\"42\"", 42}, {"\"-17\"", -17}, {"\"abc\"", 0}, {"\"\"", 0}};
    for (const auto &c : cases) {
        Objet *n = long_from_field(c.field, std::strlen(c.field));
        EXPECT_EQ(n->kind, OBJ_LONG);
        EXPECT_EQ(n->link.value, c.value) << c.field;
        obj_free(n);
    }
    // Only `length` bytes count: the text after them is not read.
    const char text[] = "\"12\"345";
    Objet *n = long_from_field(text, 4);
    EXPECT_EQ(n->link.value, 12);
    EXPECT_STREQ(text, "\"12\"345");
    obj_free(n);
}

TEST(ListOperations, InsertAtTheFrontKeepsTheFirstCell)
{
    Objet *list = list2(str("A"), str("B"));
    Objet *first = list;
    list_insert_after(list, nullptr, str("Z"));
    EXPECT_EQ(list, first);
    EXPECT_EQ(print(list), "Z A B \n");
    list_insert_after(list, list->link.next, str("Y"));
    EXPECT_EQ(print(list), "Z A Y B \n");
    obj_free(list);
}

TEST(ListOperations, WrapTakeAppend)
{
    Objet *list = list4(str("A"), str("B"), str("C"), str("D"));
    Objet *b = list->link.next;
    Objet *c = b->link.next;
    list_wrap_after(list, c);
    ASSERT_EQ(chain_length(list), 3);
    EXPECT_EQ(list->link.next->head.item, b);
    EXPECT_EQ(c->link.next, nullptr);
    EXPECT_EQ(print(list), "A B C \nD \n");

    Objet *d = list->link.next->link.next->head.item;
    Objet *cell = list_take_item(d, list);
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(cell->head.item, nullptr);
    EXPECT_EQ(list_take_item(d, list), nullptr);
    obj_free(d);

    Objet *x = list1(str("X"));
    Objet *y = list1(str("Y"));
    EXPECT_EQ(list_append2(list, x, y), list);
    EXPECT_EQ(chain_length(list), 5);
    obj_free(list);
}

TEST(ListOperations, ReleaseContentsLeavesTheCell)
{
    Objet *list = list3(str("A"), str("B"), str("C"));
    cell_release_contents(list);
    obj_free_one(list);
}

TEST(Sweep, MarkedFirstCellsAreDropped)
{
    Objet *list = list3(str("A"), str("B"), str("C"));
    list->flags |= OBJ_MARK_DELETE;
    list->link.next->flags |= OBJ_MARK_DELETE;
    Objet *rest = obj_sweep(list);
    ASSERT_EQ(chain_length(rest), 1);
    EXPECT_EQ(text_of(rest->head.item), "C");
    obj_free(rest);
}

TEST(Sweep, EverythingMarkedGivesNull)
{
    Objet *list = list3(str("A"), str("B"), str("C"));
    for (Objet *cell = list; cell; cell = cell->link.next)
        cell->flags |= OBJ_MARK_DELETE;
    EXPECT_EQ(obj_sweep(list), nullptr);

    Objet *atom = str("A");
    atom->flags |= OBJ_MARK_DELETE;
    EXPECT_EQ(obj_sweep(atom), nullptr);
}

TEST(Sweep, AMarkDeepInAGroupRemovesOnlyThatCell)
{
    Objet *inner = list3(line("XI", "\"1\"", "\"2\""), line("SY", "\"a\"", "\"b\""), line("YI", "\"3\"", "\"4\""));
    Objet *tree = list2(line("RE", "\"r\"", "\"s\""), list2(line("DA", "\"d\"", "\"e\""), inner));
    inner->link.next->flags |= OBJ_MARK_DELETE;      // the SY line's cell
    inner->head.item->link.next->flags |= OBJ_MARK_DELETE; // first field of XI
    EXPECT_EQ(obj_sweep(tree), tree);
    EXPECT_EQ(print(tree), "RE \"r\" \"s\" \nDA \"d\" \"e\" \nXI \"2\" \nYI \"3\" \"4\" \n\n\n\n");
    obj_free(tree);
}

TEST(Sweep, MarkedItemIsReplacedByItsRest)
{
    Objet *first_line = line("AA", "\"1\"", "\"2\"");
    first_line->flags |= OBJ_MARK_DELETE;
    Objet *tree = list2(first_line, line("BB", "\"3\"", "\"4\""));
    tree = obj_sweep(tree);
    EXPECT_EQ(print(tree), "\"1\" \"2\" \nBB \"3\" \"4\" \n\n");
    obj_free(tree);
}

TEST(Copy, DeepCopyKeepsTagsAndCountsAndSharesNothing)
{
    Objet *code = str("DS");
    code->tag = 18;
    code->count = 2;
    Objet *file = int_new(3);
    file->tag = 3;
    Objet *original = list2(list4(code, str("\"x\""), long_new(5), file), list1(str("FS")));
    original->tag = 9;
    Objet *copy = obj_deep_copy(original);
    EXPECT_EQ(print(copy), print(original));
    EXPECT_EQ(copy->tag, 9);
    Objet *code_copy = copy->head.item->head.item;
    EXPECT_NE(code_copy, code);
    EXPECT_EQ(code_copy->tag, 18);
    EXPECT_EQ(code_copy->count, 2);
    EXPECT_EQ(copy->head.item->link.next->link.next->link.next->head.item->tag, 3);
    obj_free(original);
    EXPECT_EQ(text_of(code_copy), "DS");
    obj_free(copy);
    EXPECT_EQ(obj_deep_copy(nullptr), nullptr);
}

TEST(Copy, StreamsAndUnknownKindsAreInternalFaults)
{
    catalog_fill();
    Objet *stream = obj_new(OBJ_STREAM);
    EXPECT_EXIT(obj_copy(stream), ::testing::ExitedWithCode(7), "ERRINTERN");
    EXPECT_EXIT(obj_deep_copy(stream), ::testing::ExitedWithCode(7), "ERRINTERN");
    Objet *list = list1(str("A"));
    EXPECT_EXIT(obj_equal(list, list), ::testing::ExitedWithCode(7), "ERRINTERN");
    obj_free(list);
    stream->kind = 9;
    EXPECT_EXIT(obj_free(stream), ::testing::ExitedWithCode(7), "ERRINTERN");
    stream->kind = OBJ_STREAM;
    obj_free(stream);
}

TEST(Equal, ByKindOfTheFirst)
{
    Objet *a = str("\"ab\"");
    Objet *b = str("\"ab\"");
    Objet *c = str("\"ab\"x");
    EXPECT_EQ(obj_equal(a, b), 1);
    EXPECT_EQ(obj_equal(a, c), 0);
    Objet *i = int_new(4);
    Objet *l = long_new(4);
    Objet *m = long_new(5);
    EXPECT_EQ(obj_equal(i, l), 1);
    EXPECT_EQ(obj_equal(l, m), 0);
    EXPECT_EQ(obj_equal(a, i), 0);
    for (Objet *x : {a, b, c, i, l, m})
        obj_free(x);
}

TEST(Streams, OpenFailureGivesNull)
{
    Objet *name = str("/nonexistent-dir/x.rod");
    Objet *mode = str("r");
    EXPECT_EQ(stream_open(name, mode), nullptr);
    obj_free(name);
    obj_free(mode);
}

TEST(LargeTrees, LongChainsAndDeepNestingNeedNoDeepStack)
{
    obj_free(long_list(10000));

    Objet *big = long_list(1000000);
    Objet *big_copy = obj_deep_copy(big);
    big_copy->link.next->flags |= OBJ_MARK_DELETE;
    big_copy = obj_sweep(big_copy);
    EXPECT_EQ(chain_length(big_copy), 999999);
    obj_free(big_copy);
    obj_free(big);

    Objet *deep = deep_nesting(100000);
    Objet *deep_copy = obj_deep_copy(deep);
    const std::string out = print(deep_copy);
    EXPECT_EQ(out.rfind("XI \"99999\" \n", 0), 0u);
    EXPECT_EQ(out.size(), print(deep).size());
    EXPECT_EQ(obj_sweep(deep_copy), deep_copy);
    obj_free(deep_copy);
    obj_free(deep);
}

// Texts of every length around the pooled sizes, freed in an interleaved
// order and allocated again: no block may be handed out twice or cut short.
TEST(Pool, TextsOfEverySizeSurviveReuse)
{
    auto text_of_length = [](std::size_t n, char fill) { return std::string(n, fill); };
    std::vector<Objet *> strings;
    for (std::size_t n = 0; n <= 300; ++n)
        strings.push_back(str_new(text_of_length(n, 'a').data(), n));
    for (std::size_t n = 0; n <= 300; n += 2) {
        obj_free(strings[n]);
        strings[n] = nullptr;
    }
    for (std::size_t n = 0; n <= 300; n += 2)
        strings[n] = str_new(text_of_length(n, 'b').data(), n);
    for (std::size_t n = 0; n <= 300; ++n) {
        SCOPED_TRACE(n);
        ASSERT_EQ(strings[n]->link.length, n);
        EXPECT_EQ(text_of(strings[n]), text_of_length(n, n % 2 ? 'a' : 'b'));
        EXPECT_EQ(strings[n]->head.text[n], '\0');
    }
    for (Objet *s : strings)
        obj_free(s);
}

namespace {

// `count` numbers made on a thread of their own, which then ends.
std::vector<Objet *> numbers_made_on_another_thread(int count)
{
    std::vector<Objet *> made;
    std::thread([&made, count] {
        for (int i = 0; i < count; ++i)
            made.push_back(int_new(i));
        pool_leave_thread();
    }).join();
    return made;
}

} // namespace

// The merge frees much of what loader threads built: those blocks must serve
// the loaders again, or every file's leftovers would stay unused memory.
TEST(Pool, BlocksFreedOnOneThreadServeAnother)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "sanitizer builds take every block from malloc";
#endif
    constexpr int batch = 4096;
    const std::vector<Objet *> built = numbers_made_on_another_thread(3 * batch);
    const std::set<Objet *> freed(built.begin(), built.end());
    for (Objet *x : built)
        obj_free(x); // this thread keeps at most one batch and hands the others over
    const std::vector<Objet *> again = numbers_made_on_another_thread(2 * batch);
    EXPECT_EQ(std::count_if(again.begin(), again.end(), [&freed](Objet *x) { return freed.count(x) == 1; }),
              2 * batch);
    for (Objet *x : again) {
        EXPECT_EQ(x->kind, OBJ_INT);
        obj_free(x);
    }
}
