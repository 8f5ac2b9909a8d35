#include "extgest.h"

#include "cstsyst.h"

#include <array>
#include <string_view>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

namespace {

// The CRC of `length` more bytes after bytes whose CRC is `crc`.
unsigned crc16_tables(unsigned crc, const unsigned char *bytes, std::size_t length)
{
    static const KermitTables tables;
    const auto &t = tables.table;
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        crc ^= bytes[i] | (unsigned{bytes[i + 1]} << 8);
        crc = t[7][crc & 0xFF] ^ t[6][crc >> 8] ^ t[5][bytes[i + 2]] ^ t[4][bytes[i + 3]] ^ t[3][bytes[i + 4]] ^
              t[2][bytes[i + 5]] ^ t[1][bytes[i + 6]] ^ t[0][bytes[i + 7]];
    }
    for (; i < length; ++i)
        crc = (crc >> 8) ^ t[0][(crc ^ bytes[i]) & 0xFF];
    return crc;
}

bool tables_only = false;

#if defined(__x86_64__)
// Carry-less multiplication folds the text, 64 bytes a step, into 16 bytes
// that leave the same remainder modulo the polynomial; the tables finish
// from there. A 16-byte block is read as a reflected polynomial (bit k of
// the little-endian value is the coefficient of x^(127-k)); folding it over
// d bits multiplies its low half by x^(d+64) and its high half by x^d,
// taken modulo the polynomial. The product of two reflected 64-bit values
// comes out one power of x too high, so the constants are one power lower.

// x^power modulo x^16 + x^12 + x^5 + 1, reflected into the top 16 bits of
// a 64-bit value.
uint64_t reflected_power(unsigned power)
{
    unsigned remainder = 1;
    for (unsigned k = 0; k < power; ++k) {
        remainder <<= 1;
        if (remainder & 0x10000)
            remainder ^= 0x11021;
    }
    uint64_t reflected = 0;
    for (unsigned bit = 0; bit < 16; ++bit)
        if (remainder & (1u << bit))
            reflected |= uint64_t{1} << (63 - bit);
    return reflected;
}

struct FoldConstants {
    __m128i by[4]; // over 128, 256, 384 and 512 bits
    FoldConstants()
    {
        for (unsigned k = 0; k < 4; ++k) {
            const unsigned bits = 128 * (k + 1);
            by[k] = _mm_set_epi64x(static_cast<long long>(reflected_power(bits - 1)),
                                   static_cast<long long>(reflected_power(bits + 63)));
        }
    }
};

__attribute__((target("pclmul,sse2"))) __m128i fold(__m128i block, __m128i constants)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(block, constants, 0x00), _mm_clmulepi64_si128(block, constants, 0x11));
}

__attribute__((target("pclmul,sse2"))) unsigned crc16_folded(const unsigned char *bytes, std::size_t length)
{
    static const FoldConstants constants;
    auto load = [bytes](std::size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + at)); };
    __m128i lanes[4] = {load(0), load(16), load(32), load(48)};
    const std::size_t folded = length / 64 * 64;
    for (std::size_t at = 64; at < folded; at += 64)
        for (int lane = 0; lane < 4; ++lane)
            lanes[lane] = _mm_xor_si128(fold(lanes[lane], constants.by[3]), load(at + 16 * lane));
    __m128i rest = lanes[3];
    for (int lane = 0; lane < 3; ++lane)
        rest = _mm_xor_si128(rest, fold(lanes[lane], constants.by[2 - lane]));
    unsigned char remainder[16];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(remainder), rest);
    return crc16_tables(crc16_tables(0, remainder, sizeof remainder), bytes + folded, length - folded);
}
#endif

} // namespace

void crc16_tables_only(bool only) { tables_only = only; }

namespace {

// A linear map of 16-bit CRC registers: column k is the image of bit k.
using CrcMap = std::array<uint16_t, 16>;

uint16_t apply(const CrcMap &map, unsigned crc)
{
    uint16_t image = 0;
    for (int bit = 0; crc != 0; ++bit, crc >>= 1)
        if (crc & 1)
            image ^= map[bit];
    return image;
}

CrcMap squared(const CrcMap &map)
{
    CrcMap square{};
    for (int bit = 0; bit < 16; ++bit)
        square[bit] = apply(map, map[bit]);
    return square;
}

} // namespace

uint16_t crc16_kermit_combine(uint16_t first, uint16_t second, std::size_t second_length)
{
    // With no initial value and no final xor, the CRC of the two texts is
    // the first's CRC carried through as many zero bytes as the second has,
    // xor the second's: the carrying is a linear map, raised to that power
    // by squaring.
    CrcMap zero_bit{0x8408};
    for (int bit = 1; bit < 16; ++bit)
        zero_bit[bit] = static_cast<uint16_t>(1u << (bit - 1));
    CrcMap zero_bytes = squared(squared(squared(zero_bit)));
    unsigned crc = first;
    for (std::size_t count = second_length; count != 0; count >>= 1) {
        if (count & 1)
            crc = apply(zero_bytes, crc);
        zero_bytes = squared(zero_bytes);
    }
    return static_cast<uint16_t>(crc ^ second);
}

uint16_t crc16_kermit(const unsigned char *bytes, std::size_t length)
{
#if defined(__x86_64__)
    static const bool folding = __builtin_cpu_supports("pclmul");
    if (folding && !tables_only && length >= 128)
        return static_cast<uint16_t>(crc16_folded(bytes, length));
#endif
    return static_cast<uint16_t>(crc16_tables(0, bytes, length));
}
