// Test helpers: report trees built from ROD text through the loading passes,
// dumped back as printed lines, and fatal reports turned into exceptions.
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

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace fixture {

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

// The lines of `text` (the part of a ROD file after its header line),
// numbered as file `file_number`.
inline Objet *rod_lines(std::string_view text, int32_t file_number)
{
    Objet *head = nullptr;
    Objet *tail = nullptr;
    std::istringstream input{std::string(text)};
    for (std::string row; std::getline(input, row);) {
        if (row.empty())
            continue;
        Objet *cell = list1(rod_scan_line(row));
        if (tail)
            tail->link.next = cell;
        else
            head = cell;
        tail = cell;
    }
    Objet *number = int_new(file_number);
    number_lines(number, head);
    obj_free(number);
    return head;
}

// The tree of one ROD file as the loading loop hands it to the merge.
inline Objet *file_tree(std::string_view text, int32_t file_number, bool time_mode = false)
{
    Objet *lines = rod_lines(text, file_number);
    lines = time_mode ? filter_codes_time(lines) : filter_codes(lines);
    name_lines(lines);
    convert_numeric_fields(lines);
    lines = add_tp_lines(lines);
    lines = close_runs(lines);
    return regroup_timed(prune_selection(nest_blocks(lines)));
}

inline std::string printed(Objet *line)
{
    char *buffer = nullptr;
    size_t size = 0;
    FILE *memory = open_memstream(&buffer, &size);
    Objet *stream = obj_new(OBJ_STREAM);
    stream->link.stream = memory;
    pprint(stream, line);
    std::fclose(memory);
    obj_free(stream);
    std::string text(buffer, size);
    std::free(buffer);
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

} // namespace fixture
