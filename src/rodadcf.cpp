#include "rodadcf.h"

#include "cstsyst.h"
#include "extgest.h"
#include "i18nerrgest.h"
#include "rodbase.h"

#include <QString>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Between double quotes, a double quote inside doubled, as fields are written.
std::string quoted(const std::string &text)
{
    std::string result = "\"";
    for (char c : text) {
        result.push_back(c);
        if (c == '"')
            result.push_back('"');
    }
    result.push_back('"');
    return result;
}

std::string current_directory()
{
    const std::unique_ptr<char, decltype(&std::free)> path(getcwd(nullptr, 0), &std::free);
    if (!path)
        report_system("SIZBUFOVL", QString(), QString());
    return path.get();
}

LineId make_cf_line(const char *rod_name, int file_number, const RodFileFacts &facts)
{
    const std::string current_dir = current_directory();
    if (!facts.regular)
        report_fatal("FICERROPN", QString::fromLocal8Bit(rod_name), QString());
    const CfTexts texts = cf_texts(current_dir, rod_name);
    const LineId id = line_new();
    Line &line = line_at(id);
    line.kind = KIND_CF;
    line.exact_code = 1;
    line.made_cf = 1;
    line.file = static_cast<uint16_t>(file_number);
    line.values[0] = static_cast<int32_t>(facts.size);
    line.values[1] = facts.crc;
    line.values[2] = file_number;
    line.values[3] = 0;
    line_set_field_text(id, 1, text_keep(texts.name));
    line_set_field_text(id, 2, text_keep(texts.relative_dir));
    line_set_field_text(id, 3, text_keep(texts.absolute_dir));
    return id;
}

} // namespace

CfTexts cf_texts(const std::string &current_dir, const char *rod_name)
{
    std::string name;
    file_basename(rod_name, name);
    std::string directory;
    if (std::strchr(rod_name, '/'))
        file_dirname(rod_name, directory);
    std::string absolute;
    path_join(current_dir.c_str(), directory.c_str(), absolute);
    const std::string relative = path_relative(current_dir.c_str(), absolute.c_str()).value_or(std::string());
    return {quoted(name), quoted(relative), quoted(absolute)};
}

void add_cf_line(CellId tree, const char *rod_name, int file_number, const RodFileFacts &facts)
{
    for_each_line_cell(tree, [](CellId cell) {
        const int kind = line_at(line_of(cell_at(cell).item)).kind;
        if (kind == KIND_XI)
            return false;
        if (kind == KIND_CF)
            cell_at(cell).item = NO_ITEM;
        return true;
    });

    CellId ie_cell = 0;
    for_each_line_cell(tree, [&ie_cell](CellId cell) {
        if (line_at(line_of(cell_at(cell).item)).kind != KIND_IE)
            return true;
        ie_cell = cell;
        return false;
    });
    if (ie_cell) {
        const LineId cf = make_cf_line(rod_name, file_number, facts);
        cell_at(ie_cell).next = cell_new(line_item(cf), cell_at(ie_cell).next);
    }
}
