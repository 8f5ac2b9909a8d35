#include "replfile.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool unnamed_files_used = true;

constexpr std::array<int, 4> ENDING_SIGNALS = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Names of the fallback files being written. The signal handler reads them,
// hence atomics over texts that the files' records own.
constexpr std::size_t PENDING_SLOTS = 16;
std::array<std::atomic<const char *>, PENDING_SLOTS> pending_names{};

// Guards the count of pending names and the handlers they need.
std::mutex registry_mutex;
std::size_t pending_count = 0;
std::array<struct sigaction, ENDING_SIGNALS.size()> previous_actions{};
std::array<bool, ENDING_SIGNALS.size()> handler_installed{};

void remove_pending_names()
{
    for (auto &slot : pending_names)
        if (const char *name = slot.load())
            ::unlink(name);
}

extern "C" void remove_pending_names_at_exit() { remove_pending_names(); }

// The signal is blocked while this runs: raised again, it is taken with its
// earlier action once the handler returns, and ends the process as it would have.
extern "C" void remove_pending_names_and_end(int signal)
{
    const int saved_errno = errno;
    remove_pending_names();
    for (std::size_t i = 0; i < ENDING_SIGNALS.size(); ++i)
        if (ENDING_SIGNALS[i] == signal)
            sigaction(signal, &previous_actions[i], nullptr);
    ::raise(signal);
    errno = saved_errno;
}

void install_handlers()
{
    static const bool exit_cleanup = std::atexit(remove_pending_names_at_exit) == 0;
    (void)exit_cleanup;
    for (std::size_t i = 0; i < ENDING_SIGNALS.size(); ++i) {
        sigaction(ENDING_SIGNALS[i], nullptr, &previous_actions[i]);
        // A signal ignored by whoever started us stays ignored.
        if (previous_actions[i].sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = remove_pending_names_and_end;
        sigemptyset(&action.sa_mask);
        sigaction(ENDING_SIGNALS[i], &action, nullptr);
        handler_installed[i] = true;
    }
}

void restore_handlers()
{
    for (std::size_t i = 0; i < ENDING_SIGNALS.size(); ++i) {
        if (handler_installed[i])
            sigaction(ENDING_SIGNALS[i], &previous_actions[i], nullptr);
        handler_installed[i] = false;
    }
}

bool register_pending(const char *name)
{
    const std::lock_guard lock(registry_mutex);
    for (auto &slot : pending_names) {
        const char *empty = nullptr;
        if (slot.compare_exchange_strong(empty, name)) {
            if (pending_count++ == 0)
                install_handlers();
            return true;
        }
    }
    return false;
}

void unregister_pending(const char *name)
{
    const std::lock_guard lock(registry_mutex);
    for (auto &slot : pending_names) {
        const char *held = name;
        if (slot.compare_exchange_strong(held, nullptr)) {
            if (--pending_count == 0)
                restore_handlers();
            return;
        }
    }
}

// Holds the ending signals back on this thread while a name and the file
// behind it must change together.
class SignalBlock {
public:
    SignalBlock()
    {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (const int signal : ENDING_SIGNALS)
            sigaddset(&blocked, signal);
        pthread_sigmask(SIG_BLOCK, &blocked, &saved_);
    }
    ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SignalBlock(const SignalBlock &) = delete;
    SignalBlock &operator=(const SignalBlock &) = delete;

private:
    sigset_t saved_;
};

std::string directory_of(const std::string &target)
{
    const std::size_t slash = target.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : target.substr(0, slash);
}

// TARGET.XXXXXX with six letters or digits that change at every call.
std::string temporary_name(const std::string &target)
{
    static constexpr char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::atomic<uint64_t> counter{0};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t state = (uint64_t(now.tv_nsec) << 20) ^ uint64_t(now.tv_sec) ^ (uint64_t(::getpid()) << 40) ^
                     (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    std::string name = target + ".XXXXXX";
    for (std::size_t at = name.size() - 6; at < name.size(); ++at) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        name[at] = LETTERS[(state >> 33) % (sizeof LETTERS - 1)];
    }
    return name;
}

constexpr int NAME_TRIES = 100;

std::string failure() { return std::strerror(errno); }

bool open_named(ReplacingFile &file, std::string &error)
{
    const SignalBlock block;
    for (int tries = 0; tries < NAME_TRIES; ++tries) {
        std::string name = temporary_name(file.target);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0) {
            error = failure();
            return false;
        }
        file.fd = fd;
        file.temp_name = std::move(name);
        if (!register_pending(file.temp_name.c_str())) {
            errno = EMFILE;
            error = failure();
            replacing_abandon(file);
            return false;
        }
        return true;
    }
    errno = EEXIST;
    error = failure();
    return false;
}

std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Opens an unnamed file in the target's directory; -1 with errno when the
// file system has none (the caller then names one) or another failure.
int open_unnamed(const std::string &target)
{
    const int fd = ::open(directory_of(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    // Naming it later goes through /proc.
    if (fd >= 0 && ::access(descriptor_path(fd).c_str(), F_OK) != 0) {
        ::close(fd);
        errno = EOPNOTSUPP;
        return -1;
    }
    return fd;
}

bool has_no_unnamed_files(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

// Gives the unnamed file the target's name. An earlier target is replaced
// in one rename, so the file is linked beside it for that moment.
bool name_unnamed(ReplacingFile &file, std::string &error)
{
    const std::string self = descriptor_path(file.fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, file.target.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    if (errno != EEXIST) {
        error = failure();
        return false;
    }
    for (int tries = 0; tries < NAME_TRIES; ++tries) {
        const std::string name = temporary_name(file.target);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            if (errno == EEXIST)
                continue;
            break;
        }
        if (::rename(name.c_str(), file.target.c_str()) == 0)
            return true;
        error = failure();
        ::unlink(name.c_str());
        return false;
    }
    error = failure();
    return false;
}

} // namespace

ReplacingFile::~ReplacingFile()
{
    if (fd >= 0 || !temp_name.empty())
        replacing_abandon(*this);
}

bool replacing_open(ReplacingFile &file, const std::string &target, std::string &error)
{
    replacing_abandon(file);
    file.target = target;
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        file.direct = true;
        file.fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (file.fd < 0)
            error = failure();
        return file.fd >= 0;
    }
    if (unnamed_files_used) {
        file.fd = open_unnamed(target);
        if (file.fd < 0 && !has_no_unnamed_files(errno)) {
            error = failure();
            return false;
        }
    }
    if (file.fd < 0 && !open_named(file, error))
        return false;
    // A report written again keeps the permissions given to the earlier one.
    if (exists && ::fchmod(file.fd, existing.st_mode & 07777) != 0) {
        error = failure();
        replacing_abandon(file);
        return false;
    }
    return true;
}

bool replacing_commit(ReplacingFile &file, std::string &error)
{
    if (file.fd < 0) {
        errno = EBADF;
        error = failure();
        return false;
    }
    if (file.direct) {
        const bool closed = ::close(file.fd) == 0;
        if (!closed)
            error = failure();
        file.fd = -1;
        file.direct = false;
        return closed;
    }
    // Durable before it replaces the target; file systems without fsync pass.
    if (::fsync(file.fd) != 0 && errno != EINVAL && errno != ENOTSUP) {
        error = failure();
        replacing_abandon(file);
        return false;
    }
    const SignalBlock block;
    if (file.temp_name.empty()) {
        const bool named = name_unnamed(file, error);
        replacing_abandon(file);
        return named;
    }
    if (::close(file.fd) != 0) {
        file.fd = -1;
        error = failure();
        replacing_abandon(file);
        return false;
    }
    file.fd = -1;
    if (::rename(file.temp_name.c_str(), file.target.c_str()) != 0) {
        error = failure();
        replacing_abandon(file);
        return false;
    }
    unregister_pending(file.temp_name.c_str());
    file.temp_name.clear();
    return true;
}

void replacing_abandon(ReplacingFile &file)
{
    if (file.fd >= 0)
        ::close(file.fd);
    file.fd = -1;
    file.direct = false;
    if (!file.temp_name.empty()) {
        const SignalBlock block;
        ::unlink(file.temp_name.c_str());
        unregister_pending(file.temp_name.c_str());
        file.temp_name.clear();
    }
}

bool write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            return false;
        }
        bytes.remove_prefix(std::size_t(written));
    }
    return true;
}

void replacing_use_unnamed_files(bool use) { unnamed_files_used = use; }
