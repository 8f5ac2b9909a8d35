#include "rddread.h"

#include "rodbase.h"

#include <algorithm>
#include <array>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// A merged DS line of a thousand files is some tens of kilobytes; anything
// far beyond that is damage, and holding it whole would only cost memory.
constexpr std::size_t MAX_LINE_BYTES = std::size_t(16) << 20;

constexpr uint16_t code_id(char first, char second) { return rdd_code_id(first, second); }
constexpr uint16_t code_id(std::string_view code) { return rdd_code_id(code); }

// Up to eight digits as one number, from one 8-byte load at `digits` (the
// eight bytes must be readable): the digits shifted to the top bytes read
// as a number of eight digits with leading zeros. False when one of them is
// no digit.
bool eight_digits(const char *digits, std::size_t count, uint64_t &value)
{
    uint64_t word;
    std::memcpy(&word, digits, sizeof word);
    const unsigned below = 8 * static_cast<unsigned>(8 - count);
    const uint64_t x = (word << below) ^ (0x3030303030303030 & (~uint64_t{0} << below));
    // A byte above 9 sets its top bit, itself or with 0x76 added; carries
    // only leave bytes that already failed.
    if (((x | (x + 0x7676767676767676)) & 0x8080808080808080) != 0)
        return false;
    uint64_t v = (x * 2561) >> 8;
    v = ((v & 0x00FF00FF00FF00FF) * 6553601) >> 16;
    value = ((v & 0x0000FFFF0000FFFF) * 42949672960001) >> 32;
    return true;
}

// rdd_number without the optional, for the scan's loops: it parses every
// origin pair and time, and an optional coming back through memory costs
// more than the parse. Bytes up to `readable_end` (when given) may be read
// past the field, so that a short number is taken in one load.
bool read_number(std::string_view raw, uint32_t &number, const char *readable_end = nullptr)
{
    const std::size_t size = raw.size();
    if (size < 3 || raw[0] != '"' || raw[size - 1] != '"')
        return false;
    const char *digit = raw.data() + 1;
    const char *const end = raw.data() + size - 1;
    if (end - digit == 2 && digit[0] == '?' && digit[1] == '?') {
        number = 0;
        return true;
    }
    const bool negative = *digit == '-';
    digit += negative;
    if (digit == end || end - digit > 18)
        return false;
    uint64_t value = 0;
    const auto count = static_cast<std::size_t>(end - digit);
    // The word's first byte must be its lowest for the digits to combine.
    if (std::endian::native == std::endian::little && count <= 8 && readable_end && readable_end - digit >= 8) {
        if (!eight_digits(digit, count, value))
            return false;
    } else {
        for (; digit < end; ++digit) {
            const unsigned d = static_cast<unsigned char>(*digit) - '0';
            if (d > 9)
                return false;
            value = value * 10 + d;
        }
    }
    // The engine keeps times as 32-bit values and compares them unsigned.
    number = static_cast<uint32_t>(negative ? 0 - value : value);
    return true;
}

// Own fields of the lines that the merge joins, as the writer leaves them;
// -1 for the other codes.
constexpr int joined_own_fields_of(uint16_t id)
{
    switch (id) {
    case code_id('X', 'I'):
    case code_id('D', 'T'):
    case code_id('X', 'E'): return 1;
    case code_id('Y', 'I'):
    case code_id('Y', 'T'):
    case code_id('F', 'E'): return 0;
    case code_id('D', 'S'): return 5;
    case code_id('F', 'S'): return 3;
    default: return -1;
    }
}

constexpr RddKind kind_of(uint16_t id)
{
    switch (id) {
    case code_id('C', 'F'): return RddKind::cf;
    case code_id('S', 'Y'): return RddKind::sy;
    case code_id('X', 'I'):
    case code_id('D', 'T'):
    case code_id('X', 'E'): return RddKind::block_open;
    case code_id('Y', 'I'):
    case code_id('Y', 'T'):
    case code_id('F', 'E'): return RddKind::block_close;
    case code_id('D', 'S'): return RddKind::scenario_open;
    case code_id('F', 'S'): return RddKind::scenario_close;
    case code_id('E', 'V'): return RddKind::event;
    case code_id('R', 'D'): return RddKind::rendezvous;
    default: return RddKind::other;
    }
}

constexpr int time_field_of(uint16_t id)
{
    switch (id) {
    case code_id('X', 'I'):
    case code_id('D', 'T'):
    case code_id('X', 'E'): return 1;
    case code_id('D', 'P'):
    case code_id('F', 'S'):
    case code_id('F', 'T'):
    case code_id('T', 'N'):
    case code_id('T', 'F'):
    case code_id('F', 'B'): return 2;
    case code_id('D', 'S'):
    case code_id('D', 'A'):
    case code_id('D', 'W'):
    case code_id('E', 'V'):
    case code_id('R', 'D'):
    case code_id('F', 'W'):
    case code_id('I', 'D'): return 5;
    case code_id('S', 'N'): return 6;
    case code_id('I', 'C'): return 7;
    default: return 0;
    }
}

// What the scan asks of every line's code, for each code of two capital
// letters (every code above is one): a load from a small table instead of
// three searches through case lists, whose branches the mix of codes in a
// report keeps mispredicting.
struct CodeTraits {
    int8_t joined_own_fields = -1;
    uint8_t time_field = 0;
    RddKind kind = RddKind::other;
};

constexpr int CAPITALS = 26;

constexpr std::array<CodeTraits, CAPITALS * CAPITALS> CODE_TRAITS = [] {
    std::array<CodeTraits, CAPITALS * CAPITALS> table{};
    for (int first = 0; first < CAPITALS; ++first)
        for (int second = 0; second < CAPITALS; ++second) {
            const uint16_t id = code_id(static_cast<char>('A' + first), static_cast<char>('A' + second));
            table[static_cast<std::size_t>(first * CAPITALS + second)] =
                CodeTraits{static_cast<int8_t>(joined_own_fields_of(id)), static_cast<uint8_t>(time_field_of(id)),
                           kind_of(id)};
        }
    return table;
}();

CodeTraits code_traits(std::string_view code)
{
    const uint16_t id = code_id(code);
    const unsigned first = (id >> 8) - unsigned{'A'};
    const unsigned second = (id & 0xFF) - unsigned{'A'};
    if (first >= CAPITALS || second >= CAPITALS)
        return {};
    return CODE_TRAITS[first * CAPITALS + second];
}

int joined_own_fields(std::string_view code) { return code_traits(code).joined_own_fields; }

// The code that opens the block a closing code ends, or empty.
std::string_view opening_of(std::string_view code)
{
    switch (code_id(code)) {
    case code_id('Y', 'I'): return "XI";
    case code_id('Y', 'T'): return "DT";
    case code_id('F', 'E'): return "XE";
    case code_id('F', 'S'): return "DS";
    default: return {};
    }
}

std::string line_label(std::string_view code) { return std::string(code) + " line"; }

struct Range {
    uint32_t first = 0;
    uint32_t last = 0;

    void extend(uint32_t from, uint32_t to)
    {
        first = std::min(first, from);
        last = std::max(last, to);
    }
};

// An open block on the walker's stack; owns copies of what its mark needs.
// Merged files keep their own clocks' offsets, so the times inside a block
// are kept per file: each file's lane shows where that file's lines are.
struct Frame {
    std::string code;
    uint64_t line = 0;
    std::optional<uint32_t> start;
    // By ascending file number while few files have lines in the block. A
    // block's lines come file by file, mostly in ascending order, so the last
    // entry is nearly always the one seen; a block of many files (an instance
    // of a large merge) takes its lines in time order, every line another
    // file, and is kept in a table by file number instead.
    std::vector<std::pair<uint32_t, Range>> inner;
    std::vector<Range> by_file;
    std::string text;
    std::vector<RddOrigin> origins;
    std::string name, title, key, verdict_text;

    static constexpr std::size_t TABLE_FROM = 256;
    static constexpr Range NO_RANGE{UINT32_MAX, 0};

    void see(uint32_t file, uint32_t from, uint32_t to)
    {
        if (!by_file.empty()) {
            by_file[file].extend(from, to);
            return;
        }
        if (!inner.empty() && inner.back().first == file) {
            inner.back().second.extend(from, to);
            return;
        }
        const auto at = std::lower_bound(inner.begin(), inner.end(), file,
                                         [](const auto &entry, uint32_t wanted) { return entry.first < wanted; });
        if (at != inner.end() && at->first == file) {
            at->second.extend(from, to);
            return;
        }
        inner.insert(at, {file, Range{from, to}});
        if (inner.size() > TABLE_FROM)
            make_table();
    }

    const Range *range_of(uint32_t file) const
    {
        if (!by_file.empty()) {
            const Range &range = by_file[file];
            return range.first <= range.last ? &range : nullptr;
        }
        const auto at = std::lower_bound(inner.begin(), inner.end(), file,
                                         [](const auto &entry, uint32_t wanted) { return entry.first < wanted; });
        return at != inner.end() && at->first == file ? &at->second : nullptr;
    }

private:
    void make_table()
    {
        by_file.assign(RDD_MAX_FILES + 1, NO_RANGE);
        for (const auto &[file, range] : inner)
            by_file[file] = range;
        std::vector<std::pair<uint32_t, Range>>().swap(inner);
    }
};

// Where each file of a closed block lies. The merged start belongs to the
// file whose lines come first; the FS end time is not moved when times are
// aligned, so it only counts for that file, and only when it is not earlier.
std::vector<RddSpan> block_spans(const Frame &frame, std::optional<uint32_t> end)
{
    std::vector<uint32_t> files;
    for (const RddOrigin &origin : frame.origins)
        files.push_back(origin.file);
    std::sort(files.begin(), files.end());
    files.erase(std::unique(files.begin(), files.end()), files.end());
    std::optional<uint32_t> owner;
    const Range *owner_range = nullptr;
    for (const uint32_t file : files) {
        const Range *found = frame.range_of(file);
        if (found && (!owner_range || found->first < owner_range->first)) {
            owner = file;
            owner_range = found;
        }
    }
    std::vector<RddSpan> spans;
    for (const uint32_t file : files) {
        const Range *found = frame.range_of(file);
        Range range;
        if (found)
            range = *found;
        else if (frame.start)
            range = Range{*frame.start, *frame.start};
        else
            continue;
        if ((!owner || file == *owner) && frame.start) {
            range.extend(*frame.start, *frame.start);
            if (end && *end >= *frame.start)
                range.extend(*end, *end);
        }
        spans.push_back(RddSpan{file, range.first, range.last});
    }
    return spans;
}

// The line's code; false (with `error`) when it has none.
bool scan_code(std::string_view text, std::string_view &code, std::string &error)
{
    const long size = code_length(text);
    if (size < 2) {
        error = "no line code";
        code = {};
        return false;
    }
    code = text.substr(0, static_cast<std::size_t>(size));
    return true;
}

// Appends the fields of a line to `fields` (each as written, quotes
// included; a doubled quote stays inside its field); false with `error`
// when one is left open. `quotes`, when given, are the quote bits of a line
// of at most 64 bytes, found with its end; else they are searched here.
bool scan_fields(std::string_view text, const char *readable_end, const uint64_t *quotes,
                 std::vector<std::string_view> &fields, std::string &error)
{
    const std::size_t first = fields.size();
    bool closed = true;
    if (quotes) {
        closed = fields_of_quotes(text, *quotes & ~uint64_t{3},
                                  [&fields](int, std::string_view field) { fields.push_back(field); }) >= 0;
    } else {
        FieldCursor cursor(text, readable_end);
        std::string_view field;
        while (cursor.next(field))
            fields.push_back(field);
        closed = !cursor.damaged();
    }
    if (!closed)
        error = "field " + std::to_string(fields.size() - first + 1) + " is not closed";
    return closed;
}

// Moves the trailing origin pairs of a body line's fields (those from
// `first` on) to `origins`. Lines the merge joins keep a fixed number of own
// fields and carry one or more pairs; every other line carries exactly one.
// On damage nothing is added to `origins`.
bool split_origins(std::string_view code, std::vector<std::string_view> &fields, std::size_t first,
                   std::vector<RddOrigin> &origins, std::string &error, const char *readable_end = nullptr)
{
    const std::size_t total = fields.size() - first;
    const int joined = joined_own_fields(code);
    std::size_t own = 0;
    if (joined >= 0) {
        own = static_cast<std::size_t>(joined);
        if (total < own + 2 || (total - own) % 2 != 0) {
            error = line_label(code) + " has " + std::to_string(total) + " fields; expected " + std::to_string(own) +
                    " and origin pairs";
            return false;
        }
    } else {
        if (total < 2) {
            error = line_label(code) + " without its origin pair";
            return false;
        }
        own = total - 2;
    }
    const std::size_t origins_before = origins.size();
    for (std::size_t i = own; i < total; i += 2) {
        uint32_t file = 0;
        uint32_t number = 0;
        if (!read_number(fields[first + i], file, readable_end) ||
            !read_number(fields[first + i + 1], number, readable_end)) {
            error = line_label(code) + ": origin pair at field " + std::to_string(i + 1) + " is not two numbers";
            origins.resize(origins_before);
            return false;
        }
        if (file < 1 || file > RDD_MAX_FILES) {
            error = line_label(code) + ": origin pair at field " + std::to_string(i + 1) + " names file " +
                    std::to_string(file) + "; files are numbered 1 to " + std::to_string(RDD_MAX_FILES);
            origins.resize(origins_before);
            return false;
        }
        origins.push_back(RddOrigin{file, number});
    }
    fields.resize(first + own);
    return true;
}

// Cuts text into numbered lines. A line within the 64 bytes from its start
// is found with its quotes in one pass over them.
struct LineCutter {
    std::string_view rest;
    uint64_t number = 0;
    bool marks = byte_marks_available();

    // `quotes` points at the line's quote bits when they came with its end,
    // else it is null: a plain word, not an optional, so that the scan
    // reads back what was just written without a store-forwarding stall.
    bool next(std::string_view &line, uint64_t &quote_bits, const uint64_t *&quotes)
    {
        if (rest.empty())
            return false;
        ++number;
        quotes = nullptr;
        if (marks && rest.size() >= 64) {
            const ByteMarks found = byte_marks(rest.data());
            if (found.newlines != 0) {
                const auto size = static_cast<std::size_t>(std::countr_zero(found.newlines));
                line = rest.substr(0, size);
                quote_bits = found.quotes & low_bits(size);
                quotes = &quote_bits;
                rest.remove_prefix(size + 1);
                return true;
            }
        }
        const std::size_t newline = rest.find('\n');
        line = rest.substr(0, newline);
        rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
        return true;
    }
    const char *end() const { return rest.data() + rest.size(); }
};

// Where a field lies in its line.
struct FieldAt {
    uint32_t offset = 0;
    uint32_t size = 0;
};

// A scanned line of a batch, kept small: the walker reads what the scanner
// wrote on the other core, so every byte of it crosses between them. Its
// number follows from its place in the batch; its fields and origin pairs
// lie in the batch's shared room, in line order, so that the walker reads
// a batch front to back.
struct BatchLine {
    const char *text = nullptr; // the line without its CR
    uint32_t size = 0;
    uint32_t code_size = 0;
    uint32_t time = 0;
    uint32_t field_count = 0, origin_count = 0;
    // Into the batch's problems: why the line is damaged, or why a line
    // whose kind has a time has none.
    static constexpr uint32_t NO_PROBLEM = UINT32_MAX;
    uint32_t problem = NO_PROBLEM;
    uint16_t id = 0;
    enum State : uint8_t { ok, damaged, too_long } state = ok;
    RddKind kind = RddKind::other;
    bool timed = false;
};

// A joined line of a large merge has two fields per file merged; a batch
// that once held many such lines would otherwise keep their room for good.
constexpr std::size_t KEPT_FIELDS_PER_LINE = 16;

// How many lines ahead the walker asks for a batch's lines.
constexpr std::size_t PREFETCH_LINES = 8;

template <typename T> void prefetch_in(const std::vector<T> &items, std::size_t at)
{
    if (at < items.size())
        __builtin_prefetch(&items[at]);
}

// A slot of the scanner's ring, on cache lines of its own: the scanner
// writes one slot while the walker reads another, on the other core.
struct alignas(64) Batch {
    uint64_t first_number = 0;
    std::vector<BatchLine> lines;
    std::vector<FieldAt> fields;
    std::vector<RddOrigin> origins;
    std::vector<std::string> problems;
    std::vector<std::string_view> scratch; // the fields of the line being scanned

    void clear(std::size_t line_room)
    {
        if (fields.capacity() > KEPT_FIELDS_PER_LINE * line_room)
            std::vector<FieldAt>().swap(fields);
        if (origins.capacity() > KEPT_FIELDS_PER_LINE * line_room)
            std::vector<RddOrigin>().swap(origins);
        if (scratch.capacity() > KEPT_FIELDS_PER_LINE)
            std::vector<std::string_view>().swap(scratch);
        lines.clear();
        fields.clear();
        origins.clear();
        problems.clear();
    }

    void add_problem(BatchLine &line, std::string text)
    {
        line.problem = static_cast<uint32_t>(problems.size());
        problems.push_back(std::move(text));
    }

    // The time of a line whose kind has one, from its own fields.
    void scan_time(BatchLine &line, std::string_view code, const char *readable_end)
    {
        const int position = rdd_time_field(code);
        if (position == 0)
            return;
        if (static_cast<std::size_t>(position) > scratch.size()) {
            add_problem(line, line_label(code) + " without its time field " + std::to_string(position));
            return;
        }
        line.timed = read_number(scratch[static_cast<std::size_t>(position) - 1], line.time, readable_end);
        if (!line.timed)
            add_problem(line, line_label(code) + ": time field " + std::to_string(position) + " is not a number");
    }

    // Scans the next line into code, fields and origin pairs, and its time.
    // `readable_end`: the end of the text the line was cut from.
    void scan(std::string_view text, const char *readable_end, const uint64_t *quotes)
    {
        const bool header = first_number + lines.size() == 1;
        BatchLine &line = lines.emplace_back();
        if (text.size() > MAX_LINE_BYTES) {
            line.state = BatchLine::too_long;
            return;
        }
        if (!text.empty() && text.back() == '\r')
            text.remove_suffix(1);
        line.text = text.data();
        line.size = static_cast<uint32_t>(text.size());
        std::string error;
        std::string_view code;
        scratch.clear();
        const std::size_t origins_before = origins.size();
        if (!scan_code(text, code, error) ||
            !scan_fields(text, readable_end, quotes, scratch, error) ||
            (!header && code_id(code) != code_id('C', 'F') && !split_origins(code, scratch, 0, origins, error, readable_end))) {
            line.state = BatchLine::damaged;
            add_problem(line, std::move(error));
            return;
        }
        line.code_size = static_cast<uint32_t>(code.size());
        line.id = code_id(code);
        line.kind = rdd_kind(code);
        for (const std::string_view field : scratch)
            fields.push_back(
                FieldAt{static_cast<uint32_t>(field.data() - text.data()), static_cast<uint32_t>(field.size())});
        line.field_count = static_cast<uint32_t>(scratch.size());
        line.origin_count = static_cast<uint32_t>(origins.size() - origins_before);
        if (!header)
            scan_time(line, code, readable_end);
    }

    // Cuts and scans up to `count` lines; false when the text ended first.
    bool fill(LineCutter &cutter, std::size_t count)
    {
        clear(count);
        first_number = cutter.number + 1;
        std::string_view text;
        uint64_t quote_bits = 0;
        const uint64_t *quotes = nullptr;
        while (lines.size() < count) {
            if (!cutter.next(text, quote_bits, quotes))
                return false;
            scan(text, cutter.end(), quotes);
        }
        return true;
    }
};

// Turns lines into visitor calls; one instance per read.
class Walker {
public:
    Walker(const RddVisitor &visitor, RddDiagnostics &diagnostics) : visitor_(visitor), diagnostics_(diagnostics) {}

    // Takes a line of a batch; it is read in place, and must stay until the
    // next line is taken. `time_problem`: why a line whose kind has a time
    // has none, or null.
    void take(const RddLine &line, RddKind kind, std::optional<uint32_t> time, const std::string *time_problem)
    {
        line_ = &line;
        time_ = time;
        time_problem_ = time_problem;
        if (line.number == 1) {
            header();
            return;
        }
        if (kind == RddKind::cf) {
            file();
            return;
        }
        if (visitor_.origin)
            for (const RddOrigin &origin : line.origins)
                visitor_.origin(origin);
        if (visitor_.script && line.id == code_id('R', 'E'))
            script();
        body_line(kind);
    }

    void take_batch(const Batch &batch)
    {
        std::size_t field = 0, origin = 0;
        uint64_t number = batch.first_number;
        for (std::size_t at = 0; at < batch.lines.size(); ++at) {
            // The scanner wrote the batch on the other core: ask for what
            // comes some lines later while this one is walked.
            prefetch_in(batch.lines, at + PREFETCH_LINES);
            prefetch_in(batch.fields, field + 4 * PREFETCH_LINES);
            prefetch_in(batch.origins, origin + PREFETCH_LINES);
            const BatchLine &scanned = batch.lines[at];
            const uint64_t line_number = number++;
            switch (scanned.state) {
            case BatchLine::too_long: too_long(line_number); continue;
            case BatchLine::damaged: diagnostics_.add(line_number, batch.problems[scanned.problem]); continue;
            case BatchLine::ok: break;
            }
            fields_.clear();
            for (const std::size_t end = field + scanned.field_count; field != end; ++field)
                fields_.emplace_back(scanned.text + batch.fields[field].offset, batch.fields[field].size);
            const RddLine line{line_number,
                               {scanned.text, scanned.size},
                               {scanned.text, scanned.code_size},
                               scanned.id,
                               fields_,
                               {batch.origins.data() + origin, scanned.origin_count}};
            origin += scanned.origin_count;
            take(line, scanned.kind, scanned.timed ? std::optional<uint32_t>(scanned.time) : std::nullopt,
                 scanned.problem == BatchLine::NO_PROBLEM ? nullptr : &batch.problems[scanned.problem]);
        }
    }

    void too_long(uint64_t number)
    {
        diagnostics_.add(number, "line longer than " + std::to_string(MAX_LINE_BYTES >> 20) + " MiB, skipped");
    }

    void finish()
    {
        while (!stack_.empty()) {
            const Frame &frame = stack_.back();
            diagnostics_.add(frame.line, frame.code + " block never closed");
            close_top(RddVerdict::unknown, std::nullopt);
        }
    }

private:
    void header()
    {
        RddHeader header;
        const auto &fields = line_->fields;
        if (fields.size() >= 4) {
            header.version = rdd_field_text(fields[0]);
            header.plan = rdd_field_text(fields[1]);
            header.kind = rdd_field_text(fields[2]);
            header.stamp = rdd_field_text(fields[3]);
        }
        if (fields.size() < 4 || header.kind != "RDD file")
            diagnostics_.add(1, "not an RDD header line");
        if (visitor_.header)
            visitor_.header(header);
    }

    void file()
    {
        const auto &fields = line_->fields;
        const std::optional<uint32_t> number = fields.size() >= 6 ? rdd_number(fields[5]) : std::nullopt;
        if (!number || *number < 1 || *number > RDD_MAX_FILES) {
            diagnostics_.add(line_->number, "CF line without a file number (1 to " + std::to_string(RDD_MAX_FILES) +
                                               ") in its sixth field");
            return;
        }
        RddFile file{rdd_field_text(fields[0]), rdd_field_text(fields[1]), rdd_field_text(fields[2]),
                     rdd_field_text(fields[3]), rdd_field_text(fields[4]), *number};
        if (visitor_.file)
            visitor_.file(file);
    }

    void script()
    {
        const auto &fields = line_->fields;
        if (fields.size() < 3 || line_->origins.empty()) {
            diagnostics_.add(line_->number, "RE line without a script name, title and file, or without its origin");
            return;
        }
        visitor_.script(RddScript{rdd_field_text(fields[0]), rdd_field_text(fields[1]), rdd_field_text(fields[2]),
                                  line_->origins.front().file});
    }

    // The line's time, when its kind has one; a damaged time is reported.
    std::optional<uint32_t> line_time()
    {
        if (time_problem_)
            diagnostics_.add(line_->number, *time_problem_);
        return time_;
    }

    // The line without its origin pairs, for hover titles.
    std::string_view own_text() const
    {
        if (line_->fields.empty())
            return line_->text.substr(0, line_->code.size());
        const std::string_view last = line_->fields.back();
        return line_->text.substr(0, static_cast<std::size_t>(last.data() + last.size() - line_->text.data()));
    }

    void body_line(RddKind kind)
    {
        const std::optional<uint32_t> time = line_time();
        if (visitor_.body)
            visitor_.body(*line_, time);
        // Opening lines carry merged times; their blocks report per file when they close.
        if (time && !stack_.empty() && !visitor_.scenarios_only && kind != RddKind::block_open &&
            kind != RddKind::scenario_open && kind != RddKind::scenario_close)
            for (const RddOrigin &origin : line_->origins)
                stack_.back().see(origin.file, *time, *time);
        switch (kind) {
        case RddKind::sy: unit(); break;
        case RddKind::block_open:
        case RddKind::scenario_open: open(time); break;
        case RddKind::block_close:
        case RddKind::scenario_close: close(kind); break;
        case RddKind::event:
        case RddKind::rendezvous:
            if (time)
                point(kind == RddKind::event ? RddMark::event : RddMark::rendezvous, *time);
            break;
        default: break;
        }
    }

    void unit()
    {
        const auto &fields = line_->fields;
        const std::optional<uint32_t> ticks = fields.size() >= 6 ? rdd_number(fields[4]) : std::nullopt;
        if (!ticks) {
            diagnostics_.add(line_->number, "SY line without a time unit in its fifth field");
            return;
        }
        if (visitor_.unit)
            visitor_.unit(RddUnit{*ticks, rdd_field_text(fields[5])});
    }

    void open(std::optional<uint32_t> time)
    {
        Frame frame;
        frame.code = std::string(line_->code);
        frame.line = line_->number;
        frame.start = time;
        frame.text = std::string(own_text());
        frame.origins.assign(line_->origins.begin(), line_->origins.end());
        if (line_->code == "DS") {
            frame.name = rdd_field_text(line_->fields[0]);
            frame.title = rdd_field_text(line_->fields[1]);
            frame.key = rdd_field_text(line_->fields[3]);
        }
        stack_.push_back(std::move(frame));
    }

    void close(RddKind kind)
    {
        const std::string_view opening = opening_of(line_->code);
        std::size_t depth = stack_.size();
        while (depth > 0 && stack_[depth - 1].code != opening)
            --depth;
        if (depth == 0) {
            diagnostics_.add(line_->number, std::string(line_->code) + " line without an open " + std::string(opening) +
                                               " block");
            return;
        }
        while (stack_.size() > depth) {
            diagnostics_.add(stack_.back().line, stack_.back().code + " block never closed (line " +
                                                     std::to_string(line_->number) + " closes an outer " +
                                                     std::string(opening) + " block)");
            close_top(RddVerdict::unknown, std::nullopt);
        }
        if (kind == RddKind::scenario_close) {
            const std::optional<uint32_t> end = rdd_number(line_->fields[1]);
            if (!end)
                diagnostics_.add(line_->number, "FS line: end time is not a number");
            stack_.back().verdict_text = rdd_field_text(line_->fields[2]);
            close_top(rdd_verdict(line_->fields[2]), end);
        } else {
            close_top(RddVerdict::passed, std::nullopt);
        }
    }

    // Pops the innermost block, hands its mark over and lets its parent see where it lay.
    void close_top(RddVerdict verdict, std::optional<uint32_t> end)
    {
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        std::vector<RddSpan> spans;
        if (!visitor_.scenarios_only)
            spans = block_spans(frame, end);
        if (!stack_.empty())
            for (const RddSpan &span : spans)
                stack_.back().see(span.file, span.start, span.end);
        const bool instance = frame.code == "XI";
        const bool scenario = frame.code == "DS";
        if (!(instance || scenario) || !visitor_.mark)
            return;
        RddMark mark;
        mark.row = instance ? RddMark::instance : RddMark::scenario;
        // The block as a whole: the merged start, up to where its first file ends.
        mark.timed = !spans.empty();
        if (mark.timed) {
            const auto first = std::min_element(spans.begin(), spans.end(), [](const RddSpan &a, const RddSpan &b) {
                return a.start < b.start;
            });
            mark.start = first->start;
            mark.end = first->end;
        }
        mark.verdict = verdict;
        mark.line = frame.line;
        mark.text = frame.text;
        mark.origins = frame.origins;
        mark.spans = &spans;
        mark.name = frame.name;
        mark.title = frame.title;
        mark.key = frame.key;
        mark.verdict_text = frame.verdict_text;
        if (scenario) {
            mark.own_start = frame.start;
            mark.own_end = end;
        }
        visitor_.mark(mark);
    }

    void point(RddMark::Row row, uint32_t time)
    {
        if (!visitor_.mark || visitor_.scenarios_only)
            return;
        RddMark mark;
        mark.row = row;
        mark.start = mark.end = time;
        mark.line = line_->number;
        mark.text = own_text();
        mark.origins = line_->origins;
        point_spans_.clear();
        for (const RddOrigin &origin : line_->origins)
            point_spans_.push_back(RddSpan{origin.file, time, time});
        mark.spans = &point_spans_;
        visitor_.mark(mark);
    }

    const RddVisitor &visitor_;
    RddDiagnostics &diagnostics_;
    const RddLine *line_ = nullptr;
    std::optional<uint32_t> time_;
    const std::string *time_problem_ = nullptr;
    std::vector<Frame> stack_;
    std::vector<RddSpan> point_spans_;
    std::vector<std::string_view> fields_; // of the line taken
};

// Large reports are read on two threads: a scanner cuts and scans lines a
// batch ahead while this thread walks them. The walker's callbacks run on
// this thread only.
constexpr std::size_t BATCH_LINES = 1024;
constexpr std::size_t BATCH_SLOTS = 8;
constexpr std::size_t SCAN_AHEAD_BYTES = std::size_t(8) << 20;

class ScanAhead {
public:
    explicit ScanAhead(std::string_view text) : text_(text), thread_([this] { scan(); }) {}
    ScanAhead(const ScanAhead &) = delete;
    ScanAhead &operator=(const ScanAhead &) = delete;

    // Stops the scanner even when the walker leaves by an exception.
    ~ScanAhead()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    // The next scanned batch, or null at the end; the previous one is handed back.
    Batch *next()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (holding_) {
            ++consumed_;
            holding_ = false;
            changed_.notify_all();
        }
        changed_.wait(lock, [this] { return consumed_ < produced_ || finished_; });
        if (consumed_ == produced_)
            return nullptr;
        holding_ = true;
        return &batches_[consumed_ % BATCH_SLOTS];
    }

private:
    // The cutter lives on this thread's stack: written at every line, it
    // must not share a cache line with what the walker reads.
    void scan()
    {
        LineCutter cutter{text_};
        for (;;) {
            std::size_t slot = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return produced_ - consumed_ < BATCH_SLOTS || stopped_; });
                if (stopped_)
                    return;
                slot = produced_ % BATCH_SLOTS;
            }
            const bool last = !batches_[slot].fill(cutter, BATCH_LINES);
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                ++produced_;
                finished_ = last;
            }
            changed_.notify_all();
            if (last)
                return;
        }
    }

    std::string_view text_;
    std::array<Batch, BATCH_SLOTS> batches_;
    alignas(64) std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t produced_ = 0, consumed_ = 0;
    bool holding_ = false, finished_ = false, stopped_ = false;
    std::thread thread_; // last: starts once everything above is built
};

} // namespace

void RddDiagnostics::add(uint64_t line, const std::string &what)
{
    ++count;
    if (first.size() < kept)
        first.push_back("line " + std::to_string(line) + ": " + what);
}

std::string rdd_field_text(std::string_view raw)
{
    std::string room;
    return std::string(rdd_field_view(raw, room));
}

std::string_view rdd_field_view(std::string_view raw, std::string &room)
{
    if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"')
        raw = raw.substr(1, raw.size() - 2);
    if (raw.find('"') == std::string_view::npos)
        return raw;
    room.clear();
    for (std::size_t i = 0; i < raw.size(); ++i) {
        room += raw[i];
        if (raw[i] == '"' && i + 1 < raw.size() && raw[i + 1] == '"')
            ++i;
    }
    return room;
}

std::optional<uint32_t> rdd_number(std::string_view raw)
{
    uint32_t value = 0;
    if (!read_number(raw, value))
        return std::nullopt;
    return value;
}

RddVerdict rdd_verdict(std::string_view raw)
{
    if (raw == "\"1\"")
        return RddVerdict::failed;
    if (raw == "\"2\"")
        return RddVerdict::inconclusive;
    return RddVerdict::passed;
}

const char *rdd_verdict_name(RddVerdict verdict)
{
    switch (verdict) {
    case RddVerdict::failed: return "failed";
    case RddVerdict::inconclusive: return "inconclusive";
    case RddVerdict::unknown: return "unknown";
    case RddVerdict::passed: break;
    }
    return "passed";
}

RddKind rdd_kind(std::string_view code) { return code_traits(code).kind; }

int rdd_time_field(std::string_view code) { return code_traits(code).time_field; }

bool rdd_scan_line(std::string_view text, RddOwnedLine &line, std::string &error, const char *readable_end)
{
    line.text = text;
    line.fields.clear();
    line.origins.clear();
    if (!scan_code(text, line.code, error))
        return false;
    line.id = rdd_code_id(line.code);
    return scan_fields(text, readable_end ? readable_end : text.data() + text.size(), nullptr, line.fields, error);
}

bool rdd_is_joined(std::string_view code) { return joined_own_fields(code) >= 0; }

bool rdd_split_origins(RddOwnedLine &line, std::string &error)
{
    return split_origins(line.code, line.fields, 0, line.origins, error);
}

bool rdd_map(const std::string &path, RddMappedFile &file, std::string &error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = (fd < 0 ? "cannot open " : "cannot read ") + path;
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    const auto size = static_cast<std::size_t>(status.st_size);
    void *data = size ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr;
    ::close(fd);
    if (data == MAP_FAILED) {
        error = "cannot read " + path;
        return false;
    }
    if (size)
        ::madvise(data, size, MADV_SEQUENTIAL);
    file.text_ = std::string_view(static_cast<const char *>(data), size);
    return true;
}

void RddMappedFile::release() const
{
    if (!text_.empty())
        ::madvise(const_cast<char *>(text_.data()), text_.size(), MADV_DONTNEED);
}

RddMappedFile::~RddMappedFile()
{
    if (!text_.empty())
        ::munmap(const_cast<char *>(text_.data()), text_.size());
}

namespace {

// Gives the pages of a mapped file back once the walk is well past them:
// a report of a gigabyte need not stay resident. They come back from the
// file if a visitor looks at them again.
struct PageRelease {
    std::string_view text;
    std::size_t released = 0;
    static constexpr std::size_t STEP = std::size_t(8) << 20;

    void passed(const char *at)
    {
        if (at < text.data() || at >= text.data() + text.size())
            return;
        const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        const auto offset = static_cast<std::size_t>(at - text.data());
        if (offset < released + STEP + page)
            return;
        const std::size_t end = (offset - STEP / 4) / page * page;
        ::madvise(const_cast<char *>(text.data()) + released, end - released, MADV_DONTNEED);
        released = end;
    }
};

void read_text(std::string_view text, const RddVisitor &visitor, RddDiagnostics &diagnostics, bool mapped)
{
    Walker walker(visitor, diagnostics);
    if (text.size() < SCAN_AHEAD_BYTES) {
        LineCutter cutter{text};
        Batch batch;
        bool more = true;
        while (more) {
            more = batch.fill(cutter, BATCH_LINES);
            walker.take_batch(batch);
        }
    } else {
        PageRelease release{text};
        ScanAhead scanner(text);
        while (const Batch *batch = scanner.next()) {
            walker.take_batch(*batch);
            if (mapped && !batch->lines.empty())
                release.passed(batch->lines.front().text);
        }
    }
    walker.finish();
}

} // namespace

bool rdd_read(const std::string &path, const RddVisitor &visitor, RddDiagnostics &diagnostics, std::string &error)
{
    RddMappedFile file;
    if (!rdd_map(path, file, error))
        return false;
    rdd_read_mapped(file, visitor, diagnostics);
    return true;
}

void rdd_read_mapped(const RddMappedFile &file, const RddVisitor &visitor, RddDiagnostics &diagnostics)
{
    read_text(file.text(), visitor, diagnostics, true);
}

void rdd_read_text(std::string_view text, const RddVisitor &visitor, RddDiagnostics &diagnostics)
{
    read_text(text, visitor, diagnostics, false);
}
