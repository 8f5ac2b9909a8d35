#include "junitxml.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <map>

namespace {

// The microsecond is the basic tick of the suite's clocks: an SY time unit
// of 1000 ticks is labelled "ms", one of 100 ticks "100us".
constexpr double SECONDS_PER_TICK = 1e-6;
constexpr std::size_t HEADER_SCAN_LIMIT = 65536;

JunitOutcome outcome_of(const RddMark &mark)
{
    if (mark.verdict == RddVerdict::unknown)
        return JunitOutcome::unknown;
    if (mark.verdict_text == "1")
        return JunitOutcome::failed;
    if (mark.verdict_text == "2")
        return JunitOutcome::inconclusive;
    return mark.verdict_text == "0" ? JunitOutcome::passed : JunitOutcome::unknown;
}

std::vector<uint32_t> distinct_files(const std::vector<RddOrigin> &origins)
{
    std::vector<uint32_t> files;
    for (const RddOrigin &origin : origins)
        if (std::find(files.begin(), files.end(), origin.file) == files.end())
            files.push_back(origin.file);
    return files;
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

struct Collector {
    explicit Collector(JunitReport &target) : report(target) {}

    JunitReport &report;
    bool header_seen = false;
    std::optional<uint32_t> ticks;
    std::vector<std::string> scripts = std::vector<std::string>(RDD_MAX_FILES + 1);
    std::vector<JunitCase> cases;
    std::vector<std::optional<double>> spans; // per case: its duration in report units

    RddVisitor visitor()
    {
        RddVisitor visitor;
        visitor.header = [this](const RddHeader &header) {
            report.header = header;
            header_seen = true;
        };
        visitor.file = [this](const RddFile &file) {
            if (!report.files[file.number])
                report.files[file.number] = file;
        };
        visitor.script = [this](const RddScript &script) {
            if (script.file >= 1 && script.file <= RDD_MAX_FILES && scripts[script.file].empty())
                scripts[script.file] = script.name;
        };
        visitor.unit = [this](const RddUnit &unit) {
            if (!ticks)
                ticks = unit.ticks;
        };
        visitor.mark = [this](const RddMark &mark) {
            if (mark.row != RddMark::scenario)
                return;
            JunitCase test_case;
            test_case.name = std::string(mark.name);
            test_case.description = std::string(mark.title);
            test_case.line = mark.line;
            test_case.outcome = outcome_of(mark);
            test_case.verdict_text = std::string(mark.verdict_text);
            test_case.files = distinct_files(*mark.origins);
            cases.push_back(std::move(test_case));
            spans.push_back(scenario_units(mark));
        };
        return visitor;
    }

    // The suite of file `number`: its test script, else its ROD file's name.
    std::string suite_name(uint32_t number) const
    {
        if (number >= 1 && number <= RDD_MAX_FILES) {
            if (!scripts[number].empty())
                return scripts[number];
            if (report.files[number]) {
                const std::string &name = report.files[number]->name;
                return name.substr(0, name.rfind('.'));
            }
        }
        return report.header.plan;
    }

    void build_suites()
    {
        std::map<std::string, std::size_t> by_name;
        const auto suite_of = [&](uint32_t number) -> JunitSuite & {
            const std::string name = suite_name(number);
            const auto [entry, added] = by_name.try_emplace(name, report.suites.size());
            if (added)
                report.suites.push_back(JunitSuite{name, {}, {}});
            return report.suites[entry->second];
        };
        for (uint32_t number = 1; number <= RDD_MAX_FILES; ++number)
            if (report.files[number] || !scripts[number].empty())
                suite_of(number).files.push_back(number);
        for (std::size_t i = 0; i < cases.size(); ++i) {
            if (spans[i] && ticks)
                cases[i].seconds = *spans[i] * double(*ticks) * SECONDS_PER_TICK;
            const uint32_t first = cases[i].files.empty() ? 0 : cases[i].files.front();
            suite_of(first).cases.push_back(std::move(cases[i]));
        }
    }
};

bool is_rdd_header(std::string_view first_line)
{
    RddLine line;
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

void start_report(JunitReport &report)
{
    report = JunitReport{};
    report.files.assign(RDD_MAX_FILES + 1, std::nullopt);
}

} // namespace

bool junit_collect(const std::string &path, JunitReport &report, std::string &error)
{
    start_report(report);
    std::string head;
    if (!read_head(path, head, error))
        return false;
    const std::size_t end = head.find('\n');
    if ((end == std::string::npos && head.size() == HEADER_SCAN_LIMIT) ||
        !is_rdd_header(std::string_view(head).substr(0, end))) {
        error = path + " is not an RDD file";
        return false;
    }
    Collector collector(report);
    std::string read_error;
    if (!rdd_read(path, collector.visitor(), report.diagnostics, read_error)) {
        error = read_error;
        return false;
    }
    collector.build_suites();
    return true;
}

bool junit_collect_text(std::string_view text, const std::string &name, JunitReport &report, std::string &error)
{
    start_report(report);
    if (!is_rdd_header(text.substr(0, text.find('\n')))) {
        error = name + " is not an RDD file";
        return false;
    }
    Collector collector(report);
    rdd_read_text(text, collector.visitor(), report.diagnostics);
    collector.build_suites();
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

} // namespace

std::string xml_text(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
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
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        // Kept as references so that attribute values keep them too.
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        default: out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
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

struct Counts {
    std::size_t tests = 0, failures = 0, skipped = 0;
    double seconds = 0;

    void add(const JunitCase &test_case)
    {
        ++tests;
        failures += test_case.outcome == JunitOutcome::failed;
        skipped += test_case.outcome == JunitOutcome::inconclusive || test_case.outcome == JunitOutcome::unknown;
        seconds += test_case.seconds;
    }
};

std::string count_attributes(const Counts &counts)
{
    return " tests=\"" + std::to_string(counts.tests) + "\" failures=\"" + std::to_string(counts.failures) +
           "\" errors=\"0\" skipped=\"" + std::to_string(counts.skipped) + "\" time=\"" +
           seconds_text(counts.seconds) + "\"";
}

std::string property(const std::string &indent, const std::string &name, std::string_view value)
{
    return indent + "<property name=\"" + xml_text(name) + "\" value=\"" + xml_text(value) + "\"/>\n";
}

std::string file_label(const JunitReport &report, uint32_t number)
{
    const std::string id = "file " + std::to_string(number);
    if (number < report.files.size() && report.files[number])
        return report.files[number]->name + " (" + id + ")";
    return id;
}

std::string suite_properties(const JunitReport &report, const JunitSuite &suite)
{
    std::string out;
    for (const uint32_t number : suite.files) {
        if (!report.files[number])
            continue;
        const RddFile &file = *report.files[number];
        const std::string prefix = "rod_file." + std::to_string(number) + ".";
        const std::string indent = "      ";
        out += property(indent, prefix + "name", file.name);
        out += property(indent, prefix + "directory", file.relative_dir.empty() ? file.absolute_dir : file.relative_dir);
        out += property(indent, prefix + "size", file.size);
        out += property(indent, prefix + "crc", file.crc);
        out += property(indent, prefix + "number", std::to_string(number));
    }
    return out.empty() ? out : "    <properties>\n" + out + "    </properties>\n";
}

std::string verdict_message(const JunitCase &test_case)
{
    if (test_case.outcome == JunitOutcome::inconclusive)
        return "inconclusive verdict";
    if (test_case.verdict_text.empty())
        return "unknown verdict: the scenario is never closed";
    return "unknown verdict \"" + test_case.verdict_text + "\"";
}

std::string case_element(const JunitReport &report, const JunitSuite &suite, const JunitCase &test_case,
                         const std::string &rdd_name)
{
    std::string joined;
    for (const uint32_t number : test_case.files)
        joined += (joined.empty() ? "" : ", ") + file_label(report, number);
    std::string out = "    <testcase name=\"" + xml_text(test_case.name) + "\" classname=\"" +
                      xml_text(report.header.plan + "." + suite.name) + "\" time=\"" +
                      seconds_text(test_case.seconds) + "\">\n";
    out += "      <properties>\n" + property("        ", "joined_from", joined) + "      </properties>\n";
    const std::string where = rdd_name + " line " + std::to_string(test_case.line);
    switch (test_case.outcome) {
    case JunitOutcome::failed:
        out += "      <failure message=\"" + xml_text(test_case.description) + "\" type=\"failed\">" +
               xml_text("Scenario " + test_case.name + " failed: " + test_case.description + " (" + where + ")") +
               "</failure>\n";
        break;
    case JunitOutcome::inconclusive:
    case JunitOutcome::unknown:
        out += "      <skipped message=\"" + xml_text(verdict_message(test_case) + " (" + where + ")") + "\"/>\n";
        break;
    case JunitOutcome::passed: break;
    }
    return out + "    </testcase>\n";
}

} // namespace

std::string junit_xml(const JunitReport &report, const std::string &rdd_name)
{
    const std::string stamp = iso_timestamp(report.header.stamp);
    const std::string stamp_attribute = stamp.empty() ? "" : " timestamp=\"" + stamp + "\"";
    Counts all;
    std::string suites;
    for (const JunitSuite &suite : report.suites) {
        Counts counts;
        std::string cases;
        for (const JunitCase &test_case : suite.cases) {
            counts.add(test_case);
            all.add(test_case);
            cases += case_element(report, suite, test_case, rdd_name);
        }
        suites += "  <testsuite name=\"" + xml_text(suite.name) + "\"" + stamp_attribute + count_attributes(counts) +
                  ">\n" + suite_properties(report, suite) + cases + "  </testsuite>\n";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"" + xml_text(report.header.plan) + "\"" +
           stamp_attribute + count_attributes(all) + ">\n" + suites + "</testsuites>\n";
}
