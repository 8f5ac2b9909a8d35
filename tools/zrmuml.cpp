// Stand-in UML tool: renders the RDD file it is given as one HTML page
// beside it (FILE.rdd -> FILE.html), leaving the RDD file untouched.
//
//   zrmuml -path DIRECTORY -name FILE [-nobanner]
//
// File names are matched without regard to case when the exact name is
// missing, as on the file systems the suite comes from. Exit status 0, or 1
// with a message on bad arguments or a file that cannot be read or written.
#include "replfile.h"
#include "umlpage.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

namespace fs = std::filesystem;

namespace {

int fail(const std::string &text)
{
    std::cerr << "zrmuml: " << text << '\n';
    return 1;
}

std::string lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::optional<fs::path> find_rdd_file(const fs::path &directory, const std::string &name)
{
    std::error_code error;
    if (fs::is_regular_file(directory / name, error))
        return directory / name;
    for (const fs::directory_entry &entry : fs::directory_iterator(directory, error)) {
        if (lower(entry.path().filename().string()) == lower(name) && entry.is_regular_file(error))
            return entry.path();
    }
    return std::nullopt;
}

// The page takes the place of an earlier one only once complete, so that a
// failed or interrupted run leaves neither half a page nor a temporary file.
int write_page(const fs::path &rdd_file, const std::string &name)
{
    const fs::path page = fs::path(rdd_file).replace_extension(".html");
    RddDiagnostics diagnostics;
    std::string error;
    PageData data;
    if (!page_data(rdd_file.string(), name, page.filename().string(), PageLimits{}, diagnostics, data, error))
        return fail(error);
    ReplacingFile file;
    if (!replacing_open(file, page.string(), error) || !write_all(file.fd, page_head(data.plan, name)) ||
        !write_all(file.fd, data.json) || !write_all(file.fd, page_tail()) ||
        !replacing_commit(file, error))
        return fail("cannot write " + page.string() + ": " + (error.empty() ? std::strerror(errno) : error));
    for (const std::string &line : diagnostics.first)
        std::cerr << "zrmuml: " << rdd_file.string() << ", " << line << '\n';
    if (diagnostics.count > diagnostics.first.size())
        std::cerr << "zrmuml: " << rdd_file.string() << ", " << diagnostics.count - diagnostics.first.size()
                  << " more damaged lines\n";
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::string directory, name;
    bool have_path = false, have_name = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "-path" && i + 1 < argc) {
            directory = argv[++i];
            have_path = true;
        } else if (word == "-name" && i + 1 < argc) {
            name = argv[++i];
            have_name = true;
        } else if (word != "-nobanner") {
            return fail("unexpected argument " + std::string(word));
        }
    }
    if (!have_path || !have_name || name.empty())
        return fail("usage: zrmuml -path DIRECTORY -name FILE [-nobanner]");
    const std::optional<fs::path> rdd_file = find_rdd_file(directory.empty() ? fs::path(".") : fs::path(directory), name);
    if (!rdd_file)
        return fail("no RDD file " + name + " in " + directory);
    return write_page(*rdd_file, name);
}
