// Test helpers for the engine: ROD text to line lists and report trees,
// structures printed through pprint into memory, and fatal reports turned
// into exit statuses.
#pragma once

#include "cstsyst.h"
#include "objet.h"
#include "pprint.h"
#include "rodadcf.h"
#include "rodadnam.h"
#include "rodadtp.h"
#include "rodbase.h"
#include "rodload.h"
#include "rodprune.h"
#include "rodtrait.h"
#include "rodtri.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

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

// A flat list of the non-blank lines of `text`, each made by `make_line`.
template <typename MakeLine> Objet *line_list(std::string_view text, MakeLine make_line)
{
    Objet *head = nullptr;
    Objet *tail = nullptr;
    std::istringstream input{std::string(text)};
    for (std::string row; std::getline(input, row);) {
        if (row.empty())
            continue;
        list_push_back(head, tail, make_line(row));
    }
    return head;
}

// The lines without origin pairs, for structure tests.
inline Objet *bare_lines(std::string_view text) { return line_list(text, scan); }

// The lines, each followed by its origin pair: file 1, line 1, 2, ...
inline Objet *lines(std::string_view text, int32_t file_number = 1)
{
    int32_t number = 0;
    return line_list(text, [&](std::string_view row) {
        Objet *line = scan(row);
        Objet *file = int_new(file_number);
        file->tag = 3;
        Objet *line_number = int_new(++number);
        line_number->tag = 2;
        list_append(line, list2(file, line_number));
        return line;
    });
}

// A fatal report abandons the tree being worked on, as the program does when
// it ends; in death tests the exit skips the leak check that would report it.
inline void exit_without_leak_check(int status) { std::_Exit(status); }

// The set-up every engine test shares.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        keywords_init();
        time_key_init();
        set_exit_hook(exit_without_leak_check);
    }
    void TearDown() override { set_exit_hook(nullptr); }
};

// What `write` writes to a stream object, captured in memory.
template <typename Write> std::string written_to_memory(Write write)
{
    char *buffer = nullptr;
    size_t size = 0;
    FILE *memory = open_memstream(&buffer, &size);
    Objet *stream = obj_new(OBJ_STREAM);
    stream->link.stream = memory;
    write(stream);
    std::fclose(memory);
    obj_free(stream);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

// What pprint writes for `obj`.
inline std::string print(Objet *obj)
{
    return written_to_memory([obj](Objet *stream) { pprint(stream, obj); });
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

struct Exit {
    int status;
};

inline void throwing_exit(int status) { throw Exit{status}; }

// Runs `body`, which must end with a fatal report, and returns the exit
// status; frees the blocks and closes the streams the ended run still held,
// as the process would by exiting (-1 when the body returned).
template <typename Body> int fatal_status(Body body)
{
    static std::vector<void *> blocks;
    static std::vector<FILE *> streams;
    blocks.clear();
    streams.clear();
    set_resource_tracker({[](void *block) { blocks.push_back(block); },
                          [](void *block) { std::erase(blocks, block); },
                          [](FILE *stream) { streams.push_back(stream); },
                          [](FILE *stream) { std::erase(streams, stream); }});
    int status = -1;
    try {
        body();
    } catch (const Exit &exit) {
        status = exit.status;
        for (FILE *stream : streams)
            std::fclose(stream);
        for (void *block : blocks)
            std::free(block);
    }
    set_resource_tracker({});
    return status;
}

inline void engine_setup()
{
    keywords_init();
    time_key_init();
    set_exit_hook(throwing_exit);
}

// The tree of one ROD file (the part after its header line) as the loading
// loop hands it to the merge, numbered as file `file_number`.
inline Objet *file_tree(std::string_view text, int32_t file_number, bool time_mode = false)
{
    Objet *lines = line_list(text, [](std::string_view row) { return rod_scan_line(row); });
    Objet *number = int_new(file_number);
    number_lines(number, lines);
    obj_free(number);
    lines = time_mode ? filter_codes_time(lines) : filter_codes(lines);
    name_lines(lines);
    convert_numeric_fields(lines);
    lines = add_tp_lines(lines);
    lines = close_runs(lines);
    return regroup_timed(prune_selection(nest_blocks(lines)));
}

// One line as printed, without the trailing line end.
inline std::string printed(Objet *line)
{
    std::string text = print(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// Every line of the tree in writing order, as printed.
inline std::vector<std::string> dump(Objet *tree)
{
    std::vector<std::string> lines;
    for_each_line_cell(tree, [&lines](Objet *cell) {
        lines.push_back(printed(cell->head.item));
        return true;
    });
    return lines;
}

// The printed lines whose code is `code`.
inline std::vector<std::string> dump_of(Objet *tree, std::string_view code)
{
    std::vector<std::string> lines;
    for (const std::string &line : dump(tree))
        if (line.compare(0, code.size() + 1, std::string(code) + " ") == 0 || line == code)
            lines.push_back(line);
    return lines;
}

} // namespace rodtext
