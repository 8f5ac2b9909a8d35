// Input verification: classifies the named files and pairs RIO with TDC files.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

constexpr std::size_t HEADER_BLOCK_SIZE = 10240;
constexpr int CF_FIELD_COUNT = 5;

using CfFields = std::array<std::string, CF_FIELD_COUNT>;

// Returns 1; every failure ends the process with its fatal message.
int verify_input_files();

// The first HEADER_BLOCK_SIZE bytes of the file as text-mode reading gives
// them on Windows (a CR right before a LF is dropped), zero-filled, every
// newline turned into a NUL. FICNOTOPN when the file cannot be read,
// UNEXPTEOF when the block holds no newline.
std::vector<char> read_header_block(const std::string &file_name);

// Overwrites the first occurrence of `word` in `line` with 'X's; false when
// the word does not occur.
bool find_and_mask(std::span<char> line, std::string_view word);

// The first line of `block` that begins with "CF" (at most 2047 characters),
// or an empty text.
std::string find_cf_line(const std::vector<char> &block);

// The next double-quoted field of `text` from `from`, quotes included; `from`
// moves to the second character after the closing quote. UNEXPTEOF when
// there is no further field.
std::string extract_quoted_field(std::string_view text, std::size_t &from);
CfFields split_cf_fields(std::string_view cf_line);

// FILESDIFF (at most once) when the CF lines of the remaining TDC files
// differ in field 1, 3, 4 or 5.
void check_test_plans();
