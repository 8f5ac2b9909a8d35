// Test helpers for the engine: report text loaded into the model, trees
// shown as nested codes, and reports written into memory.
#pragma once

#include "cstsyst.h"
#include "rodbase.h"
#include "rodload.h"
#include "rodmodel.h"
#include "rodprd.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace rodtext {

constexpr const char *HEADER = "KORVA Probeworks \"v2.6a\" \"PLAN\" \"ROD file\"\n";

// A copy of `text` the model can take as a file's bytes.
inline char *bytes_of(std::string_view text)
{
    char *bytes = rod_bytes_new(text.size());
    std::memcpy(bytes, text.data(), text.size());
    return bytes;
}

// The tree of a ROD file made of a header line and `body`.
inline RodFile load(std::string_view body, bool time_mode = false, int file = 1)
{
    const std::string text = HEADER + std::string(body);
    return rod_load_bytes(bytes_of(text), text.size(), file, time_mode, file == 1);
}

inline std::string code_of(LineId id)
{
    const Line &line = line_at(id);
    if (!line.has_text || line.kind == KIND_FW)
        return rod_keywords[line.kind].code;
    const std::string_view bytes = line_bytes(line);
    return std::string(bytes.substr(0, static_cast<std::size_t>(code_length(bytes))));
}

// How shape names a line: by its code, unless a test says otherwise.
using LineName = std::string (*)(LineId);

// An item as nested codes: a line by its code, a list in parentheses, an
// empty cell as "_".
inline std::string shape(Item item, LineName name = code_of)
{
    if (is_line_item(item))
        return name(line_of(item));
    if (!is_list_item(item))
        return "_";
    std::string text = "(";
    for (CellId cell = list_of(item); cell; cell = cell_at(cell).next)
        text += (cell == list_of(item) ? "" : " ") + shape(cell_at(cell).item, name);
    return text + ")";
}

// The cells of a chain (a tree's three parts, say) each shown by shape.
inline std::string chain_shape(CellId first, LineName name = code_of)
{
    std::string text;
    for (CellId cell = first; cell; cell = cell_at(cell).next)
        text += (text.empty() ? "" : " ") + shape(cell_at(cell).item, name);
    return text;
}

// What the RDD writer writes for a report, header line "H".
inline std::string written(CellId report)
{
    char *text = nullptr;
    std::size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    write_rdd_lines(out, "H", report, 0);
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result.substr(3);
}

} // namespace rodtext
