#include "veriftr.h"

#include "cmdline.h"
#include "cstsyst.h"
#include "exec.h"
#include "i18nerrgest.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::string_view MAGIC = "KORVA Probeworks";
constexpr std::string_view TDC_KIND = "TDC file";
constexpr std::string_view RIO_KIND = "RIO file";

QString local_text(const std::string &text) { return QString::fromLocal8Bit(text.c_str()); }

[[noreturn]] void fatal_about(const char *code, const std::string &file_name)
{
    report_fatal(code, local_text(file_name), QString());
}

[[noreturn]] void fatal_unexpected_end() { report_fatal("UNEXPTEOF", QString(), QString()); }

// The NUL-terminated text that starts at `start`, cut to the stored size.
std::string stored_line(const std::vector<char> &block, std::size_t start)
{
    const auto begin = block.begin() + static_cast<std::ptrdiff_t>(start);
    const auto end = std::find(begin, block.end(), '\0');
    return std::string(begin, begin + static_cast<std::ptrdiff_t>(std::min<std::size_t>(
                                          static_cast<std::size_t>(end - begin), HEADER_TEXT_LIMIT)));
}

std::span<char> first_line_of(std::vector<char> &block)
{
    const auto end = std::find(block.begin(), block.end(), '\0');
    return {block.data(), static_cast<std::size_t>(end - block.begin())};
}

void classify_file(int slot, const std::string &file_name, int &tdc_count, int &rio_count)
{
    std::vector<char> block = read_header_block(file_name);
    const std::span<char> first_line = first_line_of(block);
    if (!find_and_mask(first_line, MAGIC))
        fatal_about("NORIOTDCF", file_name);
    if (find_and_mask(first_line, TDC_KIND)) {
        FileRecord &record = tdc_table[tdc_count++];
        record.file_index = static_cast<int16_t>(slot);
        record.first_line = stored_line(block, 0);
        record.cf_line = find_cf_line(block);
    } else if (find_and_mask(first_line, RIO_KIND)) {
        FileRecord &record = rio_table[rio_count++];
        record.file_index = static_cast<int16_t>(slot);
        record.first_line = stored_line(block, 0);
    } else {
        fatal_about("UNKKORVAF", file_name);
    }
}

// Every RIO record with every TDC record of an equal first line; stops the
// run at the first RIO file that matches none.
void pair_files(int tdc_count, int rio_count)
{
    const std::vector<std::string> &files = cmdline_record().files;
    for (int r = 0; r < rio_count; ++r) {
        FileRecord &rio = rio_table[r];
        for (int t = 0; t < tdc_count; ++t) {
            FileRecord &tdc = tdc_table[t];
            if (tdc.first_line != rio.first_line)
                continue;
            ++tdc.count;
            ++rio.count;
            pair_lists[t].push_back(static_cast<int16_t>(r));
        }
        if (rio.count == 0)
            fatal_about("NOTDCFRIO", files[rio.file_index]);
    }
}

// One pass, so a TDC warning comes before the error of a later RIO record.
void check_pairs()
{
    const std::vector<std::string> &files = cmdline_record().files;
    for (int i = 0; i < PAIR_TABLE_SIZE; ++i) {
        const FileRecord &rio = rio_table[i];
        if (rio.file_index != -1 && rio.count > 1)
            fatal_about("MULTITDCS", files[rio.file_index]);
        FileRecord &tdc = tdc_table[i];
        if (tdc.file_index != -1 && tdc.count == 0) {
            report_warning("NORIOFTDC", local_text(files[tdc.file_index]), QString());
            tdc.file_index = -1;
        }
    }
}

} // namespace

std::vector<char> read_header_block(const std::string &file_name)
{
    FILE *file = nullptr;
    if (!xfopen(file_name.c_str(), "rb", &file))
        fatal_about("FICNOTOPN", file_name);
    std::vector<char> block(HEADER_BLOCK_SIZE, '\0');
    std::size_t filled = 0;
    while (filled < block.size()) {
        int c = std::getc(file);
        if (c == EOF)
            break;
        if (c == '\r') {
            const int next = std::getc(file);
            if (next == '\n')
                c = '\n';
            else if (next != EOF)
                std::ungetc(next, file);
        }
        block[filled++] = static_cast<char>(c);
    }
    // A directory opens but cannot be read: an access problem, as elsewhere.
    const bool unreadable = std::ferror(file) != 0;
    xfclose(file);
    if (unreadable)
        fatal_about("FICNOTOPN", file_name);
    const auto newlines = std::count(block.begin(), block.end(), '\n');
    if (newlines == 0)
        fatal_unexpected_end();
    std::replace(block.begin(), block.end(), '\n', '\0');
    return block;
}

bool find_and_mask(std::span<char> line, std::string_view word)
{
    const std::string_view text(line.data(), line.size());
    const std::size_t at = text.find(word);
    if (at == std::string_view::npos)
        return false;
    std::fill_n(line.begin() + static_cast<std::ptrdiff_t>(at), word.size(), 'X');
    return true;
}

std::string find_cf_line(const std::vector<char> &block)
{
    std::size_t start = 0;
    while (start + 1 < block.size()) {
        if (block[start] == 'C' && block[start + 1] == 'F')
            return stored_line(block, start);
        const auto end = std::find(block.begin() + static_cast<std::ptrdiff_t>(start), block.end(), '\0');
        start = static_cast<std::size_t>(end - block.begin()) + 1;
    }
    return {};
}

std::string extract_quoted_field(std::string_view text, std::size_t &from)
{
    const std::size_t open = from < text.size() ? text.find('"', from) : std::string_view::npos;
    const std::size_t close = open == std::string_view::npos ? open : text.find('"', open + 1);
    if (close == std::string_view::npos)
        fatal_unexpected_end();
    // The character after the closing quote ends the field and is skipped.
    from = close + 2;
    return std::string(text.substr(open, close - open + 1));
}

CfFields split_cf_fields(std::string_view cf_line)
{
    CfFields fields;
    std::size_t from = 0;
    for (std::string &field : fields)
        field = extract_quoted_field(cf_line, from);
    return fields;
}

void check_test_plans()
{
    bool have_reference = false;
    CfFields reference;
    for (const FileRecord &tdc : tdc_table) {
        if (tdc.file_index == -1)
            continue;
        const CfFields fields = split_cf_fields(tdc.cf_line);
        if (!have_reference) {
            reference = fields;
            have_reference = true;
            continue;
        }
        // The second field (the script's own name) is not compared.
        if (fields[0] != reference[0] || fields[2] != reference[2] || fields[3] != reference[3] ||
            fields[4] != reference[4]) {
            report_info("FILESDIFF", QString(), QString());
            return;
        }
    }
}

int verify_input_files()
{
    clear_pair_tables();
    const std::vector<std::string> &files = cmdline_record().files;
    int tdc_count = 0;
    int rio_count = 0;
    const int slot_count = std::min<int>(static_cast<int>(files.size()), PAIR_TABLE_SIZE);
    for (int slot = 0; slot < slot_count; ++slot) {
        if (!files[slot].empty())
            classify_file(slot, files[slot], tdc_count, rio_count);
    }
    if (rio_count == 0)
        report_fatal("NEEDRIOFI", QString(), QString());
    if (tdc_count == 0)
        report_fatal("NEEDTDCFI", QString(), QString());
    pair_files(tdc_count, rio_count);
    check_pairs();
    check_test_plans();
    return 1;
}
