#include "fct_sys.h"

#include "cstsyst.h"

#include <algorithm>
#include <cstring>

char *sys_strdup(const char *text)
{
    const std::size_t size = std::strlen(text) + 1;
    char *copy = static_cast<char *>(xmalloc(size));
    std::memcpy(copy, text, size);
    return copy;
}

std::size_t last_char_pos(std::string_view text, std::size_t length, char character)
{
    return text.substr(0, std::min(length, text.size())).rfind(character);
}

std::optional<PathParts> split_path(const char *name)
{
    if (!name)
        return std::nullopt;
    PathParts parts;
    file_dirname(name, parts.directory);
    file_basename(name, parts.file);
    return parts;
}
