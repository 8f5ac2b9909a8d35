#include "rddread.h"

#include "rodbase.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <unordered_map>

namespace {

// A merged DS line of a thousand files is some tens of kilobytes; anything
// far beyond that is damage, and holding it whole would only cost memory.
constexpr std::size_t MAX_LINE_BYTES = std::size_t(16) << 20;

bool code_is(std::string_view code, std::string_view expected) { return code == expected; }

// Own fields of the lines that the merge joins, as the writer leaves them.
int joined_own_fields(std::string_view code)
{
    if (code_is(code, "XI") || code_is(code, "DT") || code_is(code, "XE"))
        return 1;
    if (code_is(code, "YI") || code_is(code, "YT") || code_is(code, "FE"))
        return 0;
    if (code_is(code, "DS"))
        return 5;
    if (code_is(code, "FS"))
        return 3;
    return -1;
}

// The code that opens the block a closing code ends, or empty.
std::string_view opening_of(std::string_view code)
{
    if (code_is(code, "YI"))
        return "XI";
    if (code_is(code, "YT"))
        return "DT";
    if (code_is(code, "FE"))
        return "XE";
    if (code_is(code, "FS"))
        return "DS";
    return {};
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
    std::unordered_map<uint32_t, Range> inner; // by file number
    std::string text;
    std::vector<RddOrigin> origins;
    std::string name, title, key, verdict_text;

    void see(uint32_t file, uint32_t from, uint32_t to)
    {
        const auto [entry, added] = inner.try_emplace(file, Range{from, to});
        if (!added)
            entry->second.extend(from, to);
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
    for (const uint32_t file : files) {
        const auto found = frame.inner.find(file);
        if (found != frame.inner.end() && (!owner || found->second.first < frame.inner.at(*owner).first))
            owner = file;
    }
    std::vector<RddSpan> spans;
    for (const uint32_t file : files) {
        const auto found = frame.inner.find(file);
        Range range;
        if (found != frame.inner.end())
            range = found->second;
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

// Turns lines into visitor calls; one instance per read.
class Walker {
public:
    Walker(const RddVisitor &visitor, RddDiagnostics &diagnostics) : visitor_(visitor), diagnostics_(diagnostics) {}

    void feed(uint64_t number, std::string_view text)
    {
        line_.number = number;
        std::string error;
        if (!rdd_scan_line(text, line_, error)) {
            diagnostics_.add(number, error);
            return;
        }
        if (number == 1) {
            header();
            return;
        }
        const RddKind kind = rdd_kind(line_.code);
        if (kind == RddKind::cf) {
            file();
            return;
        }
        if (!rdd_split_origins(line_, error)) {
            diagnostics_.add(number, error);
            return;
        }
        if (visitor_.origin)
            for (const RddOrigin &origin : line_.origins)
                visitor_.origin(origin);
        if (visitor_.script && code_is(line_.code, "RE"))
            script();
        body_line(kind);
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
        const auto &fields = line_.fields;
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
        const auto &fields = line_.fields;
        const std::optional<uint32_t> number = fields.size() >= 6 ? rdd_number(fields[5]) : std::nullopt;
        if (!number || *number < 1 || *number > RDD_MAX_FILES) {
            diagnostics_.add(line_.number, "CF line without a file number (1 to " + std::to_string(RDD_MAX_FILES) +
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
        const auto &fields = line_.fields;
        if (fields.size() < 3 || line_.origins.empty()) {
            diagnostics_.add(line_.number, "RE line without a script name, title and file, or without its origin");
            return;
        }
        visitor_.script(RddScript{rdd_field_text(fields[0]), rdd_field_text(fields[1]), rdd_field_text(fields[2]),
                                  line_.origins.front().file});
    }

    // The line's time, when its kind has one; a damaged time is reported.
    std::optional<uint32_t> line_time()
    {
        const int position = rdd_time_field(line_.code);
        if (position == 0)
            return std::nullopt;
        if (static_cast<std::size_t>(position) > line_.fields.size()) {
            diagnostics_.add(line_.number, line_label(line_.code) + " without its time field " + std::to_string(position));
            return std::nullopt;
        }
        const std::optional<uint32_t> time = rdd_number(line_.fields[position - 1]);
        if (!time)
            diagnostics_.add(line_.number, line_label(line_.code) + ": time field " + std::to_string(position) +
                                               " is not a number");
        return time;
    }

    // The line without its origin pairs, for hover titles.
    std::string_view own_text() const
    {
        if (line_.fields.empty())
            return line_.text.substr(0, line_.code.size());
        const std::string_view last = line_.fields.back();
        return line_.text.substr(0, static_cast<std::size_t>(last.data() + last.size() - line_.text.data()));
    }

    void body_line(RddKind kind)
    {
        const std::optional<uint32_t> time = line_time();
        // Opening lines carry merged times; their blocks report per file when they close.
        if (time && !stack_.empty() && kind != RddKind::block_open && kind != RddKind::scenario_open &&
            kind != RddKind::scenario_close)
            for (const RddOrigin &origin : line_.origins)
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
        const auto &fields = line_.fields;
        const std::optional<uint32_t> ticks = fields.size() >= 6 ? rdd_number(fields[4]) : std::nullopt;
        if (!ticks) {
            diagnostics_.add(line_.number, "SY line without a time unit in its fifth field");
            return;
        }
        if (visitor_.unit)
            visitor_.unit(RddUnit{*ticks, rdd_field_text(fields[5])});
    }

    void open(std::optional<uint32_t> time)
    {
        Frame frame;
        frame.code = std::string(line_.code);
        frame.line = line_.number;
        frame.start = time;
        frame.text = std::string(own_text());
        frame.origins = line_.origins;
        if (code_is(line_.code, "DS")) {
            frame.name = rdd_field_text(line_.fields[0]);
            frame.title = rdd_field_text(line_.fields[1]);
            frame.key = rdd_field_text(line_.fields[3]);
        }
        stack_.push_back(std::move(frame));
    }

    void close(RddKind kind)
    {
        const std::string_view opening = opening_of(line_.code);
        std::size_t depth = stack_.size();
        while (depth > 0 && stack_[depth - 1].code != opening)
            --depth;
        if (depth == 0) {
            diagnostics_.add(line_.number, std::string(line_.code) + " line without an open " + std::string(opening) +
                                               " block");
            return;
        }
        while (stack_.size() > depth) {
            diagnostics_.add(stack_.back().line, stack_.back().code + " block never closed (line " +
                                                     std::to_string(line_.number) + " closes an outer " +
                                                     std::string(opening) + " block)");
            close_top(RddVerdict::unknown, std::nullopt);
        }
        if (kind == RddKind::scenario_close) {
            const std::optional<uint32_t> end = rdd_number(line_.fields[1]);
            if (!end)
                diagnostics_.add(line_.number, "FS line: end time is not a number");
            stack_.back().verdict_text = rdd_field_text(line_.fields[2]);
            close_top(rdd_verdict(line_.fields[2]), end);
        } else {
            close_top(RddVerdict::passed, std::nullopt);
        }
    }

    // Pops the innermost block, hands its mark over and lets its parent see where it lay.
    void close_top(RddVerdict verdict, std::optional<uint32_t> end)
    {
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        std::vector<RddSpan> spans = block_spans(frame, end);
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
        mark.origins = &frame.origins;
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
        if (!visitor_.mark)
            return;
        RddMark mark;
        mark.row = row;
        mark.start = mark.end = time;
        mark.line = line_.number;
        mark.text = own_text();
        mark.origins = &line_.origins;
        point_spans_.clear();
        for (const RddOrigin &origin : line_.origins)
            point_spans_.push_back(RddSpan{origin.file, time, time});
        mark.spans = &point_spans_;
        visitor_.mark(mark);
    }

    const RddVisitor &visitor_;
    RddDiagnostics &diagnostics_;
    RddLine line_;
    std::vector<Frame> stack_;
    std::vector<RddSpan> point_spans_;
};

// Gathers a line across reads; drops what lies beyond the limit.
struct LineAssembler {
    std::string text;
    bool too_long = false;

    void append(const char *bytes, std::size_t size)
    {
        if (too_long)
            return;
        if (text.size() + size > MAX_LINE_BYTES) {
            too_long = true;
            text.clear();
            return;
        }
        text.append(bytes, size);
    }

    void deliver(Walker &walker, uint64_t number)
    {
        if (too_long) {
            walker.too_long(number);
        } else {
            std::string_view line = text;
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            walker.feed(number, line);
        }
        text.clear();
        too_long = false;
    }
};

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
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
    if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"')
        raw = raw.substr(1, raw.size() - 2);
    std::string text;
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        text += raw[i];
        if (raw[i] == '"' && i + 1 < raw.size() && raw[i + 1] == '"')
            ++i;
    }
    return text;
}

std::optional<uint32_t> rdd_number(std::string_view raw)
{
    if (raw.size() < 2 || raw.front() != '"' || raw.back() != '"')
        return std::nullopt;
    std::string_view digits = raw.substr(1, raw.size() - 2);
    if (digits == "??")
        return 0;
    const bool negative = !digits.empty() && digits.front() == '-';
    if (negative)
        digits.remove_prefix(1);
    if (digits.empty() || digits.size() > 18)
        return std::nullopt;
    uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    // The engine keeps times as 32-bit values and compares them unsigned.
    return static_cast<uint32_t>(negative ? 0 - value : value);
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

RddKind rdd_kind(std::string_view code)
{
    if (code_is(code, "CF"))
        return RddKind::cf;
    if (code_is(code, "SY"))
        return RddKind::sy;
    if (code_is(code, "XI") || code_is(code, "DT") || code_is(code, "XE"))
        return RddKind::block_open;
    if (code_is(code, "YI") || code_is(code, "YT") || code_is(code, "FE"))
        return RddKind::block_close;
    if (code_is(code, "DS"))
        return RddKind::scenario_open;
    if (code_is(code, "FS"))
        return RddKind::scenario_close;
    if (code_is(code, "EV"))
        return RddKind::event;
    if (code_is(code, "RD"))
        return RddKind::rendezvous;
    return RddKind::other;
}

int rdd_time_field(std::string_view code)
{
    struct Entry {
        std::string_view code;
        int field;
    };
    static constexpr Entry table[] = {
        {"XI", 1}, {"DT", 1}, {"XE", 1}, {"DP", 2}, {"DS", 5}, {"DA", 5}, {"DW", 5}, {"EV", 5}, {"FS", 2},
        {"SN", 6}, {"RD", 5}, {"FW", 5}, {"FT", 2}, {"TN", 2}, {"TF", 2}, {"FB", 2}, {"IC", 7}, {"ID", 5},
    };
    for (const Entry &entry : table)
        if (entry.code == code)
            return entry.field;
    return 0;
}

namespace {

// The quote closing the field opened at `open` (a doubled quote stays
// inside the field); npos when the text ends first.
std::size_t closing_quote(std::string_view text, std::size_t open)
{
    for (std::size_t at = open + 1; at < text.size(); ++at) {
        if (text[at] != '"')
            continue;
        if (at + 1 < text.size() && text[at + 1] == '"') {
            ++at;
            continue;
        }
        return at;
    }
    return std::string_view::npos;
}

} // namespace

bool rdd_scan_line(std::string_view text, RddLine &line, std::string &error)
{
    line.text = text;
    line.fields.clear();
    line.origins.clear();
    const long code_size = code_length(text);
    if (code_size < 2) {
        error = "no line code";
        line.code = {};
        return false;
    }
    line.code = text.substr(0, static_cast<std::size_t>(code_size));
    std::size_t search = 2;
    for (;;) {
        const std::size_t open = search < text.size() ? text.find('"', search) : std::string_view::npos;
        if (open == std::string_view::npos)
            return true;
        const std::size_t close = closing_quote(text, open);
        if (close == std::string_view::npos) {
            error = "field " + std::to_string(line.fields.size() + 1) + " is not closed";
            return false;
        }
        line.fields.push_back(text.substr(open, close - open + 1));
        search = close + 1;
    }
}

bool rdd_split_origins(RddLine &line, std::string &error)
{
    const std::size_t total = line.fields.size();
    const int joined = joined_own_fields(line.code);
    std::size_t own = 0;
    if (joined >= 0) {
        own = static_cast<std::size_t>(joined);
        if (total < own + 2 || (total - own) % 2 != 0) {
            error = line_label(line.code) + " has " + std::to_string(total) + " fields; expected " +
                    std::to_string(own) + " and origin pairs";
            return false;
        }
    } else {
        if (total < 2) {
            error = line_label(line.code) + " without its origin pair";
            return false;
        }
        own = total - 2;
    }
    for (std::size_t i = own; i < total; i += 2) {
        const std::optional<uint32_t> file = rdd_number(line.fields[i]);
        const std::optional<uint32_t> number = rdd_number(line.fields[i + 1]);
        if (!file || !number) {
            error = line_label(line.code) + ": origin pair at field " + std::to_string(i + 1) + " is not two numbers";
            line.origins.clear();
            return false;
        }
        if (*file < 1 || *file > RDD_MAX_FILES) {
            error = line_label(line.code) + ": origin pair at field " + std::to_string(i + 1) + " names file " +
                    std::to_string(*file) + "; files are numbered 1 to " + std::to_string(RDD_MAX_FILES);
            line.origins.clear();
            return false;
        }
        line.origins.push_back(RddOrigin{*file, *number});
    }
    line.fields.resize(own);
    return true;
}

bool rdd_read(const std::string &path, const RddVisitor &visitor, RddDiagnostics &diagnostics, std::string &error)
{
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = "cannot open " + path;
        return false;
    }
    Walker walker(visitor, diagnostics);
    LineAssembler line;
    uint64_t number = 0;
    std::vector<char> buffer(std::size_t(1) << 20);
    bool pending = false;
    for (;;) {
        const std::size_t size = std::fread(buffer.data(), 1, buffer.size(), file.get());
        if (size == 0)
            break;
        std::string_view chunk(buffer.data(), size);
        for (std::size_t newline = chunk.find('\n'); newline != std::string_view::npos; newline = chunk.find('\n')) {
            line.append(chunk.data(), newline);
            line.deliver(walker, ++number);
            chunk.remove_prefix(newline + 1);
        }
        line.append(chunk.data(), chunk.size());
        pending = !line.text.empty() || line.too_long;
    }
    if (std::ferror(file.get())) {
        error = "cannot read " + path;
        return false;
    }
    if (pending)
        line.deliver(walker, ++number);
    walker.finish();
    return true;
}

void rdd_read_text(std::string_view text, const RddVisitor &visitor, RddDiagnostics &diagnostics)
{
    Walker walker(visitor, diagnostics);
    LineAssembler line;
    uint64_t number = 0;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        const std::size_t size = newline == std::string_view::npos ? text.size() : newline;
        line.append(text.data(), size);
        line.deliver(walker, ++number);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    }
    walker.finish();
}
