#include "rodadcf.h"

#include "cstsyst.h"
#include "extgest.h"
#include "i18nerrgest.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

int32_t line_kind(const Objet *cell) { return cell->head.item->head.item->tag; }

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

[[noreturn]] void unreadable_rod(const char *rod_name)
{
    report_fatal("FICERROPN", QString::fromLocal8Bit(rod_name), QString());
}

std::vector<unsigned char> read_rod_bytes(const char *rod_name)
{
    FILE *file = nullptr;
    if (!xfopen(rod_name, "rb", &file))
        unreadable_rod(rod_name);
    struct stat status {};
    if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) {
        xfclose(file);
        unreadable_rod(rod_name);
    }
    std::vector<unsigned char> bytes(static_cast<std::size_t>(status.st_size));
    const std::size_t read = std::fread(bytes.data(), 1, bytes.size(), file);
    xfclose(file);
    if (read != bytes.size())
        unreadable_rod(rod_name);
    return bytes;
}

Objet *text_field(const std::string &text) { return str_new(text.data(), text.size()); }

Objet *make_cf_line(const char *rod_name, int32_t file_number)
{
    const std::string current_dir = current_directory();
    const std::vector<unsigned char> bytes = read_rod_bytes(rod_name);
    const uint16_t crc = crc16(0, bytes.data(), bytes.size(), 0, -1);
    const CfTexts texts = cf_texts(current_dir, rod_name);
    Objet *code = str_new("CF", 2);
    code->tag = KIND_CF;
    return list8(code, text_field(texts.name), text_field(texts.relative_dir), text_field(texts.absolute_dir),
                 long_new(static_cast<int32_t>(bytes.size())), long_new(crc), long_new(file_number), long_new(0));
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

void add_cf_line(Objet *tree, const char *rod_name, int32_t file_number)
{
    for_each_line_cell(tree, [](Objet *cell) {
        const int32_t kind = line_kind(cell);
        if (kind == KIND_XI)
            return false;
        if (kind == KIND_CF) {
            obj_free(cell->head.item);
            cell->head.item = nullptr;
        }
        return true;
    });

    Objet *ie_cell = nullptr;
    for_each_line_cell(tree, [&ie_cell](Objet *cell) {
        if (line_kind(cell) != KIND_IE)
            return true;
        ie_cell = cell;
        return false;
    });
    if (ie_cell)
        ie_cell->link.next = cons(make_cf_line(rod_name, file_number), ie_cell->link.next);
}
