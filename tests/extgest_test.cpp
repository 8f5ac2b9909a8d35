#include "extgest.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

std::string joined(const char *directory, const char *name)
{
    std::string result = "unchanged";
    path_join(directory, name, result);
    return result;
}

// CRC-16/KERMIT a bit at a time, the reference for the table-driven one.
uint16_t kermit_bitwise(const unsigned char *bytes, std::size_t length)
{
    unsigned crc = 0;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
    }
    return static_cast<uint16_t>(crc);
}

uint16_t kermit(const char *text)
{
    return crc16_kermit(reinterpret_cast<const unsigned char *>(text), std::strlen(text));
}

} // namespace

TEST(PathJoin, RelativeAbsoluteEmptyAndNull)
{
    EXPECT_EQ(joined("dir", "x"), "dir/x");
    EXPECT_EQ(joined("dir", ""), "dir");
    EXPECT_EQ(joined("dir", "c:x"), "c:x");
    EXPECT_EQ(joined("dir", "/abs/x"), "/abs/x");
    EXPECT_EQ(joined("/home/user/", "run"), "/home/user//run");
    EXPECT_EQ(joined(nullptr, "x"), "unchanged");
    EXPECT_EQ(joined("dir", nullptr), "unchanged");
}

TEST(PathRelative, ClimbsThenDescendsComparingWholeSegments)
{
    const std::vector<std::array<const char *, 3>> rows = {
        {"/a/b", "/a/c/d", "../c/d/"}, {"/a", "/a/b/c", "b/c/"},  {"/a/b", "/a/b", ""},
        {"/a/b/", "/a/b", ""},         {"/a/b", "/a", "../"},      {"/a/b/c", "/x", "../../../x/"},
        {"/", "/x/y", "x/y/"},         {"/home/user", "/home/user/run", "run/"},
        // A prefix of a segment does not agree; the first character is never compared.
        {"/a/b", "/a/bc", "../bc/"},   {"/a/bc", "/a/b", "../b/"}, {"/a/b", "xa/b", ""},
        {"/a\\b", "/a/b", ""},
    };
    for (const auto &[from, to, relative] : rows)
        EXPECT_EQ(path_relative(from, to), relative) << from << " to " << to;
    EXPECT_FALSE(path_relative(nullptr, "/a").has_value());
    EXPECT_FALSE(path_relative("/a", nullptr).has_value());
}

TEST(Crc16, KermitCheckValues)
{
    EXPECT_EQ(kermit("123456789"), 0x2189);
    EXPECT_EQ(kermit("A"), 0x538D);
    EXPECT_EQ(kermit(""), 0);
}

TEST(Crc16, FoldedAndTableStepsGiveTheBitwiseValue)
{
    std::string bytes;
    for (int length = 0; length < 1200; ++length) {
        const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
        const uint16_t expected = kermit_bitwise(data, bytes.size());
        ASSERT_EQ(crc16_kermit(data, bytes.size()), expected) << length;
        crc16_tables_only(true);
        ASSERT_EQ(crc16_kermit(data, bytes.size()), expected) << length << " by the tables";
        crc16_tables_only(false);
        bytes.push_back(static_cast<char>((length * 37 + 11) ^ (length >> 3)));
    }
    // Long runs of ones and zeros, where a wrong fold constant cannot hide.
    for (const char fill : {'\xFF', '\0'}) {
        const std::string run(4096 + 17, fill);
        const auto *data = reinterpret_cast<const unsigned char *>(run.data());
        EXPECT_EQ(crc16_kermit(data, run.size()), kermit_bitwise(data, run.size()));
    }
}

// A text checked in two parts gives the CRC of the whole, wherever it is
// cut: at either end, around the 64-byte folding steps, and in the middle
// of a text of megabytes, as a big file's halves are.
TEST(Crc16, PartsCombineToTheWholeText)
{
    std::string bytes(3 * 1024 * 1024 + 7, '\0');
    for (std::size_t at = 0; at < bytes.size(); ++at)
        bytes[at] = static_cast<char>((at * 2654435761u) >> 13);
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
    for (const std::size_t length : {std::size_t{200}, bytes.size()}) {
        const uint16_t whole = crc16_kermit(data, length);
        for (const std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{63}, std::size_t{64},
                                      std::size_t{129}, length / 2, length - 1, length}) {
            const uint16_t first = crc16_kermit(data, cut);
            const uint16_t second = crc16_kermit(data + cut, length - cut);
            EXPECT_EQ(crc16_kermit_combine(first, second, length - cut), whole) << length << " cut at " << cut;
        }
    }
}
