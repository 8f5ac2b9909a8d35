#include "pprint.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// A programming fault: stops like a failed assertion, whatever NDEBUG says.
[[noreturn]] void unknown_kind_fault()
{
    std::fputs("pprint.cpp:67: pprint: Assertion `0==1' failed.\n", stderr);
    std::abort();
}

// What "\"%d\" " prints, without a format to parse for every field of a
// report that may have millions.
void print_number(FILE *out, int32_t value)
{
    char text[16];
    text[0] = '"';
    char *end = std::to_chars(text + 1, text + sizeof text, value).ptr;
    *end++ = '"';
    *end++ = ' ';
    fwrite_unlocked(text, 1, static_cast<std::size_t>(end - text), out);
}

void print_atom(FILE *out, const Objet *obj)
{
    switch (obj->kind) {
    case OBJ_STRING:
        // "%s ": the text up to its NUL, then a blank.
        fputs_unlocked(obj->head.text, out);
        putc_unlocked(' ', out);
        break;
    case OBJ_INT:
    case OBJ_LONG:
        print_number(out, obj->link.value);
        break;
    case OBJ_STREAM:
        std::fputs("<flux> ", out);
        break;
    default:
        unknown_kind_fault();
    }
}

} // namespace

// A list cell prints its item, then its next, or a newline at the end of the
// chain. Iterative so that neither long chains nor deep nesting use the stack.
void pprint(Objet *stream, Objet *obj)
{
    FILE *out = stream->link.stream;
    // Kept between calls: the printer is called once per line of the report.
    static std::vector<Objet *> cells_in_progress;
    cells_in_progress.clear();
    Objet *current = obj;
    for (;;) {
        if (current) {
            if (current->kind == OBJ_LIST) {
                cells_in_progress.push_back(current);
                current = current->head.item;
                continue;
            }
            print_atom(out, current);
        }
        if (cells_in_progress.empty())
            return;
        Objet *cell = cells_in_progress.back();
        cells_in_progress.pop_back();
        current = cell->link.next;
        if (!current)
            putc_unlocked('\n', out);
    }
}
