#include "exec.h"

#include "cmdline.h"
#include "cmdptro.h"
#include "fct_sys.h"
#include "i18nerrgest.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>

namespace fs = std::filesystem;

std::array<FileRecord, PAIR_TABLE_SIZE> tdc_table;
std::array<FileRecord, PAIR_TABLE_SIZE> rio_table;
std::array<std::vector<int16_t>, PAIR_TABLE_SIZE> pair_lists;
uint32_t postpro_status3_count = 0;

namespace {

std::array<std::string, PAIR_TABLE_SIZE> rod_names;

constexpr const char *POSTPRO_TOOL = "zrmpostpro";
constexpr const char *UML_TOOL = "zrmuml";

QString local_text(const std::string &text) { return QString::fromLocal8Bit(text.c_str()); }

std::string tool_path(const std::string &tool_dir, const char *tool) { return tool_dir + "/" + tool; }

// One run of the post-processor (or its -LOG rerun). A captured run writes
// into files of its own and is shown when its turn comes; a direct one
// writes on our streams and starts only at its turn.
struct ToolRun {
    enum State { WAITING, RUNNING, DONE } state = WAITING;
    bool direct = true;
    bool capture_tried = false;
    pid_t pid = -1;
    int status = -1;          // tool_status, or -1 when it could not be started
    std::string start_error;  // what a captured run that could not start would have said
    FileHandle out;           // captures; `err` unused when both streams lead to one file
    FileHandle err;
};

// A pair's part of the output, step by step in the order the user sees it.
enum class Step { OPENING, RUN, VERDICT, RERUN, SHOWN };

struct PairRuns {
    int slot = 0; // of its ROD file
    std::string rio_name;
    std::string rod_name;
    const std::string *tdc_name = nullptr;
    std::string output;
    ToolRun first;
    ToolRun rerun;
    Step step = Step::OPENING;
};

struct RunPlan {
    std::vector<PairRuns> pairs;
    std::string tool_dir;
    std::string options;
    bool log = false;
    int jobs = 1;
    std::size_t window = 1;     // pairs under way or waiting to be shown, at most
    bool shared_streams = false;
    const RunListener *listener = nullptr;
    std::size_t shown = 0;      // pairs shown whole
    std::size_t next_first = 0; // the next pair whose first run starts
    int running = 0;
    bool failed = false;
};

std::string cannot_start_line(const std::string &tool, int error)
{
    // What a command interpreter would say; the caller reports the failure.
    return tool + ": cannot start: " + std::strerror(error) + "\n";
}

bool make_captures(const RunPlan &plan, ToolRun &run)
{
    run.capture_tried = true;
    run.out = open_capture_file();
    if (!plan.shared_streams)
        run.err = open_capture_file();
    run.direct = run.out.fd < 0 || (!plan.shared_streams && run.err.fd < 0);
    if (run.direct) {
        // Without a place to keep its output, the run waits for its turn.
        run.out = FileHandle();
        run.err = FileHandle();
    }
    return !run.direct;
}

void start_run(RunPlan &plan, PairRuns &pair, ToolRun &run, bool log)
{
    const std::vector<std::string> arguments =
        postpro_arguments(plan.tool_dir, pair.rio_name, pair.output, plan.options, *pair.tdc_name, log);
    int error = 0;
    if (run.direct) {
        // Our own output must come before the tool's.
        std::fflush(stdout);
        std::fflush(stderr);
        run.pid = spawn_tool(arguments, -1, -1, error);
    } else {
        run.pid = spawn_tool(arguments, run.out.fd, plan.shared_streams ? run.out.fd : run.err.fd, error);
    }
    if (run.pid < 0) {
        run.state = ToolRun::DONE;
        run.status = -1;
        const std::string line = cannot_start_line(arguments[0], error);
        if (run.direct) {
            std::fputs(line.c_str(), stderr);
            std::fflush(stderr);
        } else {
            run.start_error = line;
        }
        return;
    }
    run.state = ToolRun::RUNNING;
    ++plan.running;
}

void show_run(const RunPlan &plan, const ToolRun &run)
{
    if (run.direct) {
        std::fflush(stdout);
        return;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    if (plan.shared_streams) {
        show_capture(run.out, STDERR_FILENO);
    } else {
        show_capture(run.out, STDOUT_FILENO);
        show_capture(run.err, STDERR_FILENO);
    }
    if (!run.start_error.empty())
        std::fputs(run.start_error.c_str(), stderr);
}

bool run_succeeded(const ToolRun &run) { return run.status == 0 || run.status == 3; }

// Whether `run` has ended and may be shown; a direct run starts here, at its turn.
bool run_ready(RunPlan &plan, PairRuns &pair, ToolRun &run, bool log)
{
    if (run.state == ToolRun::WAITING && run.direct && plan.running < plan.jobs)
        start_run(plan, pair, run, log);
    return run.state == ToolRun::DONE;
}

// Shows what it can of `pair`, in the order of the one-at-a-time run: with
// -LOG the message, then the run; without, the run, its message, then the
// verdict or the -LOG rerun that shows the tool's log (its status does not
// count). False while a run it needs has not ended.
bool show_pair(RunPlan &plan, PairRuns &pair)
{
    for (;;) {
        switch (pair.step) {
        case Step::OPENING:
            if (plan.log)
                report_info("MERGEPOST", local_text(pair.rio_name), QString());
            pair.step = Step::RUN;
            break;
        case Step::RUN:
            if (!run_ready(plan, pair, pair.first, plan.log))
                return false;
            show_run(plan, pair.first);
            if (!plan.log)
                report_info("MERGEPOST", local_text(pair.rio_name), QString());
            pair.step = Step::VERDICT;
            break;
        case Step::VERDICT:
            pair.step = Step::SHOWN;
            if (pair.first.status == 3) {
                ++postpro_status3_count;
                if (!plan.log)
                    report_warning("MSGENDPOS", QString(), QString());
            } else if (!run_succeeded(pair.first)) {
                plan.failed = true;
                if (!plan.log)
                    pair.step = Step::RERUN;
            }
            break;
        case Step::RERUN:
            if (!run_ready(plan, pair, pair.rerun, true))
                return false;
            show_run(plan, pair.rerun);
            pair.step = Step::SHOWN;
            break;
        case Step::SHOWN:
            pair.first = ToolRun{};
            pair.rerun = ToolRun{};
            return true;
        }
    }
}

void show_ready_pairs(RunPlan &plan)
{
    while (plan.shown < plan.pairs.size() && show_pair(plan, plan.pairs[plan.shown]))
        ++plan.shown;
}

bool wants_rerun(const RunPlan &plan, const PairRuns &pair)
{
    return !plan.log && pair.first.state == ToolRun::DONE && !run_succeeded(pair.first) &&
           pair.rerun.state == ToolRun::WAITING;
}

// Fills the free places with captured runs: reruns of failed runs first
// (their pairs are the nearest to be shown), then the next pairs in order.
void start_captured_runs(RunPlan &plan)
{
    if (plan.jobs == 1)
        return;
    plan.next_first = std::max(plan.next_first, plan.shown);
    for (std::size_t p = plan.shown; p < plan.next_first && plan.running < plan.jobs; ++p) {
        PairRuns &pair = plan.pairs[p];
        if (wants_rerun(plan, pair) && !pair.rerun.capture_tried && make_captures(plan, pair.rerun))
            start_run(plan, pair, pair.rerun, true);
    }
    while (plan.running < plan.jobs && plan.next_first < plan.pairs.size() &&
           plan.next_first - plan.shown < plan.window) {
        PairRuns &pair = plan.pairs[plan.next_first++];
        if (pair.first.state == ToolRun::WAITING && make_captures(plan, pair.first))
            start_run(plan, pair, pair.first, plan.log);
    }
}

// Pairs that may have a run under way: captured ones up to next_first, and
// the direct run of the pair being shown.
std::size_t active_end(const RunPlan &plan)
{
    return std::min(plan.pairs.size(), std::max(plan.next_first, plan.shown + 1));
}

// Collects the runs that ended; false when none had. Only the runs started
// here are waited for: another child of the process is left to its owner.
bool collect_ended_runs(RunPlan &plan)
{
    bool any = false;
    for (std::size_t p = plan.shown; p < active_end(plan); ++p) {
        for (ToolRun *run : {&plan.pairs[p].first, &plan.pairs[p].rerun}) {
            if (run->state != ToolRun::RUNNING)
                continue;
            int wait_status = 0;
            pid_t pid;
            do
                pid = ::waitpid(run->pid, &wait_status, WNOHANG);
            while (pid < 0 && errno == EINTR);
            if (pid == 0)
                continue;
            run->state = ToolRun::DONE;
            // Reaped elsewhere: its status is lost, the run failed.
            run->status = pid == run->pid ? tool_status(wait_status) : -1;
            --plan.running;
            any = true;
            if (run == &plan.pairs[p].first && run_succeeded(*run) && plan.listener->rod_written)
                plan.listener->rod_written(plan.listener->context, plan.pairs[p].slot);
        }
    }
    return any;
}

// The path of a file with the links of its existing directories resolved,
// else as written, made absolute where it can be.
fs::path file_identity(const std::string &name)
{
    std::error_code error;
    const fs::path absolute = fs::absolute(name, error);
    if (error)
        return fs::path(name).lexically_normal();
    const fs::path canonical = fs::weakly_canonical(absolute, error);
    return error ? absolute.lexically_normal() : canonical;
}

// Two runs writing one ROD file would lose the first one's results (or mix
// both, side by side) and merge the file twice: refused before any run.
void stop_on_shared_rod_file(const RunPlan &plan)
{
    std::vector<std::string> rod_files;
    for (const PairRuns &pair : plan.pairs)
        rod_files.push_back(pair.rod_name);
    const std::optional<std::pair<std::size_t, std::size_t>> shared = first_shared_rod_file(rod_files);
    if (!shared)
        return;
    const PairRuns &first = plan.pairs[shared->first];
    report_fatal("RODNAMDUP", local_text(first.rio_name + ", " + plan.pairs[shared->second].rio_name),
                 local_text(first.rod_name));
}

constexpr int END_GRACE_MS = 5000;
constexpr int WAIT_STEP_MS = 100;

// An interrupted run ends the tools it started (forced after a grace time),
// waits for them, then ends as the signal would have ended it. The captures
// have no names, so no file is left.
[[noreturn]] void end_runs_after_interrupt(RunPlan &plan)
{
    const auto signal_running = [&plan](int signal) {
        for (std::size_t p = plan.shown; p < active_end(plan); ++p)
            for (const ToolRun *run : {&plan.pairs[p].first, &plan.pairs[p].rerun})
                if (run->state == ToolRun::RUNNING)
                    ::kill(run->pid, signal);
    };
    signal_running(SIGTERM);
    for (int waited = 0; plan.running > 0; waited += WAIT_STEP_MS) {
        if (waited == END_GRACE_MS)
            signal_running(SIGKILL);
        if (!collect_ended_runs(plan))
            wait_for_signal(WAIT_STEP_MS);
    }
    const int signal = interrupt_signal();
    plan.pairs.clear();
    die_by_signal(signal);
}

void wait_for_a_run(RunPlan &plan)
{
    while (plan.running > 0 && !collect_ended_runs(plan)) {
        if (interrupt_signal() != 0)
            end_runs_after_interrupt(plan);
        wait_for_signal(1000);
    }
    if (interrupt_signal() != 0)
        end_runs_after_interrupt(plan);
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

std::optional<std::pair<std::size_t, std::size_t>> first_shared_rod_file(const std::vector<std::string> &rod_files)
{
    std::unordered_map<std::string, std::size_t> paths;
    std::map<std::pair<dev_t, ino_t>, std::size_t> existing;
    for (std::size_t at = 0; at < rod_files.size(); ++at) {
        if (const auto [found, added] = paths.try_emplace(file_identity(rod_files[at]).string(), at); !added)
            return std::pair{found->second, at};
        // Two names of one file that exists already (a hard link, a file
        // system that ignores case).
        struct stat status {};
        if (::stat(rod_files[at].c_str(), &status) == 0) {
            if (const auto [found, added] = existing.try_emplace({status.st_dev, status.st_ino}, at); !added)
                return std::pair{found->second, at};
        }
    }
    return std::nullopt;
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
    // Our own output must come before the tool's.
    std::fflush(stdout);
    std::fflush(stderr);
    int error = 0;
    const pid_t child = spawn_tool(arguments, -1, -1, error);
    if (child < 0) {
        std::fputs(cannot_start_line(arguments[0], error).c_str(), stderr);
        std::fflush(stderr);
        return -1;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return tool_status(status);
}

std::optional<int> postpro_jobs(std::string_view value, int cores)
{
    if (value.empty())
        return 1;
    if (value == "auto" || value == "AUTO")
        return std::clamp(cores, 1, MAX_POSTPRO_JOBS);
    if (value.size() > 3 || value.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    const int jobs = std::stoi(std::string(value));
    if (jobs == 0)
        return std::clamp(cores, 1, MAX_POSTPRO_JOBS);
    if (jobs > MAX_POSTPRO_JOBS)
        return std::nullopt;
    return jobs;
}

void run_postprocessors(const std::string &tool_dir, const std::string &postpro_options,
                        const MergeSettings &settings, int jobs, const RunListener &listener)
{
    const std::vector<std::string> &files = cmdline_record().files;
    RunPlan plan;
    plan.tool_dir = tool_dir;
    plan.options = postpro_options;
    plan.log = settings.log != 0;
    plan.jobs = std::max(jobs, 1);
    // Runs ahead of a slow one go on until this many pairs wait to be shown,
    // which bounds the open capture files.
    plan.window = 2 * std::size_t(plan.jobs);
    plan.shared_streams = plan.jobs > 1 && output_streams_shared();
    plan.listener = &listener;
    for (int t = 0; t < PAIR_TABLE_SIZE; ++t) {
        const FileRecord &tdc = tdc_table[t];
        if (tdc.file_index == -1 || tdc.count == 0)
            continue;
        for (const int16_t r : pair_lists[t]) {
            const std::string &rio_name = files[rio_table[r].file_index];
            rod_names[r] = rod_file_name(rio_name);
            PairRuns &pair = plan.pairs.emplace_back();
            pair.slot = r;
            pair.rio_name = rio_name;
            pair.tdc_name = &files[tdc.file_index];
            pair.output = postpro_output_argument(rio_name);
            pair.rod_name = rod_names[r];
        }
    }
    stop_on_shared_rod_file(plan);
    {
        const InterruptWatch watch;
        if (listener.planned)
            listener.planned(listener.context);
        for (;;) {
            start_captured_runs(plan);
            show_ready_pairs(plan);
            if (plan.shown == plan.pairs.size())
                break;
            start_captured_runs(plan);
            wait_for_a_run(plan);
        }
    }
    if (plan.failed)
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
