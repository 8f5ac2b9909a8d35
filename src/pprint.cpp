#include "pprint.h"

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

void print_atom(FILE *out, const Objet *obj)
{
    switch (obj->kind) {
    case OBJ_STRING:
        std::fprintf(out, "%s ", obj->head.text);
        break;
    case OBJ_INT:
        std::fprintf(out, "\"%d\" ", obj->link.value);
        break;
    case OBJ_LONG:
        std::fprintf(out, "\"%ld\" ", static_cast<long>(obj->link.value));
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
    std::vector<Objet *> cells_in_progress;
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
            std::fputc('\n', out);
    }
}
