#include "rodprd.h"

#include "pprint.h"
#include "rodbase.h"

#include <vector>

void number_repeated_names(Objet *, Objet *) {}

// Interim writer: prints every line of the report in tree order.
void write_rdd_lines(Objet *stream, Objet *report)
{
    std::vector<Objet *> pending{report};
    while (!pending.empty()) {
        Objet *cell = pending.back();
        pending.pop_back();
        if (!cell || cell->kind != OBJ_LIST)
            continue;
        pending.push_back(cell->link.next);
        Objet *item = cell->head.item;
        if (is_line(item))
            pprint(stream, item);
        else
            pending.push_back(item);
    }
}
