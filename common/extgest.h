// File name helpers for describing a source file in the report: joining a
// directory and a name, one directory relative to another, and a CRC-16.
// Paths use "/" as separator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// `name` when it is absolute ("/..." or a drive letter "c:..."), `directory`
// when `name` is empty, else directory + "/" + name (a trailing "/" on
// `directory` is kept, giving a doubled separator). Leaves `result` as it was
// when either argument is null.
void path_join(const char *directory, const char *name, std::string &result);

// The way from directory `from` to directory `to`: "../" once per level to
// climb, then what remains of `to`, ending with "/"; empty when they are the
// same directory. The first character (the root) is not compared. Nullopt
// when either argument is null.
std::optional<std::string> path_relative(const char *from, const char *to);

// CRC-16/KERMIT (polynomial 0x1021, reflected, initial value 0) of
// `length` bytes: 64 bytes a step with carry-less multiplication where the
// processor has it, else eight a step (a ROD file is checked whole, and
// may be large).
uint16_t crc16_kermit(const unsigned char *bytes, std::size_t length);
// The CRC-16/KERMIT of two texts one after the other, from the CRC of each
// and the length of the second: a big text is checked in parts at once.
uint16_t crc16_kermit_combine(uint16_t first, uint16_t second, std::size_t second_length);
// Test hook: eight bytes a step even where the processor could fold.
void crc16_tables_only(bool only);
