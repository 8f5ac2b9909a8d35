#include "rodruns.h"

#include "extgest.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The engine reads a ROD file in pieces of at most this many bytes.
constexpr std::size_t ROD_PIECE = 5119;

std::optional<uint64_t> decimal(std::string_view text)
{
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

// The n-th quoted field (1-based) of a line as written; nullopt when missing.
std::optional<std::string_view> quoted_field(std::string_view line, int wanted)
{
    std::size_t at = 0;
    for (int field = 1;; ++field) {
        const std::size_t open = line.find('"', at);
        if (open == std::string_view::npos)
            return std::nullopt;
        std::size_t close = open + 1;
        for (; close < line.size(); ++close) {
            if (line[close] != '"')
                continue;
            if (close + 1 < line.size() && line[close + 1] == '"') {
                ++close;
                continue;
            }
            break;
        }
        if (close >= line.size())
            return std::nullopt;
        if (field == wanted)
            return line.substr(open, close - open + 1);
        at = close + 1;
    }
}

uint32_t name_hash(std::string_view name)
{
    uint32_t hash = 2166136261u; // FNV-1a
    for (const char c : name)
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    return hash;
}

void note_fs_line(RodRuns &runs, uint32_t number, std::string_view line)
{
    if (line.size() < 2 || line.substr(0, 2) != "FS")
        return;
    const std::optional<std::string_view> name = quoted_field(line, 1);
    const std::optional<std::string_view> verdict = quoted_field(line, 3);
    if (!name || !verdict)
        return;
    const RunVerdict run = run_verdict_of_field(rdd_field_text(*verdict));
    std::string text = rdd_field_text(*name);
    if (run == RunVerdict::passed)
        runs.passed.push_back(uint64_t{number} << 32 | name_hash(text));
    else
        runs.others.push_back(RodFsLine{number, run, std::move(text)});
}

// Numbers the lines as the engine does: pieces of at most ROD_PIECE bytes,
// each ending at its newline when one comes in time; the newline left over
// from a line cut exactly at the piece size is not a line of its own.
void index_fs_lines(std::string_view text, RodRuns &runs)
{
    std::size_t at = 0;
    uint32_t number = 0; // the header line is not numbered
    bool first = true, previous_was_cut = false;
    while (at < text.size()) {
        const std::size_t window = std::min(ROD_PIECE, text.size() - at);
        const void *newline = std::memchr(text.data() + at, '\n', window);
        const std::size_t length =
            newline ? static_cast<std::size_t>(static_cast<const char *>(newline) - (text.data() + at)) + 1 : window;
        const bool lone_newline = previous_was_cut && length == 1;
        const bool lone_crlf = previous_was_cut && length == 2 && text[at] == '\r';
        if (!lone_newline && !lone_crlf) {
            if (!first)
                note_fs_line(runs, ++number, text.substr(at, length));
            first = false;
        }
        previous_was_cut = newline == nullptr;
        at += length;
    }
}

// A CF line may name anything: a FIFO is opened without waiting for a
// writer and then refused, like every file that is not a regular one.
bool read_whole(const std::string &path, std::string &text, bool &missing)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        missing = errno == ENOENT || errno == ENOTDIR;
        return false;
    }
    struct stat status {};
    bool ok = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (ok) {
        text.resize(static_cast<std::size_t>(status.st_size));
        std::size_t done = 0;
        while (ok && done < text.size()) {
            const ssize_t got = ::read(fd, text.data() + done, text.size() - done);
            if (got < 0 && errno == EINTR)
                continue;
            ok = got > 0;
            done += got > 0 ? static_cast<std::size_t>(got) : 0;
        }
    }
    ::close(fd);
    missing = false;
    return ok;
}

std::string joined(const std::string &directory, const std::string &name)
{
    if (directory.empty())
        return name;
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}

} // namespace

const char *rod_state_name(RodState state)
{
    switch (state) {
    case RodState::ok: return "ok";
    case RodState::changed: return "changed";
    case RodState::unreadable: return "unreadable";
    case RodState::missing: break;
    }
    return "missing";
}

RunVerdict run_verdict_of_field(std::string_view text)
{
    if (text == "0")
        return RunVerdict::passed;
    if (text == "1")
        return RunVerdict::failed;
    if (text == "2")
        return RunVerdict::inconclusive;
    return RunVerdict::unknown;
}

RodRuns rod_runs_of_text(std::string_view text, uint64_t size, uint16_t crc)
{
    RodRuns runs;
    if (text.size() != size || crc16_kermit(reinterpret_cast<const unsigned char *>(text.data()), text.size()) != crc) {
        runs.state = RodState::changed;
        return runs;
    }
    runs.state = RodState::ok;
    index_fs_lines(text, runs);
    // Kept for every file of a merge of a thousand: no growth slack.
    runs.passed.shrink_to_fit();
    runs.others.shrink_to_fit();
    return runs;
}

RodRuns rod_runs_of(const RddFile &file, const std::string &rdd_directory)
{
    const std::optional<uint64_t> size = decimal(file.size);
    const std::optional<uint64_t> crc = decimal(file.crc);
    RodRuns runs;
    if (!size || !crc || *crc > 0xFFFF) {
        runs.state = RodState::changed;
        return runs;
    }
    std::vector<std::string> candidates{joined(joined(rdd_directory, file.relative_dir), file.name)};
    if (!file.absolute_dir.empty())
        candidates.push_back(joined(file.absolute_dir, file.name));
    std::string text;
    for (const std::string &path : candidates) {
        bool missing = true;
        if (read_whole(path, text, missing))
            return rod_runs_of_text(text, *size, static_cast<uint16_t>(*crc));
        if (!missing)
            runs.state = RodState::unreadable;
    }
    return runs;
}

RunVerdict rod_run_verdict(const RodRuns &runs, uint32_t line, std::string_view scenario)
{
    const uint64_t key = uint64_t{line} << 32 | name_hash(scenario);
    if (std::binary_search(runs.passed.begin(), runs.passed.end(), key))
        return RunVerdict::passed;
    const auto found = std::lower_bound(runs.others.begin(), runs.others.end(), line,
                                        [](const RodFsLine &entry, uint32_t wanted) { return entry.line < wanted; });
    if (found == runs.others.end() || found->line != line || found->name != scenario)
        return RunVerdict::not_known;
    return found->verdict;
}

RodChecks::~RodChecks()
{
    for (std::future<void> &thread : threads_)
        if (thread.valid())
            thread.wait();
}

void RodChecks::start(const std::vector<RddFile> &files, const std::string &rdd_directory)
{
    if (started_)
        return;
    started_ = true;
    checked_ = files;
    runs_.resize(files.size());
    const auto check = [this, rdd_directory](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            runs_[i] = rod_runs_of(checked_[i], rdd_directory);
    };
    // Two halves side by side: most of the time goes to reading and the CRC.
    const std::size_t half = files.size() / 2;
    threads_.push_back(std::async(std::launch::async, check, std::size_t(0), half));
    threads_.push_back(std::async(std::launch::async, check, half, files.size()));
}

bool RodChecks::ready() const
{
    return started_ && std::all_of(threads_.begin(), threads_.end(), [](const std::future<void> &thread) {
               return !thread.valid() || thread.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
           });
}

const std::vector<RodRuns> &RodChecks::wait(const std::vector<RddFile> &files, const std::string &rdd_directory)
{
    start(files, rdd_directory);
    for (std::future<void> &thread : threads_)
        if (thread.valid())
            thread.get();
    for (std::size_t i = runs_.size(); i < files.size(); ++i)
        runs_.push_back(rod_runs_of(files[i], rdd_directory));
    return runs_;
}
