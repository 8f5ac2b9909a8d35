// Test helpers: ROD text to numbered line lists, and structures printed
// through pprint into memory.
#pragma once

#include "cstsyst.h"
#include "objet.h"
#include "pprint.h"
#include "rodbase.h"
#include "rodtri.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

namespace rodtext {

// One ROD line: the code up to the first blank or quote, then every quoted
// field (doubled quotes stay inside the field), as the loader reads it.
inline Objet *scan(std::string_view text)
{
    const size_t code_end = text.find_first_of(" \"");
    const std::string_view code = text.substr(0, code_end);
    Objet *line = list1(str_new(code.data(), code.size()));
    Objet *last = line;
    int fields = 0;
    for (size_t open = text.find('"', code.size()); open != std::string_view::npos;) {
        size_t close = open + 1;
        while (close < text.size() && !(text[close] == '"' && (close + 1 >= text.size() || text[close + 1] != '"')))
            close += text[close] == '"' ? 2 : 1;
        last->link.next = list1(str_new(text.data() + open, close - open + 1));
        last = last->link.next;
        ++fields;
        open = text.find('"', close + 1);
    }
    line->head.item->count = fields;
    return line;
}

// A flat list of the lines of `text` (one per text line, blank lines
// skipped), each followed by its origin pair: file 1, line 1, 2, ...
inline Objet *lines(std::string_view text, int32_t file_number = 1)
{
    Objet *head = nullptr;
    Objet *tail = nullptr;
    int32_t number = 0;
    std::istringstream input{std::string(text)};
    for (std::string row; std::getline(input, row);) {
        if (row.empty())
            continue;
        Objet *line = scan(row);
        Objet *file = int_new(file_number);
        file->tag = 3;
        Objet *line_number = int_new(++number);
        line_number->tag = 2;
        list_append(line, list2(file, line_number));
        Objet *cell = list1(line);
        if (tail)
            tail->link.next = cell;
        else
            head = cell;
        tail = cell;
    }
    return head;
}

// The same lines without origin pairs, for structure tests.
inline Objet *bare_lines(std::string_view text)
{
    Objet *head = nullptr;
    Objet *tail = nullptr;
    std::istringstream input{std::string(text)};
    for (std::string row; std::getline(input, row);) {
        if (row.empty())
            continue;
        Objet *cell = list1(scan(row));
        if (tail)
            tail->link.next = cell;
        else
            head = cell;
        tail = cell;
    }
    return head;
}

// A fatal report abandons the tree being worked on, as the program does when
// it ends; in death tests the exit skips the leak check that would report it.
inline void exit_without_leak_check(int status) { std::_Exit(status); }

// What pprint writes for `obj`.
inline std::string print(Objet *obj)
{
    char *buffer = nullptr;
    size_t size = 0;
    FILE *memory = open_memstream(&buffer, &size);
    Objet *stream = obj_new(OBJ_STREAM);
    stream->link.stream = memory;
    pprint(stream, obj);
    std::fclose(memory);
    obj_free(stream);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

// The printed structure in short: each printed line as its code, and each
// end of a list (the empty line pprint writes after it) as "/".
inline std::string outline(Objet *obj)
{
    std::istringstream printed(print(obj));
    std::string result;
    for (std::string row; std::getline(printed, row);) {
        if (!result.empty())
            result += ' ';
        result += row.empty() ? std::string("/") : row.substr(0, row.find(' '));
    }
    return result;
}

} // namespace rodtext
