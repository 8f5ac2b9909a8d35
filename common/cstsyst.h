// Checked system services: wrappers that end the process with a fixed
// "FATAL ERROR on ..." text when a service the program cannot do without fails.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// Ends the process with `status` after flushing standard error. A harness
// (fuzzing, tests) may install a hook that leaves by other means (for
// instance by throwing); the hook must not return normally.
using ExitHook = void (*)(int status);
void set_exit_hook(ExitHook hook);
[[noreturn]] void process_exit(int status);

// Work done on a helper thread for a run that another thread owns keeps
// what it would write to standard error, and the status it would end the
// process with, so that the owner gives both in the run's own order.
struct DeferredOutput {
    std::string text;
    int exit_status = -1; // -1 while the work did not end the process
    // Called by process_exit once the status is kept, before it throws
    // DeferredExit; it may wait there until the process ends.
    void (*at_exit)(void *context) = nullptr;
    void *context = nullptr;
};
// Thrown by process_exit on a thread whose output is deferred.
struct DeferredExit {};
// Defers this thread's output into `output` (null: writes it again);
// returns where it went before.
DeferredOutput *defer_output(DeferredOutput *output);
// Writes what was kept, then ends the process when the work ended it.
void give_deferred_output(const DeferredOutput &output);
// Runs `work` with this thread's output deferred into `output`, then
// restores where it went before; false when the work would have ended the
// process (what it said is in `output`).
template <typename Work> bool run_deferred(DeferredOutput &output, Work work)
{
    DeferredOutput *const outer = defer_output(&output);
    bool ended = false;
    try {
        work();
    } catch (const DeferredExit &) {
        ended = true;
    }
    defer_output(outer);
    return !ended;
}
// Writes bytes to standard error and flushes it, or keeps them when this
// thread's output is deferred.
void write_error_output(const char *bytes);

// Called by process_exit before the process ends (on the thread whose
// output is not deferred), so that helper threads stop first. Returns the
// preparation it replaces, for the caller to put back.
using ExitPreparation = void (*)();
ExitPreparation set_exit_preparation(ExitPreparation preparation);

// Writes `text` (already translated) to standard error in the local 8-bit
// encoding and ends the process with status 7.
[[noreturn]] void fatal_service_text(const char *untranslated_text);

void *xmalloc(std::size_t size);
// Ends the process as xmalloc does when memory is exhausted.
[[noreturn]] void fatal_out_of_memory();
// Makes a failing operator new end the process as xmalloc does, instead of
// throwing (the standard containers of the engine allocate through it).
void install_out_of_memory_handler();
// A block an allocator keeps as its reserve for the life of the process:
// counted and failing as xmalloc, but not told to the resource tracker,
// since no run owns it.
void *xmalloc_reserve(std::size_t size);
// The same, zeroed (calloc leaves a fresh mapping's pages as the system
// gives them, already zero).
void *xcalloc_reserve(std::size_t size);
char *xstrdup(const char *text);
void *xrealloc(void *block, std::size_t size);
void xfree(void *block);
// Deleter for a std::unique_ptr that holds a block of the wrappers above.
struct XFree {
    void operator()(void *block) const { xfree(block); }
};
bool xfopen(const char *name, const char *mode, FILE **out);
void xfclose(FILE *stream);
// Formats like sprintf into a string built to its size; a formatting error
// ends the process with the "FATAL ERROR on sprintf (<format>)" text.
std::string xsprintf(const char *format, ...)
    __attribute__((format(printf, 1, 2)));

// Test hook: makes the allocation wrappers fail after `successes` more
// successful calls (negative: never fail), counting the calls of any thread,
// only those of the calling thread, or only those of the other threads.
enum class FailingThreads { ANY, THIS_ONE, OTHERS };
void set_allocation_failure_after(long successes, FailingThreads threads = FailingThreads::ANY);

// Test hook: told of every block the allocation wrappers hand out and of
// every block xfree releases, and of every stream xfopen opens and xfclose
// closes, so that a harness that turns a fatal ending into a return can
// release what the ended run still held.
struct ResourceTracker {
    void (*allocated)(void *block) = nullptr;
    void (*released)(void *block) = nullptr;
    void (*opened)(FILE *stream) = nullptr;
    void (*closed)(FILE *stream) = nullptr;
};
void set_resource_tracker(ResourceTracker tracker);
// Whether the resource tracker is in use: it records on the calling thread,
// so work that it follows stays on one thread.
bool resource_tracking_active();
// Whether either test hook above watches the allocation wrappers: what a
// thread would allocate ahead of need is then allocated when needed.
bool allocation_hooks_active();

// "Sun Jan 05 09:07:03 2025": English names whatever the locale.
const char *current_time_text();
// Same text for a given broken-down time (used by current_time_text).
std::string format_time_text(const struct tm &t);

std::string getenv_copy(const char *name);
// File-name part of `path`; a null or empty path leaves `buffer` unchanged.
void file_basename(const char *path, std::string &buffer);
// Directory part of `path` ("." when it has none); empty for an empty path.
void file_dirname(const char *path, std::string &buffer);
