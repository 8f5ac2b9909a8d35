#include "exec.h"

#include "cmdline.h"
#include "cmdptro.h"
#include "fct_sys.h"
#include "i18nerrgest.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

std::array<FileRecord, PAIR_TABLE_SIZE> tdc_table;
std::array<FileRecord, PAIR_TABLE_SIZE> rio_table;
std::array<std::vector<int16_t>, PAIR_TABLE_SIZE> pair_lists;
uint32_t postpro_status3_count = 0;

namespace {

std::array<std::string, PAIR_TABLE_SIZE> rod_names;

constexpr const char *POSTPRO_TOOL = "zrmpostpro";
constexpr const char *UML_TOOL = "zrmuml";

QString local_text(const std::string &text) { return QString::fromLocal8Bit(text.c_str()); }

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string tool_path(const std::string &tool_dir, const char *tool) { return tool_dir + "/" + tool; }

// One post-processor run for a pair, with the rerun that shows the log of a
// failed run; true when the run succeeded (status 0 or 3).
bool run_postprocessor_pair(const std::string &tool_dir, const std::string &rio_name, const std::string &tdc_name,
                            const std::string &postpro_options, bool log)
{
    const std::string output = postpro_output_argument(rio_name);
    if (log)
        report_info("MERGEPOST", local_text(rio_name), QString());
    const int status = run_tool(postpro_arguments(tool_dir, rio_name, output, postpro_options, tdc_name, log));
    std::fflush(stdout);
    if (!log)
        report_info("MERGEPOST", local_text(rio_name), QString());
    if (status == 3) {
        ++postpro_status3_count;
        if (!log)
            report_warning("MSGENDPOS", QString(), QString());
        return true;
    }
    if (status == 0)
        return true;
    if (!log) {
        // Only shows the user the tool's log; its status does not count.
        run_tool(postpro_arguments(tool_dir, rio_name, output, postpro_options, tdc_name, true));
        std::fflush(stdout);
    }
    return false;
}

} // namespace

void clear_pair_tables()
{
    tdc_table.fill(FileRecord{});
    rio_table.fill(FileRecord{});
    for (auto &list : pair_lists)
        list.clear();
    for (auto &name : rod_names)
        name.clear();
}

const std::string &rod_name(int slot)
{
    static const std::string none;
    return slot >= 0 && slot < PAIR_TABLE_SIZE ? rod_names[slot] : none;
}

void set_rod_name(int slot, std::string name)
{
    if (slot >= 0 && slot < PAIR_TABLE_SIZE)
        rod_names[slot] = std::move(name);
}

std::string rod_file_name(std::string_view rio_name)
{
    const std::size_t dot = last_char_pos(rio_name, rio_name.size(), '.');
    std::string name(rio_name.substr(0, dot));
    name += ".rod";
    if (name.size() > HEADER_TEXT_LIMIT)
        name.resize(HEADER_TEXT_LIMIT);
    return name;
}

std::string postpro_output_argument(std::string_view rio_name)
{
    const std::size_t dot = last_char_pos(rio_name, rio_name.size(), '.');
    if (dot != std::string_view::npos && rio_name.substr(dot).starts_with(".rio"))
        return std::string(rio_name.substr(0, dot)) + ".ro";
    return std::string(rio_name);
}

std::string postpro_option_text(std::string_view postpro_options, std::string_view tdc_name)
{
    return std::string(postpro_options) + " -TDC=" + quoted(tdc_name);
}

std::string postpro_executable_text(std::string_view tool_dir)
{
    return std::string(tool_dir) + "\\" + "zrmpostpro.exe";
}

std::string postpro_command_text(std::string_view executable, std::string_view rio_name,
                                 std::string_view output_argument, std::string_view option_text, bool log)
{
    return "\"" + quoted(executable) + " " + quoted(rio_name) + " " + quoted(output_argument) + " " +
           std::string(option_text) + (log ? " -LOG" : " -NOLOG") + "\"";
}

std::string uml_executable_text(std::string_view tool_dir) { return std::string(tool_dir) + "\\zrmuml.exe"; }

std::string uml_command_text(std::string_view executable, std::string_view directory, std::string_view file_name)
{
    return "\"" + quoted(executable) + " -path " + quoted(directory) + " -name " + quoted(file_name) +
           " -nobanner \"";
}

std::vector<std::string> postpro_arguments(const std::string &tool_dir, const std::string &rio_name,
                                           const std::string &output_argument,
                                           std::string_view postpro_options, const std::string &tdc_name,
                                           bool log)
{
    std::vector<std::string> arguments{tool_path(tool_dir, POSTPRO_TOOL), rio_name, output_argument};
    std::size_t start = 0;
    while (start < postpro_options.size()) {
        const std::size_t blank = postpro_options.find(' ', start);
        const std::size_t end = blank == std::string_view::npos ? postpro_options.size() : blank;
        if (end > start)
            arguments.emplace_back(postpro_options.substr(start, end - start));
        start = end + 1;
    }
    arguments.push_back("-TDC=" + tdc_name);
    arguments.push_back(log ? "-LOG" : "-NOLOG");
    return arguments;
}

std::vector<std::string> uml_arguments(const std::string &tool_dir, const std::string &directory,
                                       const std::string &file_name)
{
    return {tool_path(tool_dir, UML_TOOL), "-path", directory, "-name", file_name, "-nobanner"};
}

std::string uml_file_name(std::string_view file_part)
{
    if (file_part.size() <= 4 || !(file_part.ends_with(".rdd") || file_part.ends_with(".RDD")))
        return {};
    std::string name(file_part);
    name.replace(name.size() - 3, 3, "rdd");
    return name;
}

int run_tool(const std::vector<std::string> &arguments)
{
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    // Our own output must come before the tool's.
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t child = 0;
    const int error = posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ);
    if (error != 0) {
        // What a command interpreter would say; the caller reports the failure.
        std::fprintf(stderr, "%s: cannot start: %s\n", argv[0], std::strerror(error));
        std::fflush(stderr);
        return -1;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

void run_postprocessors(const std::string &tool_dir, const std::string &postpro_options,
                        const MergeSettings &settings)
{
    const std::vector<std::string> &files = cmdline_record().files;
    const bool log = settings.log != 0;
    bool failed = false;
    for (int t = 0; t < PAIR_TABLE_SIZE; ++t) {
        const FileRecord &tdc = tdc_table[t];
        if (tdc.file_index == -1 || tdc.count == 0)
            continue;
        const std::string &tdc_name = files[tdc.file_index];
        for (const int16_t r : pair_lists[t]) {
            const std::string &rio_name = files[rio_table[r].file_index];
            rod_names[r] = rod_file_name(rio_name);
            if (!run_postprocessor_pair(tool_dir, rio_name, tdc_name, postpro_options, log))
                failed = true;
        }
    }
    if (failed)
        report_fatal("POSTFAILD", QString(), QString());
}

void run_uml_tool(const char *rdd_name, const std::string &tool_dir)
{
    const std::optional<PathParts> parts = split_path(rdd_name);
    const std::string file_name = parts ? uml_file_name(parts->file) : std::string();
    if (file_name.empty())
        report_fatal("POSTFAILD", QString(), QString());
    if (run_tool(uml_arguments(tool_dir, parts->directory, file_name)) < 0)
        report_fatal("POSTFAILD", QString(), QString());
}
