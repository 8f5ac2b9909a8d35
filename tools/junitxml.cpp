#include "junitxml.h"

#include "pagejson.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <unistd.h>

namespace {

// The microsecond is the basic tick of the suite's clocks: an SY time unit
// of 1000 ticks is labelled "ms", one of 100 ticks "100us".
constexpr double SECONDS_PER_TICK = 1e-6;
constexpr std::size_t HEADER_SCAN_LIMIT = 65536;

JunitOutcome outcome_of(bool closed, std::string_view verdict_text)
{
    if (!closed)
        return JunitOutcome::error;
    switch (run_verdict_of_field(verdict_text)) {
    case RunVerdict::passed: return JunitOutcome::passed;
    case RunVerdict::failed: return JunitOutcome::failed;
    case RunVerdict::inconclusive: return JunitOutcome::inconclusive;
    default: return JunitOutcome::error;
    }
}

// The scenario's time in report units: from its DS start time to its FS end
// time. Times are 32-bit and wrap, so the end is read as the nearer of its
// values after the start; one more than half the range after it lies before
// it: the merge moves the times of the files it aligns but never an FS end
// time, so an aligned file's scenario can end "before" it starts. No time
// is given then.
std::optional<double> scenario_units(const RddMark &mark)
{
    if (!mark.own_start || !mark.own_end)
        return std::nullopt;
    const uint32_t units = *mark.own_end - *mark.own_start;
    if (units > UINT32_MAX / 2)
        return std::nullopt;
    return double(units);
}

// A DS line read whose scenario has not closed yet.
struct OpenScenario {
    uint64_t at = 0;
    bool closed = false;
};

struct Collector {
    explicit Collector(JunitReport &target) : report(target) {}

    JunitReport &report;
    std::optional<uint32_t> ticks;
    std::vector<std::string> scripts = std::vector<std::string>(RDD_MAX_FILES + 1);
    std::vector<OpenScenario> open;
    uint64_t line_end = 0; // in the RDD text, of the last body line

    uint64_t offset_of(const char *at) const { return static_cast<uint64_t>(at - report.text.data()); }

    RddVisitor visitor()
    {
        RddVisitor visitor;
        visitor.header = [this](const RddHeader &header) { report.header = header; };
        visitor.file = [this](const RddFile &file) {
            if (report.sources.entry_of_file[file.number] >= 0)
                return;
            report.sources.entry_of_file[file.number] = static_cast<int32_t>(report.files.size());
            report.files.push_back(file);
        };
        visitor.script = [this](const RddScript &script) {
            if (script.file >= 1 && script.file <= RDD_MAX_FILES && scripts[script.file].empty())
                scripts[script.file] = script.name;
        };
        visitor.unit = [this](const RddUnit &unit) {
            if (!ticks)
                ticks = unit.ticks;
        };
        visitor.body = [this](const RddLine &line, std::optional<uint32_t>) { body(line); };
        visitor.mark = [this](const RddMark &mark) {
            if (mark.row == RddMark::scenario)
                add_case(mark);
        };
        visitor.scenarios_only = true;
        return visitor;
    }

    void body(const RddLine &line)
    {
        line_end = offset_of(line.text.data() + line.text.size());
        if (line.id == rdd_code_id('D', 'S')) {
            // The ROD files are read meanwhile; cases need them only at the end.
            if (!report.rods->started())
                report.rods->start(report.files, report.rdd_directory);
            open.push_back(OpenScenario{offset_of(line.text.data()), false});
        } else if (line.id == rdd_code_id('F', 'S') && !open.empty()) {
            open.back().closed = true;
        }
    }

    void add_case(const RddMark &mark)
    {
        OpenScenario scenario;
        if (!open.empty()) {
            scenario = open.back();
            open.pop_back();
        }
        JunitCase test_case;
        test_case.text_at = report.store.size();
        test_case.name_size = static_cast<uint32_t>(mark.name.size());
        test_case.key_size = static_cast<uint32_t>(mark.key.size());
        report.store.append(mark.name);
        report.store.append(mark.key);
        test_case.line = mark.line;
        test_case.block_at = scenario.at;
        test_case.block_end = std::max(line_end, scenario.at);
        test_case.closed = scenario.closed;
        test_case.outcome = outcome_of(scenario.closed, mark.verdict_text);
        // Report units for now; seconds once the unit is sure.
        test_case.seconds = scenario_units(mark).value_or(-1);
        test_case.suite = mark.origins.empty() ? 0 : mark.origins.front().file;
        report.cases.push_back(test_case);
    }

    // The suite of file `number`: its test script, else its ROD file's name.
    std::string suite_name(uint32_t number) const
    {
        if (number >= 1 && number <= RDD_MAX_FILES) {
            if (!scripts[number].empty())
                return scripts[number];
            const int32_t entry = report.sources.entry_of_file[number];
            if (entry >= 0) {
                const std::string &name = report.files[static_cast<std::size_t>(entry)].name;
                return name.substr(0, name.rfind('.'));
            }
        }
        return report.header.plan;
    }

    void build_suites()
    {
        std::map<std::string, uint32_t> by_name;
        const auto suite_of = [&](uint32_t number) {
            const auto [entry, added] = by_name.try_emplace(suite_name(number), static_cast<uint32_t>(report.suites.size()));
            if (added)
                report.suites.push_back(JunitSuite{entry->first, {}, {}});
            return entry->second;
        };
        for (uint32_t number = 1; number <= RDD_MAX_FILES; ++number)
            if (report.sources.entry_of_file[number] >= 0 || !scripts[number].empty())
                report.suites[suite_of(number)].files.push_back(number);
        for (std::size_t i = 0; i < report.cases.size(); ++i) {
            JunitCase &test_case = report.cases[i];
            test_case.seconds = test_case.seconds >= 0 && ticks ? test_case.seconds * double(*ticks) * SECONDS_PER_TICK : 0;
            test_case.suite = suite_of(test_case.suite);
            report.suites[test_case.suite].cases.push_back(static_cast<uint32_t>(i));
        }
        for (const JunitSuite &suite : report.suites)
            name_cases_uniquely(suite);
    }

    // A name that repeats in a suite under another key is given with its
    // key; one that still repeats (same name, same key) with its RDD line.
    // Found by sorting, so that a suite of a hundred thousand cases costs
    // an index each rather than a table entry.
    void name_cases_uniquely(const JunitSuite &suite)
    {
        std::vector<uint32_t> order = suite.cases;
        const auto identity = [this](uint32_t i) {
            return std::pair(report.name_of(report.cases[i]), report.key_of(report.cases[i]));
        };
        std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return identity(a) < identity(b); });
        for (std::size_t from = 0; from < order.size();) {
            const std::string_view name = identity(order[from]).first;
            std::size_t to = from;
            while (to < order.size() && identity(order[to]).first == name)
                ++to;
            const bool keys_differ = identity(order[from]).second != identity(order[to - 1]).second;
            for (std::size_t i = from; i < to; ++i) {
                const JunitCase &test_case = report.cases[order[i]];
                std::string shown(name);
                if (keys_differ)
                    shown += " [key " + std::string(report.key_of(test_case)) + "]";
                if (i > from && identity(order[i - 1]).second == report.key_of(test_case))
                    shown += " [RDD line " + std::to_string(test_case.line) + "]";
                if (shown.size() != name.size())
                    report.shown_names[order[i]] = std::move(shown);
            }
            from = to;
        }
    }
};

bool is_rdd_header(std::string_view first_line)
{
    RddOwnedLine line;
    std::string error;
    return rdd_scan_line(first_line, line, error) && line.fields.size() >= 4 &&
           rdd_field_text(line.fields[2]) == "RDD file";
}

// The first bytes of the file, enough for its header line.
bool read_head(const std::string &path, std::string &head, std::string &error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    head.assign(HEADER_SCAN_LIMIT, '\0');
    std::size_t got = 0;
    while (got < head.size()) {
        const ssize_t part = ::read(fd, head.data() + got, head.size() - got);
        if (part < 0 && errno == EINTR)
            continue;
        if (part < 0) {
            error = "cannot read " + path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (part == 0)
            break;
        got += std::size_t(part);
    }
    ::close(fd);
    head.resize(got);
    return true;
}

void start_report(JunitReport &report, std::string rdd_directory)
{
    report = JunitReport{};
    report.rods = std::make_unique<RodChecks>();
    report.rdd_directory = std::move(rdd_directory);
}

void collect(JunitReport &report, bool mapped)
{
    Collector collector(report);
    if (mapped)
        rdd_read_mapped(*report.mapped, collector.visitor(), report.diagnostics);
    else
        rdd_read_text(report.text, collector.visitor(), report.diagnostics);
    collector.build_suites();
    report.sources.rods = &report.rods->wait(report.files, report.rdd_directory);
}

} // namespace

std::string JunitReport::shown_name(uint32_t index) const
{
    const auto renamed = shown_names.find(index);
    return renamed != shown_names.end() ? renamed->second : std::string(name_of(cases[index]));
}

bool junit_collect(const std::string &path, JunitReport &report, std::string &error)
{
    start_report(report, std::filesystem::path(path).parent_path().string());
    std::string head;
    if (!read_head(path, head, error))
        return false;
    const std::size_t end = head.find('\n');
    if ((end == std::string::npos && head.size() == HEADER_SCAN_LIMIT) ||
        !is_rdd_header(std::string_view(head).substr(0, end))) {
        error = path + " is not an RDD file";
        return false;
    }
    report.mapped = std::make_unique<RddMappedFile>();
    if (!rdd_map(path, *report.mapped, error))
        return false;
    report.text = report.mapped->text();
    collect(report, true);
    return true;
}

bool junit_collect_text(std::string_view text, const std::string &name, const std::string &rdd_directory,
                        JunitReport &report, std::string &error)
{
    start_report(report, rdd_directory);
    if (!is_rdd_header(text.substr(0, text.find('\n')))) {
        error = name + " is not an RDD file";
        return false;
    }
    report.text = text;
    collect(report, false);
    return true;
}
namespace {

void append_replacement(std::string &out) { out += "\xEF\xBF\xBD"; }

// Length of the valid UTF-8 sequence at the start of `text` and its code
// point; 0 when it is not one (overlong forms and surrogates included).
std::size_t utf8_sequence(std::string_view text, char32_t &code)
{
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead < 0x80)
        return code = lead, 1;
    if ((lead & 0xE0) == 0xC0)
        length = 2, code = lead & 0x1F, minimum = 0x80;
    else if ((lead & 0xF0) == 0xE0)
        length = 3, code = lead & 0x0F, minimum = 0x800;
    else if ((lead & 0xF8) == 0xF0)
        length = 4, code = lead & 0x07, minimum = 0x10000;
    else
        return 0;
    if (text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i) & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

bool allowed_in_xml(char32_t code)
{
    if (code < 0x20)
        return code == '\t' || code == '\n' || code == '\r';
    return code != 0xFFFE && code != 0xFFFF;
}

void escape_into(std::string &out, std::string_view text, bool attribute)
{
    while (!text.empty()) {
        const auto lead = static_cast<unsigned char>(text.front());
        if (lead >= 0x20 && lead < 0x80 && lead != '&' && lead != '<' && lead != '>' &&
            (!attribute || (lead != '"' && lead != '\''))) {
            out += text.front();
            text.remove_prefix(1);
            continue;
        }
        char32_t code = 0;
        const std::size_t length = utf8_sequence(text, code);
        if (length == 0 || !allowed_in_xml(code)) {
            append_replacement(out);
            text.remove_prefix(length == 0 ? 1 : length);
            continue;
        }
        switch (code) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += attribute ? "&quot;" : "\""; break;
        case '\'': out += attribute ? "&apos;" : "'"; break;
        // Kept as references in attribute values, which would lose them.
        case '\t': out += attribute ? "&#9;" : "\t"; break;
        case '\n': out += attribute ? "&#10;" : "\n"; break;
        case '\r': out += "&#13;"; break;
        default: out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
}

// Size of the text once escaped as element content.
std::size_t xml_content_size(std::string_view text)
{
    for (std::size_t at = 0; at < text.size(); ++at) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x20 || byte >= 0x80 || byte == '&' || byte == '<' || byte == '>') {
            std::string escaped;
            escape_into(escaped, text.substr(at), false);
            return at + escaped.size();
        }
    }
    return text.size();
}

void append_xml_content(std::string &out, std::string_view text) { escape_into(out, text, false); }

} // namespace

std::string xml_text(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    escape_into(out, text, true);
    return out;
}

std::string xml_content(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    escape_into(out, text, false);
    return out;
}

std::string iso_timestamp(std::string_view stamp)
{
    static constexpr std::array<const char *, 12> MONTHS = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char weekday[4] = {}, month[4] = {};
    int day = 0, hour = 0, minute = 0, second = 0, year = 0, consumed = 0;
    const std::string text(stamp);
    if (std::sscanf(text.c_str(), "%3s %3s %d %d:%d:%d %d%n", weekday, month, &day, &hour, &minute, &second, &year,
                    &consumed) != 7 ||
        std::size_t(consumed) != text.size())
        return {};
    const auto found = std::find_if(MONTHS.begin(), MONTHS.end(),
                                    [&month](const char *name) { return std::string_view(name) == month; });
    if (found == MONTHS.end() || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 || year < 1 ||
        year > 9999 || hour < 0 || minute < 0 || second < 0)
        return {};
    char iso[64];
    std::snprintf(iso, sizeof iso, "%04d-%02d-%02dT%02d:%02d:%02d", year, int(found - MONTHS.begin()) + 1, day, hour,
                  minute, second);
    return iso;
}

std::string seconds_text(double seconds)
{
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed, 6);
    std::string text(buffer, ec == std::errc() ? end : buffer);
    if (text.empty())
        return "0";
    while (text.back() == '0')
        text.pop_back();
    if (text.back() == '.')
        text.pop_back();
    return text;
}


namespace {

constexpr std::size_t MESSAGE_LIMIT = 1024;   // bytes of a message's parts, before escaping
constexpr std::size_t VALUE_LIMIT = 120;      // bytes of one value a message quotes
constexpr std::size_t NAME_LIMIT = 200;       // bytes of a ROD file's name in a text
constexpr std::size_t NOTE_RANGES_LIMIT = 200; // bytes of the line ranges a note gives
constexpr std::size_t RUNS_NAMED = 3;         // runs named for one verdict or value
constexpr std::size_t RUNS_LISTED = 8;        // runs an output lists with their verdicts
constexpr std::size_t DIFFS_NAMED = 3;        // differing steps a message names
constexpr std::size_t RUNS_COMPARED = 8;      // runs that did not pass compared, as on the page
constexpr uint64_t RELEASE_STEP = uint64_t(4) << 20;
constexpr uint64_t FAULT_AROUND_BYTES = uint64_t(64) << 10; // Linux maps this much around a page read
constexpr std::size_t FLUSH_BYTES = std::size_t(1) << 20;

// A line of the report without the CR of Windows text, as the reader takes it.
std::string_view without_cr(std::string_view text)
{
    if (!text.empty() && text.back() == '\r')
        text.remove_suffix(1);
    return text;
}

// A body line scanned as the reader scans it: code, own fields, origin pairs.
bool scan_body_line(std::string_view text, RddOwnedLine &line, std::string &error)
{
    return rdd_scan_line(text, line, error) && rdd_split_origins(line, error);
}

const char *run_verdict_word(RunVerdict verdict)
{
    switch (verdict) {
    case RunVerdict::passed: return "passed";
    case RunVerdict::failed: return "failed";
    case RunVerdict::inconclusive: return "inconclusive";
    case RunVerdict::unknown: return "unknown verdict";
    case RunVerdict::not_known: break;
    }
    return "verdict not known";
}

// The text cut to at most `limit` bytes, not inside a UTF-8 sequence.
std::string_view cut(std::string_view text, std::size_t limit)
{
    if (text.size() <= limit)
        return text;
    std::size_t size = limit;
    while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80)
        --size;
    return text.substr(0, size);
}

std::size_t decimal_size(uint64_t value)
{
    std::size_t size = 1;
    for (; value >= 10; value /= 10)
        ++size;
    return size;
}

struct Counts {
    std::size_t tests = 0, failures = 0, errors = 0, skipped = 0;
    double seconds = 0;

    void add(const JunitCase &test_case)
    {
        ++tests;
        failures += test_case.outcome == JunitOutcome::failed;
        errors += test_case.outcome == JunitOutcome::error;
        skipped += test_case.outcome == JunitOutcome::inconclusive;
        seconds += test_case.seconds;
    }

    std::string attributes() const
    {
        return " tests=\"" + std::to_string(tests) + "\" failures=\"" + std::to_string(failures) + "\" errors=\"" +
               std::to_string(errors) + "\"";
    }
};

// A line that may be quoted: the held lines it stands for (one per origin
// pair), the size of what comes before its text, and its text as written.
// Lower priorities are kept first when the budget does not take them all.
struct Quote {
    std::size_t first = 0, count = 1; // in the scenario's held lines
    uint64_t rdd_line = 0;
    std::size_t prefix = 0;
    std::string_view text;
    int priority = 0;
};

// What a detailed case shows. Its DS and FS lines give all that the
// document needs besides the quoted lines and the differing values, so they
// are all that is read to measure it; its other lines are read to write it.
struct CaseDetail {
    std::string title, verdict_text;
    std::vector<uint32_t> run_files;  // of the DS line's origin pairs
    std::vector<RddOrigin> fs_origins;
    std::vector<Run> listed;          // the runs of those files, those that did not pass first
    bool lines_read = false;
    ScenarioLines lines;
    std::vector<Run> runs;            // the runs with their lines
    std::vector<std::size_t> compared;
    RunComparison comparison;
    std::vector<bool> differing;      // per held line: on a step whose values differ
};

class DocumentWriter {
public:
    DocumentWriter(JunitReport &report, const JunitOptions &options);
    bool write(const std::function<bool(std::string_view)> &sink);

private:
    bool detailed(const JunitCase &test_case) const
    {
        return test_case.outcome != JunitOutcome::passed || options_.all_output;
    }

    std::string file_name(uint32_t file) const
    {
        const int32_t entry = file <= RDD_MAX_FILES ? report_.sources.entry_of_file[file] : -1;
        return entry >= 0 ? std::string(cut(report_.files[static_cast<std::size_t>(entry)].name, NAME_LIMIT))
                          : "file " + std::to_string(file);
    }

    std::string names(const std::vector<uint32_t> &files) const
    {
        std::string out;
        for (std::size_t i = 0; i < files.size() && i < RUNS_NAMED; ++i) {
            if (i)
                out += ", ";
            out += file_name(files[i]);
        }
        if (files.size() > RUNS_NAMED)
            out += " and " + std::to_string(files.size() - RUNS_NAMED) + " more";
        return out;
    }

    std::string link(const JunitCase &test_case) const
    {
        return options_.page + "#scenario=" + uri_component(report_.name_of(test_case)) +
               "&key=" + uri_component(report_.key_of(test_case));
    }

    std::string_view rdd_text(const HeldLine &held) const { return report_.text.substr(held.text_at, held.text_size); }

    void read_ends(const JunitCase &test_case, CaseDetail &detail);
    void touched(uint64_t bytes);
    void read_lines(const JunitCase &test_case, CaseDetail &detail);
    std::string runs_summary(const JunitCase &test_case, const CaseDetail &detail) const;
    std::string differences(const CaseDetail &detail) const;
    std::vector<Quote> run_quotes(const CaseDetail &detail, uint32_t file) const;
    std::vector<Quote> scenario_quotes(const CaseDetail &detail) const;
    std::string quote_text(const CaseDetail &detail, const Quote &quote, bool with_files) const;
    std::string quoted(const CaseDetail &detail, const std::vector<Quote> &quotes, bool with_files,
                       std::size_t allowance, const JunitCase &test_case, std::size_t &used) const;
    std::string case_xml(uint32_t index, const CaseDetail *detail, std::size_t allowance, std::size_t &used) const;
    std::string suite_head(const JunitSuite &suite) const;
    std::string root_head() const;

    JunitReport &report_;
    const JunitOptions &options_;
    std::vector<std::string> suite_files_; // each suite's files as ranges
    ScenarioHolder holder_;
    uint64_t read_since_release_ = 0;
    bool measuring_ = false;
};

DocumentWriter::DocumentWriter(JunitReport &report, const JunitOptions &options) : report_(report), options_(options)
{
    for (const JunitSuite &suite : report_.suites)
        suite_files_.push_back(ranges_text(suite.files));
}

// The block's first line is its DS line and, when the scenario closed, its
// last line its FS line.
void DocumentWriter::read_ends(const JunitCase &test_case, CaseDetail &detail)
{
    detail = CaseDetail{};
    const std::string_view block = report_.text.substr(test_case.block_at, test_case.block_end - test_case.block_at);
    RddOwnedLine line;
    std::string error;
    if (scan_body_line(without_cr(block.substr(0, block.find('\n'))), line, error)) {
        if (line.fields.size() >= 2)
            detail.title = rdd_field_text(line.fields[1]);
        for (const RddOrigin &origin : line.origins)
            detail.run_files.push_back(origin.file);
    }
    const std::size_t last = block.rfind('\n');
    if (test_case.closed && last != std::string_view::npos &&
        scan_body_line(without_cr(block.substr(last + 1)), line, error)) {
        detail.fs_origins = line.origins;
        if (line.fields.size() >= 3)
            detail.verdict_text = rdd_field_text(line.fields[2]);
    }
    // Each line read maps the pages around it as well.
    touched(2 * FAULT_AROUND_BYTES);
    ScenarioLines ends;
    ends.fs_origins = detail.fs_origins;
    detail.listed = runs_of(ends, detail.run_files, report_.name_of(test_case), report_.sources);
}

// A line that starts with a code of exactly two characters.
bool has_plain_code(std::string_view text)
{
    return text.size() > 2 && text[2] == ' ' && text[0] != ' ' && text[0] != '"' && text[1] != ' ' && text[1] != '"';
}

// The origin pair that ends a line that is not joined ("F" "L", then
// spaces), and where the line's own text ends; false when the line does not
// end so, or its quotes do not pair up.
bool trailing_origin(std::string_view text, RddOrigin &origin, std::size_t &own_end)
{
    if (std::count(text.begin(), text.end(), '"') % 2 != 0)
        return false;
    std::size_t at = text.find_last_not_of(' ');
    uint32_t numbers[2] = {0, 0};
    for (int n = 1; n >= 0; --n) {
        if (at == std::string_view::npos || at < 2 || text[at] != '"')
            return false;
        const std::size_t close = at;
        while (at > 0 && text[at - 1] >= '0' && text[at - 1] <= '9')
            --at;
        if (at == 0 || text[at - 1] != '"' || close - at == 0 || close - at > 9)
            return false;
        std::from_chars(text.data() + at, text.data() + close, numbers[n]);
        at = text.find_last_not_of(' ', at - 2);
    }
    if (at == std::string_view::npos || numbers[0] < 1 || numbers[0] > RDD_MAX_FILES)
        return false;
    origin = RddOrigin{numbers[0], numbers[1]};
    own_end = at + 1;
    return true;
}

// The scenario's lines read again. Only the lines and their origin pairs are
// wanted, not times nor blocks, so the block is cut without the reader's
// walk, and a line that carries one origin pair is read from its end: the
// failed scenarios of a large merge can be most of it.
void DocumentWriter::read_lines(const JunitCase &test_case, CaseDetail &detail)
{
    std::string_view block = report_.text.substr(test_case.block_at, test_case.block_end - test_case.block_at);
    RddOwnedLine line;
    std::string error;
    for (uint64_t number = test_case.line; !block.empty(); ++number) {
        const std::size_t newline = block.find('\n');
        const std::string_view text = without_cr(block.substr(0, newline));
        block.remove_prefix(newline == std::string_view::npos ? block.size() : newline + 1);
        RddOrigin origin;
        std::size_t own_end = 0;
        if (number != test_case.line && holder_.open.size() == 1 && has_plain_code(text) &&
            !rdd_is_joined(text.substr(0, 2)) && trailing_origin(text, origin, own_end)) {
            holder_.open.back().lines.push_back(HeldLine{number, static_cast<uint64_t>(text.data() - report_.text.data()),
                                                         static_cast<uint32_t>(own_end), origin.file, origin.line,
                                                         false, 0});
            continue;
        }
        if (!scan_body_line(text, line, error))
            continue;
        line.number = number;
        holder_.body(line.view(), std::nullopt, report_.text);
        // A scenario inside this one ends at its own FS line.
        if (line.id == rdd_code_id('F', 'S') && holder_.open.size() > 1)
            holder_.recycle(holder_.close().lines);
    }
    if (!holder_.open.empty())
        detail.lines = std::move(holder_.open.front());
    while (!holder_.open.empty())
        holder_.recycle(holder_.close().lines);

    detail.lines_read = true;
    detail.runs = runs_of(detail.lines, detail.run_files, report_.name_of(test_case), report_.sources);
    detail.compared = runs_compared(detail.runs, false, RUNS_COMPARED);
    detail.comparison = compare_runs(report_.text, detail.lines, detail.runs, detail.compared);
    std::vector<bool> row_differs(detail.comparison.alignment.rows, false);
    for (const StepDiff &diff : detail.comparison.alignment.diffs)
        row_differs[diff.row] = true;
    detail.differing.assign(detail.lines.lines.size(), false);
    for (std::size_t c = 0; c < detail.compared.size(); ++c) {
        const Run &run = detail.runs[detail.compared[c]];
        for (std::size_t l = 0; l < run.lines.size(); ++l)
            detail.differing[run.lines[l]] = row_differs[detail.comparison.alignment.row_of[c][l]];
    }
    touched(test_case.block_end - test_case.block_at);
}

// The pages of the RDD file read again go back once many have been read.
void DocumentWriter::touched(uint64_t bytes)
{
    read_since_release_ += bytes;
    if (report_.mapped && read_since_release_ > RELEASE_STEP) {
        report_.mapped->release();
        read_since_release_ = 0;
    }
}

// Which runs gave the case its verdict, by their own verdicts.
std::string DocumentWriter::runs_summary(const JunitCase &test_case, const CaseDetail &detail) const
{
    if (test_case.outcome == JunitOutcome::error)
        return test_case.closed ? "unknown verdict \"" + std::string(cut(detail.verdict_text, VALUE_LIMIT)) + "\""
                                : "the scenario is never closed";
    const RunVerdict wanted = test_case.outcome == JunitOutcome::failed ? RunVerdict::failed : RunVerdict::inconclusive;
    const std::string word = run_verdict_word(wanted);
    std::vector<uint32_t> files;
    const Run *not_known = nullptr;
    for (const Run &run : detail.listed) {
        if (run.verdict == wanted)
            files.push_back(run.file);
        if (run.verdict == RunVerdict::not_known && !not_known)
            not_known = &run;
    }
    if (!files.empty())
        return word + " in " + names(files);
    if (not_known)
        return "no run's own verdict is known to be " + word + " (" + file_name(not_known->file) + ": " +
               not_known->why + ")";
    return "no run is " + word + " on its own";
}

// The steps whose values differ between the compared runs, each as
// ". step: VALUE in run (ROD line N); OTHER in other runs".
std::string DocumentWriter::differences(const CaseDetail &detail) const
{
    const StepAlignment &alignment = detail.comparison.alignment;
    std::string out;
    for (std::size_t d = 0; d < alignment.diffs.size() && d < DIFFS_NAMED; ++d) {
        const StepDiff &diff = alignment.diffs[d];
        // Each compared run's line on this row, if it has one.
        std::vector<const RddOwnedLine *> lines(detail.compared.size(), nullptr);
        std::vector<uint32_t> rod_lines(detail.compared.size(), 0);
        const RddOwnedLine *any = nullptr;
        for (std::size_t c = 0; c < detail.compared.size(); ++c) {
            const std::vector<uint32_t> &rows = alignment.row_of[c];
            const auto at = std::lower_bound(rows.begin(), rows.end(), diff.row);
            if (at == rows.end() || *at != diff.row)
                continue;
            const auto l = static_cast<std::size_t>(at - rows.begin());
            lines[c] = &detail.comparison.lines[c][l];
            rod_lines[c] = detail.lines.lines[detail.runs[detail.compared[c]].lines[l]].rod_line;
            any = any ? any : lines[c];
        }
        if (!any)
            continue;
        const std::string step = any->fields.empty() ? std::string(any->code) : rdd_field_text(any->fields.front());
        for (const uint16_t field : diff.fields) {
            std::vector<std::pair<std::string, std::vector<uint32_t>>> groups; // value, runs' files
            std::vector<std::size_t> first_of_group;
            for (std::size_t c = 0; c < detail.compared.size(); ++c) {
                std::string value = !lines[c]                           ? "(no such step)"
                                    : field < lines[c]->fields.size() ? rdd_field_text(lines[c]->fields[field])
                                                                        : "(no such field)";
                value = std::string(cut(value, VALUE_LIMIT));
                const auto group = std::find_if(groups.begin(), groups.end(),
                                                [&value](const auto &entry) { return entry.first == value; });
                const uint32_t file = detail.runs[detail.compared[c]].file;
                if (group != groups.end()) {
                    group->second.push_back(file);
                    continue;
                }
                groups.push_back({std::move(value), {file}});
                first_of_group.push_back(c);
            }
            out += ". " + step + (diff.fields.size() > 1 ? " field " + std::to_string(field + 1) : "") + ": ";
            for (std::size_t g = 0; g < groups.size(); ++g) {
                out += (g ? "; " : "") + groups[g].first + " in " + names(groups[g].second);
                if (g == 0 && lines[first_of_group[0]])
                    out += " (ROD line " + std::to_string(rod_lines[first_of_group[0]]) + ")";
            }
        }
    }
    if (alignment.diffs.size() > DIFFS_NAMED)
        out += ". " + std::to_string(alignment.diffs.size() - DIFFS_NAMED) + " more steps differ";
    return std::string(cut(out, MESSAGE_LIMIT));
}

// The lines of one run, those of differing steps first:
// "RDD line N, ROD line M: TEXT".
std::vector<Quote> DocumentWriter::run_quotes(const CaseDetail &detail, uint32_t file) const
{
    std::vector<Quote> quotes;
    for (const Run &run : detail.runs) {
        if (run.file != file)
            continue;
        for (const std::size_t index : run.lines) {
            const HeldLine &held = detail.lines.lines[index];
            quotes.push_back(Quote{index, 1, held.rdd_line, 22 + decimal_size(held.rdd_line) + decimal_size(held.rod_line),
                                   rdd_text(held), detail.differing[index] ? 0 : 1});
        }
    }
    return quotes;
}

// Every line of the scenario, once, with the runs it came from: those of
// differing steps first, then those of runs that did not pass:
// "RDD line N, file F line M: TEXT".
std::vector<Quote> DocumentWriter::scenario_quotes(const CaseDetail &detail) const
{
    std::vector<bool> not_passed(RDD_MAX_FILES + 1, false);
    for (const Run &run : detail.runs)
        not_passed[run.file] = run.verdict != RunVerdict::passed;
    std::vector<Quote> quotes;
    const std::vector<HeldLine> &lines = detail.lines.lines;
    for (std::size_t i = 0; i < lines.size();) {
        std::size_t prefix = 11 + decimal_size(lines[i].rdd_line);
        int priority = 2;
        std::size_t j = i;
        for (; j < lines.size() && lines[j].rdd_line == lines[i].rdd_line; ++j) {
            prefix += 13 + decimal_size(lines[j].file) + decimal_size(lines[j].rod_line);
            priority = std::min(priority, detail.differing[j] ? 0 : not_passed[lines[j].file] ? 1 : 2);
        }
        quotes.push_back(Quote{i, j - i, lines[i].rdd_line, prefix, rdd_text(lines[i]), priority});
        i = j;
    }
    return quotes;
}

std::string DocumentWriter::quote_text(const CaseDetail &detail, const Quote &quote, bool with_files) const
{
    const std::vector<HeldLine> &lines = detail.lines.lines;
    const HeldLine &held = lines[quote.first];
    std::string out = "RDD line " + std::to_string(held.rdd_line);
    if (with_files) {
        for (std::size_t i = quote.first; i < quote.first + quote.count; ++i)
            out += ", file " + std::to_string(lines[i].file) + " line " + std::to_string(lines[i].rod_line);
    } else {
        out += ", ROD line " + std::to_string(held.rod_line);
    }
    out += ": ";
    append_xml_content(out, quote.text);
    out += '\n';
    return out;
}

// The quotes that fit in `allowance` bytes, in their order, and a note of
// those left out and where the page shows them. Measuring, nothing is
// quoted and the note is counted at its longest.
std::string DocumentWriter::quoted(const CaseDetail &detail, const std::vector<Quote> &quotes, bool with_files,
                                   std::size_t allowance, const JunitCase &test_case, std::size_t &used) const
{
    std::vector<bool> kept(quotes.size(), false);
    used = 0;
    for (int priority = 0; priority <= 2 && !measuring_; ++priority)
        for (std::size_t i = 0; i < quotes.size() && used < allowance; ++i) {
            // Escaping only lengthens a text: most lines of a large scenario
            // are ruled out before it is measured.
            const Quote &quote = quotes[i];
            if (kept[i] || quote.priority != priority || used + quote.prefix + quote.text.size() + 1 > allowance)
                continue;
            const std::size_t size = quote.prefix + xml_content_size(quote.text) + 1;
            if (used + size <= allowance) {
                kept[i] = true;
                used += size;
            }
        }
    std::string out;
    std::vector<uint64_t> left;
    for (std::size_t i = 0; i < quotes.size(); ++i) {
        if (kept[i])
            out += quote_text(detail, quotes[i], with_files);
        else
            left.push_back(quotes[i].rdd_line);
    }
    if (left.empty() && !measuring_)
        return out;
    const std::size_t block = test_case.block_end - test_case.block_at;
    std::string ranges = measuring_ ? std::string(NOTE_RANGES_LIMIT + 3, '0') : ranges_text(left);
    if (ranges.size() > NOTE_RANGES_LIMIT)
        ranges = std::string(cut(ranges, NOTE_RANGES_LIMIT)) + "...";
    const std::string count = measuring_ ? std::string(decimal_size(block), '0') : std::to_string(left.size());
    return out + count + " more lines left out (RDD lines " + ranges + "); the page shows the scenario: " +
           xml_content(link(test_case)) + "\n";
}

std::string DocumentWriter::case_xml(uint32_t index, const CaseDetail *detail, std::size_t allowance,
                                     std::size_t &used) const
{
    const JunitCase &test_case = report_.cases[index];
    const JunitSuite &suite = report_.suites[test_case.suite];
    std::string out = "    <testcase name=\"" + xml_text(report_.shown_name(index)) + "\" classname=\"" +
                      xml_text(report_.header.plan + "." + suite.name) + "\" time=\"" +
                      seconds_text(test_case.seconds) + "\"";
    used = 0;
    if (!detail)
        return out + "/>\n";
    out += ">\n";
    const std::string name(report_.name_of(test_case));
    const Run *shown = detail->listed.empty() ? nullptr : &detail->listed.front();
    const std::vector<Quote> scenario = detail->lines_read ? scenario_quotes(*detail) : std::vector<Quote>{};
    std::size_t quote_allowance = allowance;
    if (test_case.outcome != JunitOutcome::passed) {
        // The differing values come first out of the allowance, in the
        // message and in the text.
        std::string why = runs_summary(test_case, *detail);
        const std::string differing = detail->lines_read ? differences(*detail) : std::string();
        const std::size_t differing_size = xml_text(differing).size() + xml_content_size(differing);
        if (differing_size <= allowance) {
            why += differing;
            used += differing_size;
            quote_allowance -= differing_size;
        }
        const std::string where = " (" + options_.rdd_name + " line " + std::to_string(test_case.line) + ")";
        const char *element = "failure";
        std::string attributes = " message=\"" + xml_text(why) + "\"";
        std::string body;
        switch (test_case.outcome) {
        case JunitOutcome::failed:
            body = "Scenario " + name + " failed: " + detail->title + where;
            attributes += " type=\"failed\"";
            break;
        case JunitOutcome::inconclusive:
            element = "skipped";
            body = "Scenario " + name + " is inconclusive: " + detail->title + where;
            break;
        default:
            element = "error";
            body = "Scenario " + name + (test_case.closed ? " has an unknown verdict: " : " is never closed: ") +
                   detail->title + where;
            attributes += test_case.closed ? " type=\"unknown-verdict\"" : " type=\"never-closed\"";
            break;
        }
        body = xml_content(body + "\n" + why + "\n");
        if (shown) {
            std::vector<Quote> quotes;
            if (detail->lines_read)
                quotes = run_quotes(*detail, shown->file);
            std::size_t scenario_need = 0;
            for (const Quote &quote : scenario)
                scenario_need += quote.prefix + quote.text.size() + 1;
            // The failing run's lines may take half the allowance, and what
            // the scenario's lines leave of the other half.
            const std::size_t run_allowance =
                std::min(options_.quote_limit,
                         std::max(quote_allowance / 2, quote_allowance - std::min(quote_allowance, scenario_need)));
            std::size_t run_used = 0;
            body += xml_content("Lines of " + file_name(shown->file) + " (file " + std::to_string(shown->file) + "), " +
                                run_verdict_word(shown->verdict) + (shown->why.empty() ? "" : ": " + shown->why) +
                                ":\n") +
                    quoted(*detail, quotes, false, run_allowance, test_case, run_used);
            used += run_used;
            quote_allowance -= run_used;
        }
        out += "      <" + std::string(element) + attributes + ">" + body + "</" + element + ">\n";
    }
    std::string runs = "Runs:";
    for (std::size_t i = 0; i < detail->listed.size() && i < RUNS_LISTED; ++i) {
        const Run &run = detail->listed[i];
        runs += (i ? "; " : " ") + file_name(run.file) + " (file " + std::to_string(run.file) + ") " +
                run_verdict_word(run.verdict) + (run.why.empty() ? "" : " (" + run.why + ")");
    }
    if (detail->listed.size() > RUNS_LISTED)
        runs += "; and " + std::to_string(detail->listed.size() - RUNS_LISTED) + " more";
    std::string output = runs + "\n";
    const std::string files = file_ranges(detail->run_files);
    if (files != suite_files_[test_case.suite])
        output += "Joined from files " + files + "\n";
    output += "Page: " + link(test_case) + "\n[[ATTACHMENT|" + options_.page + "]]\nLines of the scenario:\n";
    std::size_t scenario_used = 0;
    out += "      <system-out>" + xml_content(output) +
           quoted(*detail, scenario, true, std::min(options_.quote_limit, quote_allowance), test_case, scenario_used) +
           "</system-out>\n";
    used += scenario_used;
    return out + "    </testcase>\n";
}

std::string DocumentWriter::suite_head(const JunitSuite &suite) const
{
    Counts counts;
    for (const uint32_t i : suite.cases)
        counts.add(report_.cases[i]);
    const std::string stamp = iso_timestamp(report_.header.stamp);
    std::string out = "  <testsuite name=\"" + xml_text(suite.name) + "\"" + counts.attributes() + " skipped=\"" +
                      std::to_string(counts.skipped) + "\" time=\"" + seconds_text(counts.seconds) + "\"" +
                      (stamp.empty() ? "" : " timestamp=\"" + stamp + "\"") + ">\n";
    std::string properties;
    const auto property = [&properties](const std::string &name, std::string_view value) {
        properties += "      <property name=\"" + xml_text(name) + "\" value=\"" + xml_text(value) + "\"/>\n";
    };
    for (const uint32_t number : suite.files) {
        const int32_t entry = report_.sources.entry_of_file[number];
        if (entry < 0)
            continue;
        const RddFile &file = report_.files[static_cast<std::size_t>(entry)];
        const std::string prefix = "rod_file." + std::to_string(number) + ".";
        property(prefix + "name", file.name);
        property(prefix + "directory", file.relative_dir.empty() ? file.absolute_dir : file.relative_dir);
        property(prefix + "size", file.size);
        property(prefix + "crc", file.crc);
        property(prefix + "number", std::to_string(number));
    }
    return properties.empty() ? out : out + "    <properties>\n" + properties + "    </properties>\n";
}

std::string DocumentWriter::root_head() const
{
    Counts counts;
    for (const JunitCase &test_case : report_.cases)
        counts.add(test_case);
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"" + xml_text(report_.header.plan) + "\"" +
           counts.attributes() + " time=\"" + seconds_text(counts.seconds) + "\">\n";
}

// Twice through the cases: first to measure what the document needs
// besides quoted lines and differing values, reading only the DS and FS
// lines of the detailed cases, then to write it, sharing out what is left.
bool DocumentWriter::write(const std::function<bool(std::string_view)> &sink)
{
    static const std::string SUITE_END = "  </testsuite>\n", ROOT_END = "</testsuites>\n";
    CaseDetail detail;
    std::size_t used = 0;
    measuring_ = true;
    uint64_t fixed = root_head().size() + ROOT_END.size();
    std::vector<uint64_t> measured; // of each detailed case, in document order
    for (const JunitSuite &suite : report_.suites) {
        fixed += suite_head(suite).size() + SUITE_END.size();
        for (const uint32_t i : suite.cases) {
            if (!detailed(report_.cases[i])) {
                fixed += case_xml(i, nullptr, 0, used).size();
                continue;
            }
            read_ends(report_.cases[i], detail);
            measured.push_back(case_xml(i, &detail, 0, used).size());
            fixed += measured.back();
        }
    }
    measuring_ = false;

    // A case may spend its even share of what is left; what it does not
    // spend, and what its notes were measured above their size, goes to
    // those after it.
    uint64_t left = options_.document_limit > fixed ? options_.document_limit - fixed : 0;
    const uint64_t most = 2 * options_.quote_limit + 2 * 6 * MESSAGE_LIMIT;
    std::size_t next = 0;
    std::string buffer;
    const auto put = [&](const std::string &piece) {
        buffer += piece;
        if (buffer.size() < FLUSH_BYTES)
            return true;
        const bool written = sink(buffer);
        buffer.clear();
        return written;
    };
    if (!put(root_head()))
        return false;
    for (const JunitSuite &suite : report_.suites) {
        if (!put(suite_head(suite)))
            return false;
        for (const uint32_t i : suite.cases) {
            if (!detailed(report_.cases[i])) {
                if (!put(case_xml(i, nullptr, 0, used)))
                    return false;
                continue;
            }
            read_ends(report_.cases[i], detail);
            read_lines(report_.cases[i], detail);
            const uint64_t share = std::min<uint64_t>(most, left / (measured.size() - next));
            const std::string xml = case_xml(i, &detail, static_cast<std::size_t>(share), used);
            left = left + measured[next] - std::min<uint64_t>(left + measured[next], xml.size());
            ++next;
            if (!put(xml))
                return false;
        }
        if (!put(SUITE_END))
            return false;
    }
    return put(ROOT_END) && (buffer.empty() || sink(buffer));
}

} // namespace

bool junit_write(JunitReport &report, const JunitOptions &options, const std::function<bool(std::string_view)> &sink)
{
    DocumentWriter writer(report, options);
    return writer.write(sink);
}

std::string junit_xml(JunitReport &report, const JunitOptions &options)
{
    std::string xml;
    junit_write(report, options, [&xml](std::string_view piece) {
        xml.append(piece);
        return true;
    });
    return xml;
}
