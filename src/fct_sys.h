// Small system helpers of the tool runner and the driver.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

// Heap copy of `text`; "FATAL ERROR on malloc" and status 7 when memory runs out.
char *sys_strdup(const char *text);

// Position of the last `character` within the first `length` characters of
// `text` (clamped to its size); std::string_view::npos when there is none.
std::size_t last_char_pos(std::string_view text, std::size_t length, char character);

struct PathParts {
    std::string directory; // "." when the name has no directory part
    std::string file;
};

// Directory and file-name parts of `name`; no parts for a null name.
std::optional<PathParts> split_path(const char *name);

// A file descriptor closed when the record goes.
struct FileHandle {
    int fd = -1;
    FileHandle() = default;
    explicit FileHandle(int descriptor) : fd(descriptor) {}
    FileHandle(FileHandle &&other) noexcept : fd(std::exchange(other.fd, -1)) {}
    FileHandle &operator=(FileHandle &&other) noexcept;
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    ~FileHandle();
};

// A file without a name in $TMPDIR (else /tmp) that holds what a tool writes
// until it is shown: nothing is left behind however the run ends. An invalid
// handle when none can be made.
FileHandle open_capture_file();
// Copies the whole of `capture` to descriptor `target`.
void show_capture(const FileHandle &capture, int target);
// True when standard output and standard error lead to the same file, so
// that one capture keeps the order of what a tool writes to both.
bool output_streams_shared();

// Starts arguments[0] with `arguments` (no shell), its standard output and
// standard error sent to `out_fd` and `err_fd` (-1: ours), with the signal
// mask the process had before an InterruptWatch. Returns the process, or -1
// with the reason in `error`.
pid_t spawn_tool(const std::vector<std::string> &arguments, int out_fd, int err_fd, int &error);
// The status a tool ended with, as a command interpreter gives it: its exit
// status, or 128 + the signal that ended it.
int tool_status(int wait_status);

// While it lives, SIGINT and SIGTERM (unless ignored when we started) and
// SIGCHLD are only taken in wait_for_signal, so that an interruption is seen
// at one place: where the runs are waited for.
struct InterruptWatch {
    InterruptWatch();
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch &) = delete;
    InterruptWatch &operator=(const InterruptWatch &) = delete;
};
// Sleeps until a signal comes or `timeout_ms` passes.
void wait_for_signal(int timeout_ms);
// SIGINT or SIGTERM when one came while the watch lived, else 0.
int interrupt_signal();
// Ends the process by `signal` as its default action would.
[[noreturn]] void die_by_signal(int signal);
