// Writes the scenarios of a merged report as JUnit XML for a CI server.
//
//   zrmjunit REPORT.rdd [-o FILE.xml] [--all-output] [--max-size BYTES]
//
// Default output: REPORT.xml beside the RDD file; "-o -" writes to standard
// output. Cases that did not pass link to the page beside the RDD file
// (REPORT.html, as the UML tool writes it); --all-output gives passed cases
// their output too. The lines quoted share what --max-size (30000000 bytes,
// GitLab's limit, by default) leaves of the document. The file takes its
// target's place only once complete (replfile.h), so neither a failure nor
// an interruption leaves a partial or temporary document. Exit status 0
// (also for --help, which prints the usage), or 1 with a one-line message
// naming the file.
#include "junitxml.h"
#include "replfile.h"

#include <cctype>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

constexpr const char *USAGE = "usage: zrmjunit REPORT.rdd [-o FILE.xml] [--all-output] [--max-size BYTES]";

int fail(const std::string &text)
{
    std::fprintf(stderr, "zrmjunit: %s\n", text.c_str());
    return 1;
}

std::string default_output(const std::string &rdd_path)
{
    const std::size_t slash = rdd_path.rfind('/');
    const std::size_t dot = rdd_path.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) {
        std::string extension = rdd_path.substr(dot);
        for (char &c : extension)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        if (extension == ".rdd")
            return rdd_path.substr(0, dot) + ".xml";
    }
    return rdd_path + ".xml";
}

// Writes the document to `fd`, counting its bytes.
bool write_document(int fd, JunitReport &report, const JunitOptions &options, uint64_t &size)
{
    return junit_write(report, options, [fd, &size](std::string_view piece) {
        size += piece.size();
        return write_all(fd, piece);
    });
}

// Writes the document to a file that takes the target's place once complete.
bool write_replacing(const std::string &target, JunitReport &report, const JunitOptions &options, uint64_t &size,
                     std::string &error)
{
    ReplacingFile file;
    if (!replacing_open(file, target, error))
        return false;
    if (!write_document(file.fd, report, options, size)) {
        error = std::strerror(errno);
        return false;
    }
    return replacing_commit(file, error);
}

} // namespace

int main(int argc, char **argv)
{
    std::string rdd_path, output;
    bool output_given = false;
    JunitOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            std::printf("%s\n", USAGE);
            return 0;
        }
        if (word == "--all-output") {
            options.all_output = true;
        } else if (word == "--max-size" && i + 1 < argc) {
            const std::string_view size = argv[++i];
            const auto [end, error] = std::from_chars(size.data(), size.data() + size.size(), options.document_limit);
            if (error != std::errc() || end != size.data() + size.size())
                return fail(USAGE);
        } else if (word == "-o" && i + 1 < argc && !output_given) {
            output = argv[++i];
            output_given = true;
        } else if (rdd_path.empty() && !word.empty() && (word[0] != '-' || word.size() == 1)) {
            rdd_path = word;
        } else {
            return fail(USAGE);
        }
    }
    if (rdd_path.empty() || (output_given && output.empty()))
        return fail(USAGE);
    if (!output_given)
        output = default_output(rdd_path);

    JunitReport report;
    std::string error;
    if (!junit_collect(rdd_path, report, error))
        return fail(error);
    if (report.diagnostics.count != 0)
        std::fprintf(stderr, "zrmjunit: %s: %llu damaged line(s) left out, the first: %s\n", rdd_path.c_str(),
                     static_cast<unsigned long long>(report.diagnostics.count),
                     report.diagnostics.first.front().c_str());
    options.rdd_name = std::filesystem::path(rdd_path).filename().string();
    options.page = std::filesystem::path(rdd_path).replace_extension(".html").string();
    uint64_t size = 0;
    if (output == "-") {
        if (!write_document(STDOUT_FILENO, report, options, size))
            return fail("cannot write standard output: " + std::string(std::strerror(errno)));
    } else if (!write_replacing(output, report, options, size, error)) {
        return fail("cannot write " + output + ": " + error);
    }
    // Quoted lines give way to the limit; the cases themselves cannot.
    if (size > options.document_limit)
        std::fprintf(stderr, "zrmjunit: %s is %llu bytes, above the %llu of --max-size: its cases need that much\n",
                     output.c_str(), static_cast<unsigned long long>(size),
                     static_cast<unsigned long long>(options.document_limit));
    return 0;
}
