#include "fct_sys.h"

#include "cstsyst.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

char *sys_strdup(const char *text)
{
    const std::size_t size = std::strlen(text) + 1;
    char *copy = static_cast<char *>(xmalloc(size));
    std::memcpy(copy, text, size);
    return copy;
}

std::size_t last_char_pos(std::string_view text, std::size_t length, char character)
{
    return text.substr(0, std::min(length, text.size())).rfind(character);
}

std::optional<PathParts> split_path(const char *name)
{
    if (!name)
        return std::nullopt;
    PathParts parts;
    file_dirname(name, parts.directory);
    file_basename(name, parts.file);
    return parts;
}

FileHandle &FileHandle::operator=(FileHandle &&other) noexcept
{
    if (this != &other) {
        if (fd >= 0)
            ::close(fd);
        fd = std::exchange(other.fd, -1);
    }
    return *this;
}

FileHandle::~FileHandle()
{
    if (fd >= 0)
        ::close(fd);
}

FileHandle open_capture_file()
{
    const std::string tmpdir = getenv_copy("TMPDIR");
    const std::string dir = tmpdir.empty() ? "/tmp" : tmpdir;
    const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return FileHandle(fd);
    // A file system without unnamed files: the name goes at once.
    std::string name = dir + "/zovizeve-XXXXXX";
    const int named = ::mkostemp(name.data(), O_CLOEXEC);
    if (named >= 0)
        ::unlink(name.c_str());
    return FileHandle(named);
}

void show_capture(const FileHandle &capture, int target)
{
    std::array<char, 65536> buffer;
    off_t at = 0;
    for (;;) {
        const ssize_t got = ::pread(capture.fd, buffer.data(), buffer.size(), at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        at += got;
        // The tool's own writes would have failed the same way; nothing to report.
        for (ssize_t put = 0; put < got;) {
            const ssize_t written = ::write(target, buffer.data() + put, std::size_t(got - put));
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                return;
            put += written;
        }
    }
}

bool output_streams_shared()
{
    struct stat out {};
    struct stat err {};
    return ::fstat(STDOUT_FILENO, &out) == 0 && ::fstat(STDERR_FILENO, &err) == 0 && out.st_dev == err.st_dev &&
           out.st_ino == err.st_ino;
}

namespace {

constexpr std::array<int, 3> WATCHED_SIGNALS = {SIGINT, SIGTERM, SIGCHLD};

struct WatchState {
    bool active = false;
    sigset_t saved_mask{};
    sigset_t wait_mask{};
    std::array<struct sigaction, WATCHED_SIGNALS.size()> saved_actions{};
    std::array<bool, WATCHED_SIGNALS.size()> installed{};
};

WatchState watch;
volatile sig_atomic_t caught_interrupt = 0;

extern "C" void note_signal(int signal)
{
    if (signal != SIGCHLD)
        caught_interrupt = signal;
}

} // namespace

pid_t spawn_tool(const std::vector<std::string> &arguments, int out_fd, int err_fd, int &error)
{
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    if (out_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    if (err_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, err_fd, STDERR_FILENO);
    if (watch.active) {
        posix_spawnattr_setsigmask(&attributes, &watch.saved_mask);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    }
    pid_t child = -1;
    error = posix_spawn(&child, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? child : -1;
}

int tool_status(int wait_status)
{
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    return 128 + WTERMSIG(wait_status);
}

InterruptWatch::InterruptWatch()
{
    caught_interrupt = 0;
    sigset_t blocked;
    sigemptyset(&blocked);
    for (std::size_t i = 0; i < WATCHED_SIGNALS.size(); ++i) {
        const int signal = WATCHED_SIGNALS[i];
        sigaction(signal, nullptr, &watch.saved_actions[i]);
        // A signal ignored by whoever started us stays ignored, for us and our runs.
        if (signal != SIGCHLD && watch.saved_actions[i].sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = note_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = signal == SIGCHLD ? SA_NOCLDSTOP : 0;
        sigaction(signal, &action, nullptr);
        watch.installed[i] = true;
        sigaddset(&blocked, signal);
    }
    pthread_sigmask(SIG_BLOCK, &blocked, &watch.saved_mask);
    watch.wait_mask = watch.saved_mask;
    for (const int signal : WATCHED_SIGNALS)
        sigdelset(&watch.wait_mask, signal);
    watch.active = true;
}

InterruptWatch::~InterruptWatch()
{
    for (std::size_t i = 0; i < WATCHED_SIGNALS.size(); ++i) {
        if (watch.installed[i])
            sigaction(WATCHED_SIGNALS[i], &watch.saved_actions[i], nullptr);
        watch.installed[i] = false;
    }
    pthread_sigmask(SIG_SETMASK, &watch.saved_mask, nullptr);
    watch.active = false;
}

void wait_for_signal(int timeout_ms)
{
    const timespec timeout{timeout_ms / 1000, long(timeout_ms % 1000) * 1000000L};
    ::ppoll(nullptr, 0, &timeout, watch.active ? &watch.wait_mask : nullptr);
}

int interrupt_signal() { return caught_interrupt; }

void die_by_signal(int signal)
{
    std::fflush(stdout);
    std::fflush(stderr);
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    std::raise(signal);
    std::_Exit(128 + signal);
}
