// Reader of RDD files for the stand-in UML tool: splits every line into its
// code, its own fields and its origin pairs, and walks the XI/DT/XE/DS
// blocks with an explicit stack so that a block's end time is known when it
// closes. A malformed line is reported with its line number and skipped.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A merge takes at most this many files, numbered from 1.
constexpr uint32_t RDD_MAX_FILES = 1000;

// The (file number, line number) pair that names where a line came from.
struct RddOrigin {
    uint32_t file = 0;
    uint32_t line = 0;
};

// One line as read: views into the reader's buffer, valid during the callback.
// A two-letter line code as one number, so that code tests are one switch.
constexpr uint16_t rdd_code_id(char first, char second)
{
    return static_cast<uint16_t>(static_cast<unsigned char>(first) << 8 | static_cast<unsigned char>(second));
}
constexpr uint16_t rdd_code_id(std::string_view code)
{
    return code.size() == 2 ? rdd_code_id(code[0], code[1]) : 0;
}

struct RddLine {
    uint64_t number = 0;                    // 1-based line number in the RDD file
    std::string_view text;                  // the whole line, without its newline
    std::string_view code;
    uint16_t id = 0;                        // rdd_code_id of the code
    std::span<const std::string_view> fields; // own fields, quotes included, as written
    std::span<const RddOrigin> origins;
};

// A line scanned on its own, with room of its own for its fields and origin
// pairs (the walk keeps those of many lines in shared room instead).
struct RddOwnedLine {
    uint64_t number = 0;
    std::string_view text;
    std::string_view code;
    uint16_t id = 0;
    std::vector<std::string_view> fields;
    std::vector<RddOrigin> origins;

    RddLine view() const { return RddLine{number, text, code, id, fields, origins}; }
};

// What a report line is to the page.
enum class RddKind : uint8_t {
    header,
    cf,
    sy,
    block_open,
    block_close,
    scenario_open,
    scenario_close,
    event,
    rendezvous,
    other
};

// Merged verdict of a scenario, from its FS line's third field.
enum class RddVerdict : uint8_t { passed, inconclusive, failed, unknown };

struct RddDiagnostics {
    uint64_t count = 0;
    std::vector<std::string> first; // "line N: what", at most `kept` of them
    std::size_t kept = 50;
    void add(uint64_t line, const std::string &what);
};

// Field texts and numbers.
std::string rdd_field_text(std::string_view raw);          // outer quotes off, doubled quotes undoubled
// The same text without a copy when no quote is doubled in it; else
// undoubled into `room`, which the view then points into.
std::string_view rdd_field_view(std::string_view raw, std::string &room);
std::optional<uint32_t> rdd_number(std::string_view raw);  // a quoted decimal; "??" is 0; wraps like the engine
RddVerdict rdd_verdict(std::string_view raw_fs_field3);
const char *rdd_verdict_name(RddVerdict verdict);

RddKind rdd_kind(std::string_view code);
// Position of the time field of a line with this code as written (the engine
// drops the last two read fields of most kinds, never the time); 0 for none.
int rdd_time_field(std::string_view code);

// Scans one line into code and raw fields; false with `error` set when the
// code is missing or a field is not closed. Bytes up to `readable_end` (when
// given) may be read past the line, so that its quotes are found 64 bytes
// at a time without a copy.
bool rdd_scan_line(std::string_view text, RddOwnedLine &line, std::string &error, const char *readable_end = nullptr);
// Moves the trailing origin pairs of a scanned body line out of its fields.
// Lines the merge joins (XI YI DT YT XE FE DS FS) keep a fixed number of own
// fields and carry one or more pairs; every other line carries exactly one.
bool rdd_split_origins(RddOwnedLine &line, std::string &error);
// Whether lines with this code are joined ones, with a pair per file.
bool rdd_is_joined(std::string_view code);

// Where one file's part of a mark lies on the time axis.
struct RddSpan {
    uint32_t file = 0;
    uint32_t start = 0;
    uint32_t end = 0;
};

// A block or a point on the time axis, handed over when it is complete.
struct RddMark {
    enum Row { instance, scenario, event, rendezvous } row = instance;
    uint32_t start = 0;
    uint32_t end = 0;
    bool timed = true;                  // false: a block without any time in it
    RddVerdict verdict = RddVerdict::passed;
    uint64_t line = 0;                  // line number of its opening line
    std::string_view text;              // that line, origin pairs left out
    std::span<const RddOrigin> origins;
    const std::vector<RddSpan> *spans = nullptr; // one per file of `origins` that has a time
    // Scenarios only: DS fields 1, 2 and 4 as texts; the FS verdict as
    // written (quotes off; empty for a block never closed); DS field 5 and FS
    // field 2, the scenario's own start and end times.
    std::string_view name, title, key;
    std::string_view verdict_text;
    std::optional<uint32_t> own_start, own_end;
};

struct RddHeader {
    std::string version, plan, kind, stamp;
};

struct RddFile {
    std::string name, relative_dir, absolute_dir, size, crc;
    uint32_t number = 0;
};

// What an RE line of a file's head says: the test script the file comes from.
struct RddScript {
    std::string name, title, source;
    uint32_t file = 0; // file number of its origin pair
};

struct RddUnit {
    uint32_t ticks = 0;
    std::string label;
};

struct RddVisitor {
    std::function<void(const RddHeader &)> header;
    std::function<void(const RddFile &)> file;
    std::function<void(const RddUnit &)> unit;            // every SY line
    std::function<void(const RddScript &)> script;        // every RE line with its origin
    std::function<void(const RddOrigin &)> origin;        // every origin pair of every body line
    std::function<void(const RddMark &)> mark;
    // Every body line once its origin pairs are split off, with its time,
    // before the block it opens or closes is handled.
    std::function<void(const RddLine &, std::optional<uint32_t> time)> body;
    // Only scenario marks are wanted, and not where their files lie: no
    // spans are made, and events and rendezvous give no marks.
    bool scenarios_only = false;
};

// A file mapped into memory for reading, unmapped when it goes.
class RddMappedFile {
public:
    RddMappedFile() = default;
    RddMappedFile(const RddMappedFile &) = delete;
    RddMappedFile &operator=(const RddMappedFile &) = delete;
    ~RddMappedFile();
    std::string_view text() const { return text_; }
    // Gives the pages back; they are read again from the file if looked at.
    void release() const;

private:
    friend bool rdd_map(const std::string &path, RddMappedFile &file, std::string &error);
    std::string_view text_;
};
bool rdd_map(const std::string &path, RddMappedFile &file, std::string &error);

// Reads the RDD file at `path` from start to end, calling the visitor.
// False (with `error`) only when the file cannot be opened or read; damage
// inside it goes to `diagnostics`.
bool rdd_read(const std::string &path, const RddVisitor &visitor, RddDiagnostics &diagnostics, std::string &error);

// The same walk over a file already mapped, or over text in memory.
void rdd_read_mapped(const RddMappedFile &file, const RddVisitor &visitor, RddDiagnostics &diagnostics);
void rdd_read_text(std::string_view text, const RddVisitor &visitor, RddDiagnostics &diagnostics);
