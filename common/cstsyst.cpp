#include "cstsyst.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QString>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>
#include <utility>

namespace {

ExitHook exit_hook = nullptr;
ExitPreparation exit_preparation = nullptr;
// Set before the threads whose calls count are started.
std::atomic<long> allocations_left{-1};
FailingThreads failing_threads = FailingThreads::ANY;
std::thread::id hook_thread;
ResourceTracker tracker;
thread_local DeferredOutput *deferred = nullptr;

bool counts_for_failure()
{
    if (failing_threads == FailingThreads::ANY)
        return true;
    return (std::this_thread::get_id() == hook_thread) == (failing_threads == FailingThreads::THIS_ONE);
}

bool allocation_allowed()
{
    long left = allocations_left.load(std::memory_order_relaxed);
    if (left < 0 || !counts_for_failure())
        return true;
    for (;;) {
        if (left < 0)
            return true;
        if (left == 0)
            return false;
        if (allocations_left.compare_exchange_weak(left, left - 1))
            return true;
    }
}

void track_allocated(void *block)
{
    if (tracker.allocated)
        tracker.allocated(block);
}

void track_released(void *block)
{
    if (tracker.released && block)
        tracker.released(block);
}

constexpr const char *kMallocText =
    QT_TRANSLATE_NOOP("Fatal error", "FATAL ERROR on malloc,\n Please contact your administrative.\n");
constexpr const char *kStrdupText =
    QT_TRANSLATE_NOOP("Fatal error", "FATAL ERROR on strdup,\n Please contact your administrative.\n");
constexpr const char *kReallocText =
    QT_TRANSLATE_NOOP("Fatal error", "FATAL ERROR on realloc,\n Please contact your administrative.\n");
constexpr const char *kFcloseText =
    QT_TRANSLATE_NOOP("Fatal error", "FATAL ERROR on fclose,\n Please contact your administrative.\n");

void write_stderr(const QString &text) { write_error_output(text.toLocal8Bit().constData()); }

} // namespace

DeferredOutput *defer_output(DeferredOutput *output) { return std::exchange(deferred, output); }

void give_deferred_output(const DeferredOutput &output)
{
    if (!output.text.empty())
        write_error_output(output.text.c_str());
    if (output.exit_status >= 0)
        process_exit(output.exit_status);
}

void write_error_output(const char *bytes)
{
    if (deferred) {
        deferred->text += bytes;
        return;
    }
    std::fputs(bytes, stderr);
    std::fflush(stderr);
}

ExitPreparation set_exit_preparation(ExitPreparation preparation)
{
    return std::exchange(exit_preparation, preparation);
}

void set_exit_hook(ExitHook hook) { exit_hook = hook; }

void process_exit(int status)
{
    if (DeferredOutput *output = deferred) {
        output->exit_status = status;
        if (output->at_exit)
            output->at_exit(output->context);
        throw DeferredExit{};
    }
    if (exit_preparation)
        exit_preparation();
    std::fflush(stderr);
    std::fflush(stdout);
    if (exit_hook)
        exit_hook(status);
    std::exit(status);
}

void fatal_service_text(const char *untranslated_text)
{
    write_stderr(QCoreApplication::translate("Fatal error", untranslated_text));
    process_exit(7);
}

void set_allocation_failure_after(long successes, FailingThreads threads)
{
    failing_threads = threads;
    hook_thread = std::this_thread::get_id();
    allocations_left = successes;
}

void set_resource_tracker(ResourceTracker new_tracker) { tracker = new_tracker; }

bool resource_tracking_active()
{
    return tracker.allocated || tracker.released || tracker.opened || tracker.closed;
}

bool allocation_hooks_active() { return allocations_left.load() >= 0 || resource_tracking_active(); }

void fatal_out_of_memory() { fatal_service_text(kMallocText); }

void install_out_of_memory_handler() { std::set_new_handler(fatal_out_of_memory); }

void *xmalloc(std::size_t size)
{
    void *block = allocation_allowed() ? std::malloc(size ? size : 1) : nullptr;
    if (!block)
        fatal_service_text(kMallocText);
    track_allocated(block);
    return block;
}

void *xmalloc_reserve(std::size_t size)
{
    void *block = allocation_allowed() ? std::malloc(size ? size : 1) : nullptr;
    if (!block)
        fatal_service_text(kMallocText);
    return block;
}

void *xcalloc_reserve(std::size_t size)
{
    void *block = allocation_allowed() ? std::calloc(1, size ? size : 1) : nullptr;
    if (!block)
        fatal_service_text(kMallocText);
    return block;
}

char *xstrdup(const char *text)
{
    if (!text)
        return nullptr;
    char *copy = allocation_allowed() ? strdup(text) : nullptr;
    if (!copy)
        fatal_service_text(kStrdupText);
    track_allocated(copy);
    return copy;
}

void *xrealloc(void *block, std::size_t size)
{
    // The tracker lets go of the old block before realloc may free it, and
    // takes it back when a failed realloc leaves it held.
    track_released(block);
    void *resized = allocation_allowed() ? std::realloc(block, size ? size : 1) : nullptr;
    if (!resized) {
        if (block)
            track_allocated(block);
        fatal_service_text(kReallocText);
    }
    track_allocated(resized);
    return resized;
}

void xfree(void *block)
{
    track_released(block);
    std::free(block);
}

bool xfopen(const char *name, const char *mode, FILE **out)
{
    *out = std::fopen(name, mode);
    if (*out && tracker.opened)
        tracker.opened(*out);
    return *out != nullptr;
}

void xfclose(FILE *stream)
{
    if (tracker.closed)
        tracker.closed(stream);
    if (std::fclose(stream) == -1)
        fatal_service_text(kFcloseText);
}

std::string xsprintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string out;
    if (needed >= 0) {
        out.resize(static_cast<std::size_t>(needed));
        std::vsnprintf(out.data(), out.size() + 1, format, again);
    }
    va_end(again);
    if (needed < 0) {
        QString text = QCoreApplication::translate(
            "Fatal error", "FATAL ERROR on sprintf (%1),\n Please contact your administrative.\n",
            "%1 : the sprintf format");
        write_stderr(text.replace(QLatin1String("%1"), QString::fromLocal8Bit(format)));
        process_exit(7);
    }
    return out;
}

std::string format_time_text(const struct tm &t)
{
    static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const int wday = (t.tm_wday >= 0 && t.tm_wday < 7) ? t.tm_wday : 0;
    const int mon = (t.tm_mon >= 0 && t.tm_mon < 12) ? t.tm_mon : 0;
    std::string text = xsprintf("%s %s %02d %02d:%02d:%02d %4d%s", days[wday], months[mon], t.tm_mday,
                                t.tm_hour, t.tm_min, t.tm_sec, 1900 + t.tm_year, "\n");
    text.pop_back();
    return text;
}

const char *current_time_text()
{
    static std::string text;
    const std::time_t now = std::time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    text = format_time_text(local);
    return text.c_str();
}

std::string getenv_copy(const char *name)
{
    const char *value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

void file_basename(const char *path, std::string &buffer)
{
    if (!path || !*path)
        return;
    buffer = QFileInfo(QString::fromLocal8Bit(path)).fileName().toLocal8Bit().toStdString();
}

void file_dirname(const char *path, std::string &buffer)
{
    buffer.clear();
    if (!path || !*path)
        return;
    buffer = QFileInfo(QString::fromLocal8Bit(path)).path().toLocal8Bit().toStdString();
}
