// Shared set-up of the fuzz targets: a fatal report ends the process by
// design, so the harness turns that ending into a return and resets the
// program's global state before every input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Thrown by the ending hook in place of leaving the process.
struct ProcessEnd {
    int status;
};

// Once per process: application object, message catalog, the engine's
// shared constants and the ending hook.
void harness_init();
// Before every input: allocation failures off, pairing tables and ROD names
// cleared, command-line record emptied.
void harness_reset();

// Forgets the blocks and streams tracked so far.
void tracked_resources_forget();
// Closes every stream and frees every block the checked services handed out
// since the last forget and that is still held: what a fatal ending left.
void tracked_resources_release();

// Runs `body` on a freshly reset program; returns -1 when it returned, else
// the exit status the program would have ended with. A fatal ending leaves
// the run's objects and open files behind, as the real process does when it
// exits; they are released here, so the leak check holds every run to what it frees.
template <typename Body> int run_guarded(Body &&body)
{
    harness_reset();
    tracked_resources_forget();
    try {
        body();
    } catch (const ProcessEnd &end) {
        tracked_resources_release();
        return end.status;
    }
    return -1;
}

// Splits the input into at most `max_parts` parts at each `separator`.
std::vector<std::string_view> split_input(std::string_view data, std::string_view separator, std::size_t max_parts);

// A private directory for the files a target writes, made once per process.
const std::string &work_dir();
void write_whole_file(const std::string &path, std::string_view content);
