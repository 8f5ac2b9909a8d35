// Text for the page's data block: JSON string literals that are safe
// inside the page's script element, numbers as ranges, bytes as base64.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The JSON string literal of a text: quotes, backslashes and control
// characters escaped, "<" written \u003c so that no text ends the script
// element, bytes that are not UTF-8 read as Latin-1.
void json_string(std::string &out, std::string_view text);
// The text as the page's script reads it (as json_string gives it), escaped
// as encodeURIComponent escapes it: for links into the page.
std::string uri_component(std::string_view text);
// A decimal as a JSON number; anything else as a string.
void json_decimal_or_text(std::string &out, const std::string &text);
// The parts (JSON values already) joined by commas, each freed once copied,
// so that the text is not held twice.
void join_into(std::string &out, std::vector<std::string> parts);
std::string base64(const std::vector<uint8_t> &bytes);

// Ascending numbers as ranges: 1-3,7,9-10.
template <typename Number> std::string ranges_text(const std::vector<Number> &sorted)
{
    std::string text;
    for (std::size_t i = 0; i < sorted.size();) {
        std::size_t j = i;
        while (j + 1 < sorted.size() && sorted[j + 1] <= sorted[j] + 1)
            ++j;
        if (!text.empty())
            text += ',';
        text += std::to_string(sorted[i]);
        if (sorted[j] != sorted[i])
            text += '-' + std::to_string(sorted[j]);
        i = j + 1;
    }
    return text;
}

// File numbers in any order, repeats allowed, as ranges.
std::string file_ranges(std::vector<uint32_t> files);
