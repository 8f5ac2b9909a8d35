// Stand-in post-processor: turns a RIO file into its ROD file.
//
//   zrmpostpro RIO OUTPUT [-OPTION ...] -TDC=TDC -LOG|-NOLOG
//
// The RIO files of this project carry, after their first line, the ROD text
// a real post-processor would make; this tool copies that text to OUTPUT with
// its last extension replaced by ".rod". Exit status: 0, 3 when a scenario
// failed (an FS line whose third field is "1"), 1 on any error.
// ZRM_POSTPRO_DELAY_MS=N makes it sleep N milliseconds first, as a real
// post-processor's work would take (for the benchmark of side-by-side runs).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>

namespace {

struct Arguments {
    std::string rio_name;
    std::string output;
    std::string tdc_name;
    bool log = false;
};

int fail(const std::string &text)
{
    std::cerr << "zrmpostpro: " << text << '\n';
    return 1;
}

bool parse_arguments(int argc, char **argv, Arguments &arguments)
{
    if (argc < 5)
        return false;
    arguments.rio_name = argv[1];
    arguments.output = argv[2];
    const std::string_view last = argv[argc - 1];
    if (last != "-LOG" && last != "-NOLOG")
        return false;
    arguments.log = last == "-LOG";
    int tdc_options = 0;
    for (int i = 3; i < argc - 1; ++i) {
        const std::string_view word = argv[i];
        if (!word.starts_with("-"))
            return false;
        if (word.starts_with("-TDC=")) {
            arguments.tdc_name = std::string(word.substr(5));
            ++tdc_options;
        }
    }
    return tdc_options == 1 && !arguments.tdc_name.empty() && !arguments.rio_name.empty() &&
           !arguments.output.empty();
}

std::string rod_name_of(const std::string &output)
{
    const std::size_t dot = output.rfind('.');
    return output.substr(0, dot) + ".rod";
}

// Whether a report line is an FS line whose third double-quoted field is
// "1"; a doubled quote inside a field does not end it.
bool is_failed_scenario(std::string_view line)
{
    if (!line.starts_with("FS"))
        return false;
    std::size_t at = line.find('"', 2);
    for (int field = 1; at != std::string_view::npos; ++field) {
        std::size_t end = at + 1;
        while (end < line.size()) {
            if (line[end] == '"' && end + 1 < line.size() && line[end + 1] == '"')
                end += 2;
            else if (line[end] == '"')
                break;
            else
                ++end;
        }
        if (end >= line.size())
            return false;
        if (field == 3)
            return line.substr(at, end - at + 1) == "\"1\"";
        at = line.find('"', end + 1);
    }
    return false;
}

int count_failed_scenarios(std::string_view text)
{
    int failed = 0;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        const std::string_view line = text.substr(0, newline);
        failed += is_failed_scenario(line);
        if (newline == std::string_view::npos)
            break;
        text.remove_prefix(newline + 1);
    }
    return failed;
}

bool can_open(const std::string &name)
{
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

// A whole file read with plain system calls: one run per ROD file of a
// campaign, so the start and the copy are most of its time.
bool read_file(const std::string &name, std::string &text)
{
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status {};
    if (::fstat(fd, &status) == 0 && status.st_size > 0)
        text.reserve(static_cast<std::size_t>(status.st_size));
    char chunk[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ::close(fd);
            return got == 0;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
}

bool write_file(const std::string &name, std::string_view text)
{
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    while (!text.empty()) {
        const ssize_t put = ::write(fd, text.data(), text.size());
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            ::close(fd);
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(put));
    }
    return ::close(fd) == 0;
}

void sleep_as_asked()
{
    const char *delay = std::getenv("ZRM_POSTPRO_DELAY_MS");
    if (delay && *delay)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::strtol(delay, nullptr, 10)));
}

} // namespace

int main(int argc, char **argv)
{
    sleep_as_asked();
    Arguments arguments;
    if (!parse_arguments(argc, argv, arguments))
        return fail("usage: zrmpostpro RIO OUTPUT [-OPTION ...] -TDC=TDC -LOG|-NOLOG");
    if (!can_open(arguments.tdc_name))
        return fail("cannot read TDC file " + arguments.tdc_name);
    std::string rio;
    if (!read_file(arguments.rio_name, rio) || rio.empty())
        return fail("cannot read RIO file " + arguments.rio_name);
    const std::size_t first_newline = rio.find('\n');
    const std::string_view text =
        first_newline == std::string::npos ? std::string_view() : std::string_view(rio).substr(first_newline + 1);
    if (text.empty())
        return fail("RIO file " + arguments.rio_name + " holds no report lines");

    const int failed_scenarios = count_failed_scenarios(text);
    const std::string rod_name = rod_name_of(arguments.output);
    if (!write_file(rod_name, text))
        return fail("cannot write ROD file " + rod_name);
    if (arguments.log) {
        std::cout << "zrmpostpro: " << arguments.rio_name << " with " << arguments.tdc_name << " -> " << rod_name
                  << ", " << failed_scenarios << " failed scenario(s)" << std::endl;
    }
    return failed_scenarios > 0 ? 3 : 0;
}
