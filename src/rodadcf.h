// CF lines: each file's tree gets one line describing the ROD file it was
// read from (name, relative and absolute directory, size, CRC-16, number).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "objet.h"
#include "rodbase.h"

// Calls visit(cell) for every cell whose item is a line, depth first, items
// before next, until visit returns false. Iterative: nesting depth does not
// use the stack.
template <typename Visit> void for_each_line_cell(Objet *tree, Visit visit)
{
    std::vector<Objet *> resume;
    Objet *cell = tree;
    for (;;) {
        if (!cell || cell->kind != OBJ_LIST) {
            if (resume.empty())
                return;
            cell = resume.back();
            resume.pop_back();
            continue;
        }
        Objet *item = cell->head.item;
        if (is_line(item)) {
            if (!visit(cell))
                return;
        } else if (item && item->kind == OBJ_LIST) {
            resume.push_back(cell->link.next);
            cell = item;
            continue;
        }
        cell = cell->link.next;
    }
}

// The three texts of a CF line, each between double quotes: the ROD file's
// name without directory, its directory relative to `current_dir` (empty
// when the same, else ending with "/"), and its absolute directory. A name
// without directory part lies in `current_dir`.
struct CfTexts {
    std::string name;
    std::string relative_dir;
    std::string absolute_dir;
};
CfTexts cf_texts(const std::string &current_dir, const char *rod_name);

// Frees the CF lines met before the first XI line of the tree, then inserts
// the CF line describing `rod_name` after the first IE line (none when the
// tree has no IE line). SIZBUFOVL when the current directory cannot be read,
// FICERROPN when the ROD file cannot be read.
void add_cf_line(Objet *tree, const char *rod_name, int32_t file_number);
