// Each run's own verdict. The RDD file keeps only a scenario's merged
// verdict; the verdict of each run is on the scenario's FS line in that
// run's ROD file, which the RDD file's CF line names with its directory, size
// and CRC. A ROD file is believed only while its size and CRC still match:
// otherwise its verdicts are not known, never guessed.
#pragma once

#include "rddread.h"

#include <cstdint>
#include <future>
#include <string>
#include <string_view>
#include <vector>

// What became of a ROD file that a CF line names.
enum class RodState : uint8_t { ok, missing, changed, unreadable };
const char *rod_state_name(RodState state);

// A run's own verdict: the FS verdict codes, or not known.
enum class RunVerdict : int8_t { not_known = -1, passed = 0, failed = 1, inconclusive = 2, unknown = 3 };

// The FS lines of one ROD file by line number, as the engine numbers them
// (the line after the header is 1; a line longer than a read piece counts
// once per piece). A merge of a thousand files holds millions of them, and
// most pass: those are kept as line number and a hash of the scenario name
// in one word, the others whole.
struct RodFsLine {
    uint32_t line = 0;
    RunVerdict verdict = RunVerdict::unknown;
    std::string name; // the scenario, FS field 1 (quotes off)
};

struct RodRuns {
    RodState state = RodState::missing;
    std::vector<uint64_t> passed;    // line << 32 | name hash, ascending; empty unless ok
    std::vector<RodFsLine> others;   // ascending line numbers; empty unless ok
};

// Finds the file beside the RDD file (its relative directory) or else in
// its absolute directory, and reads it when size and CRC match.
RodRuns rod_runs_of(const RddFile &file, const std::string &rdd_directory);
// The same from text already in memory (the file's whole contents).
RodRuns rod_runs_of_text(std::string_view text, uint64_t size, uint16_t crc);

// The verdict of the run that the origin pair of a scenario's FS line names.
RunVerdict rod_run_verdict(const RodRuns &runs, uint32_t line, std::string_view scenario);
// FS field 3 of a ROD or RDD file as a verdict code.
RunVerdict run_verdict_of_field(std::string_view text);

// The ROD files of a report read on two threads while the report itself is
// read on, and waited for when the first verdict is wanted.
class RodChecks {
public:
    RodChecks() = default;
    RodChecks(const RodChecks &) = delete;
    RodChecks &operator=(const RodChecks &) = delete;
    ~RodChecks();

    bool started() const { return started_; }
    // Starts reading `files` (a copy: the caller's list may still grow).
    void start(const std::vector<RddFile> &files, const std::string &rdd_directory);
    bool ready() const;
    // The runs of each of `files`, in its order: waits for the threads, and
    // reads those added since the start (or all, if never started).
    const std::vector<RodRuns> &wait(const std::vector<RddFile> &files, const std::string &rdd_directory);

private:
    bool started_ = false;
    std::vector<RddFile> checked_;
    std::vector<RodRuns> runs_;
    std::vector<std::future<void>> threads_;
};
