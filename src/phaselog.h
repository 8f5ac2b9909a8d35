// Phase times of the engine, written on request to the file named by the
// environment variable ZV_PHASE_LOG (for the benchmark). Nothing else of the
// run changes: no message, no status; a file that cannot be written is left
// unwritten.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>

// When files are loaded ahead, reading and structuring run on loader threads
// beside the merge: their times are then the loaders' work, and "wait" is
// what the merge spent waiting for a loaded file once the post-processor
// runs were over (before, it waits for the runs: "beside_runs").
enum PhaseId {
    PHASE_READ,
    PHASE_STRUCTURE,
    PHASE_WAIT,
    PHASE_SYNCHRONISE,
    PHASE_CF,
    PHASE_MERGE,
    PHASE_WRITE,
    PHASE_FREE,
    PHASE_COUNT
};

struct PhaseLog {
    bool enabled = false;
    // Outside the engine: the post-processor runs before it, the UML tool after.
    double postpro = 0;
    double uml = 0;
    double beside_runs = 0;
    std::chrono::steady_clock::time_point runs_end; // when the last post-processor run was over
    int loader_threads = 0;
    std::string path;
    double seconds[PHASE_COUNT] = {};
    long long rod_bytes = 0;
    long long rod_lines = 0;
    int files = 0;
};

inline PhaseLog &phase_log()
{
    static PhaseLog log = [] {
        PhaseLog made;
        if (const char *path = std::getenv("ZV_PHASE_LOG"); path && *path) {
            made.enabled = true;
            made.path = path;
        }
        return made;
    }();
    return log;
}

// Adds the time from its making to its end to one phase, or to a sum kept
// elsewhere (a loader thread's, added to the log by the merge).
class PhaseTimer {
public:
    explicit PhaseTimer(PhaseId phase) : PhaseTimer(phase_log().seconds[phase]) {}
    explicit PhaseTimer(double &sum) : sum_(phase_log().enabled ? &sum : nullptr)
    {
        if (sum_)
            start_ = std::chrono::steady_clock::now();
    }
    ~PhaseTimer()
    {
        if (sum_)
            *sum_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    PhaseTimer(const PhaseTimer &) = delete;
    PhaseTimer &operator=(const PhaseTimer &) = delete;

private:
    double *sum_;
    std::chrono::steady_clock::time_point start_;
};

// One "name value" line per phase (seconds), then the engine total (the
// merge thread's time but its wait for the runs), the input counts, the
// loader threads, the seconds of the post-processor runs, of the UML tool,
// of the merge thread's wait for the runs, and from the end of the runs to
// now without the UML tool (the engine's share of the wall time), and the
// processor time of our own threads (the tools' not counted).
inline void phase_log_write()
{
    const PhaseLog &log = phase_log();
    if (!log.enabled)
        return;
    FILE *out = std::fopen(log.path.c_str(), "w");
    if (!out)
        return;
    static const char *const names[PHASE_COUNT] = {"read",  "structure", "wait", "synchronise",
                                                   "cf",    "merge",     "write", "free"};
    double total = 0;
    for (int phase = 0; phase < PHASE_COUNT; ++phase) {
        std::fprintf(out, "%s %.6f\n", names[phase], log.seconds[phase]);
        const bool on_loaders = log.loader_threads > 0 && (phase == PHASE_READ || phase == PHASE_STRUCTURE);
        if (!on_loaders)
            total += log.seconds[phase];
    }
    std::fprintf(out, "engine %.6f\nfiles %d\nrod_bytes %lld\nrod_lines %lld\nloader_threads %d\n", total,
                 log.files, log.rod_bytes, log.rod_lines, log.loader_threads);
    const double after_runs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - log.runs_end).count() - log.uml;
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &time) { return double(time.tv_sec) + double(time.tv_usec) / 1e6; };
    std::fprintf(out, "postpro %.6f\numl %.6f\nbeside_runs %.6f\nafter_runs %.6f\ncpu %.6f\n", log.postpro, log.uml,
                 log.beside_runs, after_runs, seconds(usage.ru_utime) + seconds(usage.ru_stime));
    std::fclose(out);
}
