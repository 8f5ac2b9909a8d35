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
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

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

// The double-quoted fields of a report line, quotes included; a doubled
// quote inside a field does not end it.
std::vector<std::string> quoted_fields(std::string_view line)
{
    std::vector<std::string> fields;
    std::size_t at = line.find('"', 2);
    while (at != std::string_view::npos) {
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
            break;
        fields.emplace_back(line.substr(at, end - at + 1));
        at = line.find('"', end + 1);
    }
    return fields;
}

bool is_failed_scenario(std::string_view line)
{
    if (!line.starts_with("FS"))
        return false;
    const std::vector<std::string> fields = quoted_fields(line);
    return fields.size() >= 3 && fields[2] == "\"1\"";
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
    if (!std::ifstream(arguments.tdc_name))
        return fail("cannot read TDC file " + arguments.tdc_name);
    std::ifstream rio(arguments.rio_name, std::ios::binary);
    std::string first_line;
    if (!rio || !std::getline(rio, first_line))
        return fail("cannot read RIO file " + arguments.rio_name);
    std::ostringstream report;
    report << rio.rdbuf();
    const std::string text = report.str();
    if (text.empty())
        return fail("RIO file " + arguments.rio_name + " holds no report lines");

    int failed_scenarios = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (is_failed_scenario(line))
            ++failed_scenarios;
    }
    const std::string rod_name = rod_name_of(arguments.output);
    std::ofstream rod(rod_name, std::ios::binary);
    if (!rod || !(rod << text) || !rod.flush())
        return fail("cannot write ROD file " + rod_name);
    if (arguments.log) {
        std::cout << "zrmpostpro: " << arguments.rio_name << " with " << arguments.tdc_name << " -> " << rod_name
                  << ", " << failed_scenarios << " failed scenario(s)" << std::endl;
    }
    return failed_scenarios > 0 ? 3 : 0;
}
