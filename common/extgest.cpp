#include "extgest.h"

#include "cstsyst.h"

#include <string_view>

namespace {

constexpr char SEPARATOR = '/';

bool is_absolute_name(std::string_view name)
{
    return (!name.empty() && name[0] == '/') || (name.size() >= 2 && name[1] == ':');
}

std::string with_trailing_separator(const char *path)
{
    std::string copy(path);
    if (copy.empty() || copy.back() != SEPARATOR)
        copy.push_back(SEPARATOR);
    return copy;
}

// Length of the segment of `from` at `at` when the same segment, separator
// included, stands in `to` at `at_to`; 0 when they differ. A backslash ends a
// segment of `from` as well as a slash.
std::size_t agreeing_segment_length(std::string_view from, std::size_t at, std::string_view to, std::size_t at_to)
{
    for (std::size_t k = 0; at + k < from.size() && at_to + k < to.size(); ++k) {
        const char a = from[at + k];
        const char b = to[at_to + k];
        if (a == SEPARATOR || a == '\\')
            return b == SEPARATOR || b == '\\' ? k + 1 : 0;
        if (a != b)
            return 0;
    }
    return 0;
}

std::size_t count_segments(std::string_view path, std::size_t from)
{
    std::size_t segments = 0;
    for (std::size_t i = from; i < path.size(); ++i)
        if (path[i] == SEPARATOR || path[i] == '\\')
            ++segments;
    return segments;
}

// Reflected CRC-16 tables for eight bytes a step: table k gives the effect
// of a byte followed by k zero bytes.
struct KermitTables {
    uint16_t table[8][256];
    KermitTables()
    {
        for (unsigned v = 0; v < 256; ++v) {
            unsigned reg = v;
            for (int step = 0; step < 8; ++step)
                reg = (reg & 1) ? (reg >> 1) ^ 0x8408 : reg >> 1;
            table[0][v] = static_cast<uint16_t>(reg);
        }
        for (int k = 1; k < 8; ++k)
            for (unsigned v = 0; v < 256; ++v)
                table[k][v] = static_cast<uint16_t>((table[k - 1][v] >> 8) ^ table[0][table[k - 1][v] & 0xFF]);
    }
};

} // namespace

void path_join(const char *directory, const char *name, std::string &result)
{
    if (!directory || !name)
        return;
    if (is_absolute_name(name))
        result = name;
    else if (*name == '\0')
        result = directory;
    else
        result = xsprintf("%s%c%s", directory, SEPARATOR, name);
}

std::optional<std::string> path_relative(const char *from_text, const char *to_text)
{
    if (!from_text || !to_text)
        return std::nullopt;
    const std::string from = with_trailing_separator(from_text);
    const std::string to = with_trailing_separator(to_text);

    std::size_t common = 0;
    std::size_t at_from = 1;
    std::size_t at_to = 1;
    while (at_from < from.size()) {
        const std::size_t length = agreeing_segment_length(from, at_from, to, at_to);
        if (length == 0)
            break;
        ++common;
        at_from += length;
        at_to += length;
    }
    const std::size_t levels = count_segments(from, 1) - common;

    std::string result;
    for (std::size_t i = 0; i < levels; ++i)
        result += xsprintf("..%c", SEPARATOR);
    if (at_to < to.size())
        result.append(to, at_to, std::string::npos);
    return result;
}

uint16_t crc16_kermit(const unsigned char *bytes, std::size_t length)
{
    static const KermitTables tables;
    const auto &t = tables.table;
    unsigned crc = 0;
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        crc ^= bytes[i] | (unsigned{bytes[i + 1]} << 8);
        crc = t[7][crc & 0xFF] ^ t[6][crc >> 8] ^ t[5][bytes[i + 2]] ^ t[4][bytes[i + 3]] ^ t[3][bytes[i + 4]] ^
              t[2][bytes[i + 5]] ^ t[1][bytes[i + 6]] ^ t[0][bytes[i + 7]];
    }
    for (; i < length; ++i)
        crc = (crc >> 8) ^ t[0][(crc ^ bytes[i]) & 0xFF];
    return static_cast<uint16_t>(crc);
}
