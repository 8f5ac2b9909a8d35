// Stand-in UML tool: checks that it was given an existing RDD file.
//
//   zrmuml -path DIRECTORY -name FILE [-nobanner]
//
// File names are matched without regard to case when the exact name is
// missing, as on the file systems the suite comes from.
#include <cctype>
#include <filesystem>
#include <iostream>
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

bool rdd_file_exists(const fs::path &directory, const std::string &name)
{
    std::error_code error;
    if (fs::is_regular_file(directory / name, error))
        return true;
    for (const fs::directory_entry &entry : fs::directory_iterator(directory, error)) {
        if (lower(entry.path().filename().string()) == lower(name) && entry.is_regular_file(error))
            return true;
    }
    return false;
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
    if (!rdd_file_exists(directory.empty() ? fs::path(".") : fs::path(directory), name))
        return fail("no RDD file " + name + " in " + directory);
    return 0;
}
