// Phase times of the engine, written on request to the file named by the
// environment variable ZV_PHASE_LOG (for the benchmark). Nothing else of the
// run changes: no message, no status; a file that cannot be written is left
// unwritten.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

enum PhaseId { PHASE_READ, PHASE_STRUCTURE, PHASE_SYNCHRONISE, PHASE_CF, PHASE_MERGE, PHASE_WRITE, PHASE_FREE, PHASE_COUNT };

struct PhaseLog {
    bool enabled = false;
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

// Adds the time from its making to its end to one phase.
class PhaseTimer {
public:
    explicit PhaseTimer(PhaseId phase) : phase_(phase), enabled_(phase_log().enabled)
    {
        if (enabled_)
            start_ = std::chrono::steady_clock::now();
    }
    ~PhaseTimer()
    {
        if (enabled_)
            phase_log().seconds[phase_] +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    PhaseTimer(const PhaseTimer &) = delete;
    PhaseTimer &operator=(const PhaseTimer &) = delete;

private:
    PhaseId phase_;
    bool enabled_;
    std::chrono::steady_clock::time_point start_;
};

// One "name value" line per phase (seconds), then the engine total and the
// input counts.
inline void phase_log_write()
{
    const PhaseLog &log = phase_log();
    if (!log.enabled)
        return;
    FILE *out = std::fopen(log.path.c_str(), "w");
    if (!out)
        return;
    static const char *const names[PHASE_COUNT] = {"read", "structure", "synchronise", "cf", "merge", "write", "free"};
    double total = 0;
    for (int phase = 0; phase < PHASE_COUNT; ++phase) {
        std::fprintf(out, "%s %.6f\n", names[phase], log.seconds[phase]);
        total += log.seconds[phase];
    }
    std::fprintf(out, "engine %.6f\nfiles %d\nrod_bytes %lld\nrod_lines %lld\n", total, log.files, log.rod_bytes,
                 log.rod_lines);
    std::fclose(out);
}
