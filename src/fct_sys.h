// Small system helpers of the tool runner and the driver.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Heap copy of `text`; "FATAL ERROR on malloc" and status 7 when memory runs out.
char *sys_strdup(const char *text);

// Position of the last `character` within the first `length` characters of
// `text` (clamped to its size); std::string_view::npos when there is none.
std::size_t last_char_pos(std::string_view text, std::size_t length, char character);

struct PathParts {
    std::string directory; // "." when the name has no directory part
    std::string file;
};

// Directory and file-name parts of `name`; no parts for a null name.
std::optional<PathParts> split_path(const char *name);
