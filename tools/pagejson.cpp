#include "pagejson.h"

#include <algorithm>

namespace {

// Length of the UTF-8 sequence at `at`, 0 when the bytes there are not one.
std::size_t utf8_length(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    if (length == 0 || at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    const unsigned char second = byte(at + 1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) || (lead == 0xF0 && second < 0x90) ||
        (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

// A byte that stands for itself inside a JSON string in a script element.
bool is_plain(unsigned char byte) { return byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\' && byte != '<'; }

} // namespace

void json_string(std::string &out, std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (std::size_t at = 0; at < text.size();) {
        // Most text is plain: appended a run at a time.
        std::size_t plain = at;
        while (plain < text.size() && is_plain(static_cast<unsigned char>(text[plain])))
            ++plain;
        out.append(text, at, plain - at);
        at = plain;
        if (at == text.size())
            break;
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte >= 0x80) {
            const std::size_t length = utf8_length(text, at);
            if (length) {
                out.append(text.substr(at, length));
                at += length;
            } else { // Latin-1
                out += static_cast<char>(0xC0 | byte >> 6);
                out += static_cast<char>(0x80 | (byte & 0x3F));
                ++at;
            }
            continue;
        }
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte < 0x20 || byte == '<' || byte == 0x7F) {
            out += "\\u00";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        } else {
            out += static_cast<char>(byte);
        }
        ++at;
    }
    out += '"';
}

std::string uri_component(std::string_view text)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string utf8;
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        const std::size_t length = byte >= 0x80 ? utf8_length(text, at) : 1;
        if (length) {
            utf8.append(text.substr(at, length));
            at += length;
        } else {
            utf8 += static_cast<char>(0xC0 | byte >> 6);
            utf8 += static_cast<char>(0x80 | (byte & 0x3F));
            ++at;
        }
    }
    std::string out;
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                                (byte >= '0' && byte <= '9') || std::string_view("-_.!~*'()").find(c) != std::string_view::npos;
        if (unreserved) {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
    }
    return out;
}

// CF sizes and CRCs are decimals as the engine writes them; a damaged one stays text.
void json_decimal_or_text(std::string &out, const std::string &text)
{
    const bool decimal = !text.empty() && text.size() < 16 &&
                         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
                         (text == "0" || text[0] != '0');
    if (decimal)
        out += text;
    else
        json_string(out, text);
}

void join_into(std::string &out, std::vector<std::string> parts)
{
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i)
            out += ',';
        out += parts[i];
        std::string().swap(parts[i]);
    }
}

std::string base64(const std::vector<uint8_t> &bytes)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const uint32_t chunk = uint32_t{bytes[i]} << 16 | (i + 1 < bytes.size() ? uint32_t{bytes[i + 1]} << 8 : 0) |
                               (i + 2 < bytes.size() ? bytes[i + 2] : 0);
        text += alphabet[chunk >> 18 & 63];
        text += alphabet[chunk >> 12 & 63];
        text += i + 1 < bytes.size() ? alphabet[chunk >> 6 & 63] : '=';
        text += i + 2 < bytes.size() ? alphabet[chunk & 63] : '=';
    }
    return text;
}

std::string file_ranges(std::vector<uint32_t> files)
{
    std::sort(files.begin(), files.end());
    files.erase(std::unique(files.begin(), files.end()), files.end());
    return ranges_text(files);
}
