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

bool can_open(const std::string &name)
{
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

// A file descriptor closed when it goes.
struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

bool write_all(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t put = ::write(fd, text.data(), text.size());
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

// Counts the failed scenarios of the report lines given piece by piece; a
// line that spans two pieces is kept until its end comes.
class FailedScenarios {
public:
    void add(std::string_view piece)
    {
        for (std::size_t newline; (newline = piece.find('\n')) != std::string_view::npos;) {
            if (partial_.empty()) {
                count_ += is_failed_scenario(piece.substr(0, newline));
            } else {
                partial_.append(piece.substr(0, newline));
                count_ += is_failed_scenario(partial_);
                partial_.clear();
            }
            piece.remove_prefix(newline + 1);
        }
        partial_.append(piece);
    }
    // The last line may have no newline.
    int total() const { return count_ + is_failed_scenario(partial_); }

private:
    std::string partial_;
    int count_ = 0;
};

enum class Copy { Done, CannotRead, NoText, CannotWrite };

// Copies the report text of the RIO file (all after its first line) to the
// ROD file a buffer at a time, counting the failed scenarios on the way. A
// run per ROD file of a campaign: its start and this copy are all its time,
// and a whole report read into fresh memory would cost a page fault per
// 4 KB. The ROD file is made once there is text for it; a read that fails
// after that removes it.
Copy copy_report(const std::string &rio_name, const std::string &rod_name, int &failed_scenarios)
{
    const Fd rio{::open(rio_name.c_str(), O_RDONLY | O_CLOEXEC)};
    if (rio.fd < 0)
        return Copy::CannotRead;
    Fd rod;
    FailedScenarios failed;
    bool in_first_line = true;
    bool read_any = false;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(rio.fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            if (rod.fd >= 0)
                ::unlink(rod_name.c_str());
            return Copy::CannotRead;
        }
        if (got == 0)
            break;
        read_any = true;
        std::string_view piece(buffer, static_cast<std::size_t>(got));
        if (in_first_line) {
            const std::size_t newline = piece.find('\n');
            if (newline == std::string_view::npos)
                continue;
            in_first_line = false;
            piece.remove_prefix(newline + 1);
        }
        if (piece.empty())
            continue;
        if (rod.fd < 0) {
            rod.fd = ::open(rod_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            if (rod.fd < 0)
                return Copy::CannotWrite;
        }
        failed.add(piece);
        if (!write_all(rod.fd, piece))
            return Copy::CannotWrite;
    }
    if (!read_any)
        return Copy::CannotRead;
    if (rod.fd < 0)
        return Copy::NoText;
    const int fd = rod.fd;
    rod.fd = -1;
    if (::close(fd) != 0)
        return Copy::CannotWrite;
    failed_scenarios = failed.total();
    return Copy::Done;
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
    const std::string rod_name = rod_name_of(arguments.output);
    int failed_scenarios = 0;
    switch (copy_report(arguments.rio_name, rod_name, failed_scenarios)) {
    case Copy::Done:
        break;
    case Copy::CannotRead:
        return fail("cannot read RIO file " + arguments.rio_name);
    case Copy::NoText:
        return fail("RIO file " + arguments.rio_name + " holds no report lines");
    case Copy::CannotWrite:
        return fail("cannot write ROD file " + rod_name);
    }
    if (arguments.log) {
        std::cout << "zrmpostpro: " << arguments.rio_name << " with " << arguments.tdc_name << " -> " << rod_name
                  << ", " << failed_scenarios << " failed scenario(s)" << std::endl;
    }
    return failed_scenarios > 0 ? 3 : 0;
}
