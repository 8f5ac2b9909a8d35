#include "umlpage.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <set>

namespace {

constexpr int LABEL_WIDTH = 190;
constexpr int RIGHT_MARGIN = 24;
constexpr std::size_t TITLE_BYTES = 200;
constexpr int ROWS = 4; // instance, scenario, event, rendezvous

const char *const ROW_NOUN[ROWS] = {"instance blocks", "scenarios", "events", "rendezvous"};

// What the first pass learns.
struct Survey {
    RddHeader header;
    bool have_header = false;
    std::vector<RddFile> files;
    uint64_t files_beyond = 0;
    RddUnit unit;
    bool have_unit = false;
    std::set<uint32_t> lane_set;
    uint32_t last_origin = 0;
    std::map<uint32_t, std::array<uint64_t, ROWS>> per_lane;
    bool have_time = false;
    uint32_t first = 0, last = 0;
    uint64_t instances = 0, scenarios = 0, failed = 0, inconclusive = 0, unknown = 0, events = 0, rendezvous = 0;
};

struct ScenarioRow {
    std::string name, key, title;
    bool timed = false;
    uint32_t start = 0, end = 0;
    RddVerdict verdict = RddVerdict::passed;
    std::vector<uint32_t> files;
    uint64_t line = 0;
};

// One mark drawn as it is.
struct Single {
    uint32_t start = 0, end = 0;
    RddVerdict verdict = RddVerdict::passed;
    uint64_t line = 0;
    std::string text;
};

// One column of a row drawn per column.
struct Column {
    std::array<int64_t, 4> cover_delta{}; // by verdict: +1 where bars start, -1 after they end
    std::array<uint32_t, 4> started{};    // by verdict: marks that start here
    uint64_t first_line = 0;
};

struct LaneRow {
    bool aggregated = false;
    std::vector<Single> singles;
    std::vector<Column> columns;
};

std::vector<uint32_t> distinct_files(const std::vector<RddOrigin> &origins)
{
    std::vector<uint32_t> files;
    files.reserve(origins.size());
    for (const RddOrigin &origin : origins)
        files.push_back(origin.file);
    std::sort(files.begin(), files.end());
    files.erase(std::unique(files.begin(), files.end()), files.end());
    return files;
}

std::string shortened(std::string_view text)
{
    if (text.size() <= TITLE_BYTES)
        return std::string(text);
    return std::string(text.substr(0, TITLE_BYTES)) + " ...";
}

int verdict_rank(RddVerdict verdict)
{
    switch (verdict) {
    case RddVerdict::failed: return 3;
    case RddVerdict::inconclusive: return 2;
    case RddVerdict::unknown: return 1;
    case RddVerdict::passed: break;
    }
    return 0;
}

RddVerdict verdict_of_rank(int rank)
{
    static constexpr RddVerdict by_rank[] = {RddVerdict::passed, RddVerdict::unknown, RddVerdict::inconclusive,
                                             RddVerdict::failed};
    return by_rank[rank];
}

// Keeps the table bounded: every scenario up to the limit, then only the
// ones that did not pass, up to the limit again.
struct ScenarioTable {
    std::size_t limit = 0;
    std::vector<ScenarioRow> rows;
    std::size_t others = 0;
    uint64_t omitted = 0;

    void add(const RddMark &mark)
    {
        const bool passed = mark.verdict == RddVerdict::passed;
        if (rows.size() >= limit && (passed || others >= limit)) {
            ++omitted;
            return;
        }
        if (rows.size() >= limit)
            ++others;
        rows.push_back(ScenarioRow{std::string(mark.name), std::string(mark.key), std::string(mark.title), mark.timed,
                                   mark.start, mark.end, mark.verdict, distinct_files(*mark.origins), mark.line});
    }
};

void survey_mark(Survey &survey, ScenarioTable &table, const RddMark &mark)
{
    switch (mark.row) {
    case RddMark::instance: ++survey.instances; break;
    case RddMark::scenario:
        ++survey.scenarios;
        survey.failed += mark.verdict == RddVerdict::failed;
        survey.inconclusive += mark.verdict == RddVerdict::inconclusive;
        survey.unknown += mark.verdict == RddVerdict::unknown;
        table.add(mark);
        break;
    case RddMark::event: ++survey.events; break;
    case RddMark::rendezvous: ++survey.rendezvous; break;
    }
    for (const RddSpan &span : *mark.spans) {
        if (!survey.have_time) {
            survey.first = span.start;
            survey.last = span.end;
            survey.have_time = true;
        }
        survey.first = std::min(survey.first, span.start);
        survey.last = std::max(survey.last, span.end);
        ++survey.per_lane[span.file][mark.row];
    }
}

RddVisitor survey_visitor(Survey &survey, ScenarioTable &table)
{
    RddVisitor visitor;
    visitor.header = [&survey](const RddHeader &header) {
        survey.header = header;
        survey.have_header = true;
    };
    visitor.file = [&survey](const RddFile &file) {
        if (survey.files.size() < 5000)
            survey.files.push_back(file);
        else
            ++survey.files_beyond;
        survey.lane_set.insert(file.number);
    };
    visitor.unit = [&survey](const RddUnit &unit) {
        if (!survey.have_unit)
            survey.unit = unit;
        survey.have_unit = true;
    };
    visitor.origin = [&survey](const RddOrigin &origin) {
        if (origin.file != survey.last_origin || survey.lane_set.empty()) {
            survey.lane_set.insert(origin.file);
            survey.last_origin = origin.file;
        }
    };
    visitor.mark = [&survey, &table](const RddMark &mark) { survey_mark(survey, table, mark); };
    return visitor;
}

// Second pass: the drawing data of every lane row.
struct Drawing {
    TimeScale scale;
    std::vector<uint32_t> lanes;
    int allowance = 0;
    std::vector<std::array<LaneRow, ROWS>> rows;

    void add(const RddMark &mark)
    {
        for (const RddSpan &span : *mark.spans) {
            const int lane = lane_of(lanes, span.file);
            if (lane >= 0)
                add_to(rows[static_cast<std::size_t>(lane)][mark.row], mark, span);
        }
    }

    void add_to(LaneRow &row, const RddMark &mark, const RddSpan &span)
    {
        if (!row.aggregated) {
            row.singles.push_back(Single{span.start, span.end, mark.verdict, mark.line, shortened(mark.text)});
            return;
        }
        const int from = time_to_column(scale, span.start, allowance);
        const int to = time_to_column(scale, span.end, allowance);
        const int rank = verdict_rank(mark.verdict);
        Column &start = row.columns[static_cast<std::size_t>(from)];
        ++start.cover_delta[static_cast<std::size_t>(rank)];
        ++start.started[static_cast<std::size_t>(rank)];
        if (start.first_line == 0)
            start.first_line = mark.line;
        if (to + 1 < allowance)
            --row.columns[static_cast<std::size_t>(to + 1)].cover_delta[static_cast<std::size_t>(rank)];
    }
};

std::string time_text(uint32_t time, const Survey &survey)
{
    std::string text = std::to_string(time);
    if (survey.have_unit && !survey.unit.label.empty())
        text += " " + survey.unit.label;
    return text;
}

std::string format_count(uint64_t value) { return std::to_string(value); }

const char *const STYLE = R"css(
body{font:14px/1.4 system-ui,-apple-system,"Segoe UI",Helvetica,Arial,sans-serif;margin:0;color:#1d2330;background:#f6f7f9}
header{background:#23304a;color:#fff;padding:14px 24px}
header h1{margin:0;font-size:22px}header p{margin:4px 0 0;color:#c9d3e6}
main{padding:12px 24px}
section{background:#fff;border:1px solid #dde1e8;border-radius:6px;margin:0 0 14px;padding:10px 14px}
h2{font-size:16px;margin:2px 0 8px}
#counts{display:flex;gap:12px;flex-wrap:wrap;background:none;border:none;padding:0}
.count{background:#fff;border:1px solid #dde1e8;border-radius:6px;padding:8px 16px;min-width:120px}
.count b{display:block;font-size:24px}.count.bad b{color:#c62828}
table{border-collapse:collapse;width:100%}th,td{text-align:left;padding:3px 8px;border-bottom:1px solid #eef0f4;vertical-align:top}
th{background:#f0f2f6;font-weight:600}td.num{text-align:right;font-variant-numeric:tabular-nums}
.badge{display:inline-block;padding:0 8px;border-radius:9px;color:#fff;font-size:12px;font-weight:600}
.badge.passed{background:#2e7d32}.badge.failed{background:#c62828}.badge.inconclusive{background:#ef8f00}.badge.unknown{background:#757575}
tr.failed td{background:#fdecea}tr.inconclusive td{background:#fff4e0}
.legend span{margin-right:16px;white-space:nowrap}.legend i{display:inline-block;width:14px;height:10px;margin-right:4px;vertical-align:middle}
.timeline{overflow-x:auto}svg text{font-size:11px;fill:#333}
svg .inst{fill:#4a72b0}svg .sc.passed{fill:#43a047}svg .sc.failed{fill:#d32f2f}svg .sc.inconclusive{fill:#f59e0b}svg .sc.unknown{fill:#9e9e9e}
svg .ev{fill:#263238}svg .rd{stroke:#8e24aa;stroke-width:1.5;stroke-dasharray:3 2}svg .grid{stroke:#e3e6eb}
svg .lane{fill:#fafbfc}svg .lane.odd{fill:#f1f3f6}svg .agg{opacity:.75}
.note{color:#6b7280}code{font-size:12px}summary{cursor:pointer;color:#4b5563;margin-bottom:4px}
)css";

class PageWriter {
public:
    PageWriter(std::ostream &out, const Survey &survey, const ScenarioTable &table, const Drawing &drawing,
               const RddDiagnostics &diagnostics, const std::string &display_name)
        : out_(out), survey_(survey), table_(table), drawing_(drawing), diagnostics_(diagnostics),
          display_name_(display_name)
    {
    }

    void write()
    {
        const std::string plan = survey_.have_header ? survey_.header.plan : std::string();
        out_ << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>"
             << html_text(plan.empty() ? display_name_ : plan + " - " + display_name_) << "</title>\n<style>" << STYLE
             << "</style></head>\n<body>\n";
        header(plan);
        out_ << "<main>\n";
        counts();
        files();
        timeline();
        scenarios();
        damage();
        out_ << "</main>\n</body></html>\n";
    }

private:
    void header(const std::string &plan)
    {
        out_ << "<header><h1>Test plan <span id=\"plan\">" << html_text(plan.empty() ? "(unknown)" : plan)
             << "</span></h1>\n<p>Merged report <code>" << html_text(display_name_) << "</code>";
        if (survey_.have_header) {
            out_ << " &middot; written <span id=\"stamp\">" << html_text(survey_.header.stamp) << "</span>";
            if (!survey_.header.version.empty())
                out_ << " &middot; format " << html_text(survey_.header.version);
        }
        if (survey_.have_unit)
            out_ << " &middot; times in " << html_text(survey_.unit.label.empty() ? "units" : survey_.unit.label)
                 << " (1 unit = " << survey_.unit.ticks << " ticks)";
        out_ << "</p></header>\n";
    }

    void count(const char *id, uint64_t value, const char *noun, bool bad)
    {
        out_ << "<div class=\"count" << (bad ? " bad" : "") << "\" id=\"" << id << "\"><b>" << format_count(value)
             << "</b>" << noun << "</div>";
    }

    void counts()
    {
        const uint64_t files = survey_.files.empty() ? survey_.lane_set.size() : survey_.files.size() + survey_.files_beyond;
        out_ << "<section id=\"counts\">";
        count("count-files", files, "files", false);
        count("count-instances", survey_.instances, "instance blocks", false);
        count("count-scenarios", survey_.scenarios, "scenarios", false);
        count("count-failed", survey_.failed, "failed scenarios", survey_.failed > 0);
        if (survey_.inconclusive > 0)
            count("count-inconclusive", survey_.inconclusive, "inconclusive scenarios", false);
        out_ << "</section>\n";
    }

    void files()
    {
        out_ << "<section id=\"files\"><h2>Files merged</h2>\n";
        if (survey_.files.empty()) {
            out_ << "<p class=\"note\">The report names no files (no CF lines).</p></section>\n";
            return;
        }
        // A long list would push the timeline out of sight: it starts folded.
        out_ << "<details" << (survey_.files.size() <= 20 ? " open" : "") << "><summary>" << survey_.files.size()
             << " CF lines</summary>\n";
        out_ << "<table><tr><th>#</th><th>ROD file</th><th>Directory</th><th>Absolute directory</th>"
                "<th>Size</th><th>CRC</th></tr>\n";
        for (const RddFile &file : survey_.files)
            out_ << "<tr class=\"file\" id=\"file-" << file.number << "\"><td class=\"num\">" << file.number
                 << "</td><td>" << html_text(file.name) << "</td><td>" << html_text(file.relative_dir) << "</td><td>"
                 << html_text(file.absolute_dir) << "</td><td class=\"num\">" << html_text(file.size)
                 << "</td><td class=\"num\">" << html_text(file.crc) << "</td></tr>\n";
        out_ << "</table></details>";
        if (survey_.files_beyond > 0)
            out_ << "<p class=\"note\">" << survey_.files_beyond << " more CF lines not listed.</p>";
        out_ << "</section>\n";
    }

    std::string lane_label(uint32_t file) const
    {
        for (const RddFile &entry : survey_.files)
            if (entry.number == file)
                return "#" + std::to_string(file) + " " + entry.name;
        return "#" + std::to_string(file);
    }

    void legend()
    {
        out_ << "<p class=\"legend\"><span><i style=\"background:#4a72b0\"></i>instance block (XI&ndash;YI)</span>"
                "<span><i style=\"background:#43a047\"></i>scenario passed</span>"
                "<span><i style=\"background:#d32f2f\"></i>scenario failed</span>"
                "<span><i style=\"background:#f59e0b\"></i>scenario inconclusive</span>"
                "<span><i style=\"background:#263238;width:3px\"></i>event (EV)</span>"
                "<span><i style=\"background:#8e24aa;width:3px\"></i>rendezvous (RD)</span></p>\n";
    }

    void timeline()
    {
        out_ << "<section id=\"timeline\"><h2>Timeline</h2>\n";
        if (!survey_.have_time || drawing_.lanes.empty()) {
            out_ << "<p class=\"note\">No timed lines to draw.</p></section>\n";
            return;
        }
        legend();
        const TimeScale &scale = drawing_.scale;
        const int lanes = static_cast<int>(drawing_.lanes.size());
        const int width = LABEL_WIDTH + scale.width + RIGHT_MARGIN;
        const int height = lane_top(lanes) + 6;
        out_ << "<div class=\"timeline\"><svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\""
             << height << "\" viewBox=\"0 0 " << width << ' ' << height << "\">\n";
        for (int lane = 0; lane < lanes; ++lane) {
            out_ << "<rect class=\"lane" << (lane % 2 ? " odd" : "") << "\" x=\"0\" y=\"" << lane_top(lane)
                 << "\" width=\"" << width << "\" height=\"" << LANE_HEIGHT << "\"/><text x=\"6\" y=\""
                 << lane_top(lane) + 21 << "\">" << html_text(shortened_label(lane_label(drawing_.lanes[lane])))
                 << "</text>\n";
        }
        axis(height);
        out_ << "<g id=\"marks\">\n";
        for (int lane = 0; lane < lanes; ++lane)
            for (int row = 0; row < ROWS; ++row)
                lane_row(lane, row, drawing_.rows[static_cast<std::size_t>(lane)][static_cast<std::size_t>(row)]);
        out_ << "</g></svg></div>\n";
        if (survey_.lane_set.size() > drawing_.lanes.size())
            out_ << "<p class=\"note\">" << survey_.lane_set.size() - drawing_.lanes.size()
                 << " more file numbers not drawn.</p>";
        out_ << "</section>\n";
    }

    static std::string shortened_label(const std::string &label)
    {
        return label.size() <= 28 ? label : label.substr(0, 26) + "..";
    }

    void axis(int height)
    {
        const TimeScale &scale = drawing_.scale;
        for (const uint32_t tick : time_ticks(scale, 8)) {
            const double x = LABEL_WIDTH + time_to_x(scale, tick);
            out_ << "<line class=\"grid\" x1=\"" << x << "\" y1=\"" << AXIS_HEIGHT - 6 << "\" x2=\"" << x << "\" y2=\""
                 << height << "\"/><text x=\"" << x << "\" y=\"14\" text-anchor=\"middle\">" << html_text(time_text(tick, survey_))
                 << "</text>\n";
        }
    }

    double x_of(uint32_t time) const { return LABEL_WIDTH + time_to_x(drawing_.scale, time); }

    // Row geometry inside a lane: y offset and height.
    static std::pair<int, int> row_box(int row)
    {
        static constexpr std::pair<int, int> boxes[ROWS] = {{3, 7}, {12, 10}, {25, 6}, {1, LANE_HEIGHT - 2}};
        return boxes[row];
    }

    void lane_row(int lane, int row, const LaneRow &data)
    {
        const auto [offset, box_height] = row_box(row);
        const int y = lane_top(lane) + offset;
        if (!data.aggregated) {
            for (const Single &single : data.singles)
                single_mark(row, y, box_height, single);
        } else {
            column_marks(row, y, box_height, data.columns);
        }
    }

    void single_mark(int row, int y, int box_height, const Single &single)
    {
        const double x = x_of(single.start);
        std::string title = "line " + std::to_string(single.line) + ": " + single.text;
        if (row == RddMark::rendezvous) {
            out_ << "<line class=\"rd\" x1=\"" << x << "\" y1=\"" << y << "\" x2=\"" << x << "\" y2=\""
                 << y + box_height << "\"><title>" << html_text(title) << "</title></line>\n";
            return;
        }
        double width = x_of(single.end) - x;
        if (row == RddMark::event) {
            out_ << "<rect class=\"ev\" x=\"" << x - 0.75 << "\" y=\"" << y << "\" width=\"1.5\" height=\"" << box_height
                 << "\"><title>" << html_text(title) << "</title></rect>\n";
            return;
        }
        width = std::max(width, 2.0);
        title += " (" + time_text(single.start, survey_) + " to " + time_text(single.end, survey_);
        if (row == RddMark::scenario)
            title += std::string(", ") + rdd_verdict_name(single.verdict);
        title += ")";
        out_ << "<rect class=\"" << (row == RddMark::instance ? "inst" : "sc ")
             << (row == RddMark::scenario ? rdd_verdict_name(single.verdict) : "") << "\" x=\"" << x << "\" y=\"" << y
             << "\" width=\"" << width << "\" height=\"" << box_height << "\"><title>" << html_text(title)
             << "</title></rect>\n";
    }

    // Runs of columns with the same worst verdict become one rectangle.
    void column_marks(int row, int y, int box_height, const std::vector<Column> &columns)
    {
        const int count = static_cast<int>(columns.size());
        std::array<int64_t, 4> cover{};
        std::vector<int> rank_of(columns.size(), -1);
        for (int c = 0; c < count; ++c) {
            for (std::size_t r = 0; r < 4; ++r)
                cover[r] += columns[static_cast<std::size_t>(c)].cover_delta[r];
            const bool point = row == RddMark::event || row == RddMark::rendezvous;
            for (int r = 3; r >= 0; --r) {
                const auto &column = columns[static_cast<std::size_t>(c)];
                if ((point ? column.started[static_cast<std::size_t>(r)] : cover[static_cast<std::size_t>(r)]) > 0) {
                    rank_of[static_cast<std::size_t>(c)] = r;
                    break;
                }
            }
        }
        for (int c = 0; c < count;) {
            const int rank = rank_of[static_cast<std::size_t>(c)];
            int end = c + 1;
            while (end < count && rank_of[static_cast<std::size_t>(end)] == rank)
                ++end;
            if (rank >= 0)
                column_run(row, y, box_height, columns, c, end, verdict_of_rank(rank));
            c = end;
        }
    }

    void column_run(int row, int y, int box_height, const std::vector<Column> &columns, int from, int to,
                    RddVerdict verdict)
    {
        const int count = static_cast<int>(columns.size());
        std::array<uint64_t, 4> started{};
        uint64_t first_line = 0;
        for (int c = from; c < to; ++c) {
            const Column &column = columns[static_cast<std::size_t>(c)];
            for (std::size_t r = 0; r < 4; ++r)
                started[r] += column.started[r];
            if (first_line == 0)
                first_line = column.first_line;
        }
        const uint64_t total = started[0] + started[1] + started[2] + started[3];
        const uint32_t t0 = column_start_time(drawing_.scale, from, count);
        const uint32_t t1 = to < count ? column_start_time(drawing_.scale, to, count) : drawing_.scale.last;
        std::string title = std::to_string(total) + " " + ROW_NOUN[row];
        if (row == RddMark::scenario)
            title += " (" + std::to_string(started[3]) + " failed, " + std::to_string(started[2]) + " inconclusive)";
        title += " starting between " + time_text(t0, survey_) + " and " + time_text(t1, survey_);
        if (first_line > 0)
            title += "; first at line " + std::to_string(first_line);
        const double x0 = x_of(t0);
        const double width = std::max(x_of(t1) - x0, 1.0);
        const char *cls = row == RddMark::instance ? "inst" : row == RddMark::scenario ? "sc" : row == RddMark::event ? "ev" : "rd";
        if (row == RddMark::rendezvous) {
            out_ << "<rect class=\"agg\" fill=\"#8e24aa\" x=\"" << x0 << "\" y=\"" << y << "\" width=\"" << width
                 << "\" height=\"" << box_height << "\" opacity=\"0.35\"><title>" << html_text(title) << "</title></rect>\n";
            return;
        }
        out_ << "<rect class=\"" << cls << (row == RddMark::scenario ? std::string(" ") + rdd_verdict_name(verdict) : "")
             << " agg\" x=\"" << x0 << "\" y=\"" << y << "\" width=\"" << width << "\" height=\"" << box_height
             << "\"><title>" << html_text(title) << "</title></rect>\n";
    }

    void scenarios()
    {
        out_ << "<section id=\"scenarios\"><h2>Scenarios</h2>\n";
        if (table_.rows.empty()) {
            out_ << "<p class=\"note\">The report holds no scenario.</p></section>\n";
            return;
        }
        out_ << "<table id=\"scenario-table\"><tr><th>Scenario</th><th>Key</th><th>Description</th><th>Start</th>"
                "<th>End</th><th>Verdict</th><th>Files</th><th>Line</th></tr>\n";
        for (const ScenarioRow &row : table_.rows) {
            const char *verdict = rdd_verdict_name(row.verdict);
            out_ << "<tr class=\"scenario " << verdict << "\" data-scenario=\"" << html_text(row.name)
                 << "\" data-verdict=\"" << verdict << "\"><td class=\"name\">" << html_text(row.name)
                 << "</td><td>" << html_text(row.key) << "</td><td>" << html_text(row.title) << "</td><td class=\"num\">"
                 << (row.timed ? html_text(time_text(row.start, survey_)) : "") << "</td><td class=\"num\">"
                 << (row.timed ? html_text(time_text(row.end, survey_)) : "")
                 << "</td><td class=\"verdict\"><span class=\"badge " << verdict << "\">" << verdict
                 << "</span></td><td class=\"files\"" << files_title(row.files) << ">" << file_ranges(row.files)
                 << "</td><td class=\"num\">" << row.line << "</td></tr>\n";
        }
        out_ << "</table>";
        if (table_.omitted > 0)
            out_ << "<p class=\"note\">" << table_.omitted << " more scenarios not listed.</p>";
        out_ << "</section>\n";
    }

    std::string files_title(const std::vector<uint32_t> &files) const
    {
        if (files.size() > 20)
            return {};
        std::string names;
        for (const uint32_t file : files)
            names += (names.empty() ? "" : ", ") + lane_label(file);
        return " title=\"" + html_text(names) + "\"";
    }

    void damage()
    {
        if (diagnostics_.count == 0)
            return;
        out_ << "<section id=\"damage\"><h2>Damaged lines skipped: " << diagnostics_.count << "</h2><ul>\n";
        for (const std::string &text : diagnostics_.first)
            out_ << "<li>" << html_text(text) << "</li>\n";
        out_ << "</ul>";
        if (diagnostics_.count > diagnostics_.first.size())
            out_ << "<p class=\"note\">and " << diagnostics_.count - diagnostics_.first.size() << " more.</p>";
        out_ << "</section>\n";
    }

    std::ostream &out_;
    const Survey &survey_;
    const ScenarioTable &table_;
    const Drawing &drawing_;
    const RddDiagnostics &diagnostics_;
    const std::string &display_name_;
};

// Length of a valid UTF-8 sequence at `at`, 0 when the bytes are not one.
std::size_t utf8_length(std::string_view text, std::size_t at)
{
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    if (length == 0 || at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    return length;
}

} // namespace

double time_to_x(const TimeScale &scale, uint32_t time)
{
    if (scale.last <= scale.first)
        return scale.width / 2.0;
    const uint32_t clamped = std::clamp(time, scale.first, scale.last);
    return static_cast<double>(clamped - scale.first) * scale.width / static_cast<double>(scale.last - scale.first);
}

int time_to_column(const TimeScale &scale, uint32_t time, int columns)
{
    if (scale.last <= scale.first)
        return 0;
    const uint64_t offset = std::clamp(time, scale.first, scale.last) - scale.first;
    const uint64_t span = static_cast<uint64_t>(scale.last - scale.first) + 1;
    return static_cast<int>(offset * static_cast<uint64_t>(columns) / span);
}

uint32_t column_start_time(const TimeScale &scale, int column, int columns)
{
    const uint64_t span = static_cast<uint64_t>(scale.last - scale.first) + 1;
    // The smallest time whose column is `column`.
    const uint64_t offset = (static_cast<uint64_t>(column) * span + static_cast<uint64_t>(columns) - 1) /
                            static_cast<uint64_t>(columns);
    return static_cast<uint32_t>(scale.first + offset);
}

std::vector<uint32_t> time_ticks(const TimeScale &scale, int wanted)
{
    std::vector<uint32_t> ticks;
    if (scale.last <= scale.first || wanted < 1) {
        ticks.push_back(scale.first);
        return ticks;
    }
    const uint64_t span = scale.last - scale.first;
    uint64_t step = 1;
    for (uint64_t power = 1;; power *= 10) {
        if (power * 1 * static_cast<uint64_t>(wanted) >= span) {
            step = power;
            break;
        }
        if (power * 2 * static_cast<uint64_t>(wanted) >= span) {
            step = power * 2;
            break;
        }
        if (power * 5 * static_cast<uint64_t>(wanted) >= span) {
            step = power * 5;
            break;
        }
    }
    for (uint64_t tick = (scale.first + step - 1) / step * step; tick <= scale.last; tick += step)
        ticks.push_back(static_cast<uint32_t>(tick));
    return ticks;
}

int lane_of(const std::vector<uint32_t> &lanes, uint32_t file)
{
    const auto found = std::lower_bound(lanes.begin(), lanes.end(), file);
    if (found == lanes.end() || *found != file)
        return -1;
    return static_cast<int>(found - lanes.begin());
}

int lane_top(int lane) { return AXIS_HEIGHT + lane * LANE_HEIGHT; }

int row_allowance(std::size_t lanes, std::size_t budget, int width)
{
    if (lanes == 0)
        return width;
    const std::size_t share = budget / (lanes * ROWS);
    return static_cast<int>(std::clamp<std::size_t>(share, 8, static_cast<std::size_t>(std::max(width, 8))));
}

std::string file_ranges(std::vector<uint32_t> files)
{
    std::sort(files.begin(), files.end());
    files.erase(std::unique(files.begin(), files.end()), files.end());
    std::string text;
    for (std::size_t i = 0; i < files.size();) {
        std::size_t end = i;
        while (end + 1 < files.size() && files[end + 1] == files[end] + 1)
            ++end;
        if (!text.empty())
            text += ", ";
        text += std::to_string(files[i]);
        if (end > i)
            text += (end == i + 1 ? ", " : "-") + std::to_string(files[end]);
        i = end + 1;
    }
    return text;
}

std::string html_text(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c < 0x20 || c == 0x7F ? ' ' : static_cast<char>(c); break;
            }
            ++i;
            continue;
        }
        const std::size_t length = utf8_length(text, i);
        if (length > 0) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            // Latin-1 byte to UTF-8; C1 controls are blanked.
            if (c < 0xA0) {
                out += ' ';
            } else {
                out += static_cast<char>(0xC0 | (c >> 6));
                out += static_cast<char>(0x80 | (c & 0x3F));
            }
            ++i;
        }
    }
    return out;
}

bool write_uml_page(const std::string &rdd_path, const std::string &display_name, std::ostream &out,
                    const PageLimits &limits, RddDiagnostics &diagnostics, std::string &error)
{
    Survey survey;
    ScenarioTable table;
    table.limit = limits.table_rows;
    if (!rdd_read(rdd_path, survey_visitor(survey, table), diagnostics, error))
        return false;

    Drawing drawing;
    for (const uint32_t file : survey.lane_set) {
        if (drawing.lanes.size() >= limits.lanes)
            break;
        drawing.lanes.push_back(file);
    }
    drawing.scale = TimeScale{survey.first, survey.last, limits.width};
    drawing.allowance = row_allowance(drawing.lanes.size(), limits.mark_budget, limits.width);
    drawing.rows.resize(drawing.lanes.size());
    for (std::size_t lane = 0; lane < drawing.lanes.size(); ++lane) {
        const auto counts = survey.per_lane.find(drawing.lanes[lane]);
        for (int row = 0; row < ROWS; ++row) {
            const uint64_t marks = counts == survey.per_lane.end() ? 0 : counts->second[static_cast<std::size_t>(row)];
            LaneRow &data = drawing.rows[lane][static_cast<std::size_t>(row)];
            data.aggregated = marks > static_cast<uint64_t>(drawing.allowance);
            if (data.aggregated)
                data.columns.resize(static_cast<std::size_t>(drawing.allowance));
        }
    }
    if (survey.have_time) {
        // The second pass only draws; its damage reports would repeat the first's.
        RddVisitor visitor;
        visitor.mark = [&drawing](const RddMark &mark) { drawing.add(mark); };
        RddDiagnostics repeated;
        if (!rdd_read(rdd_path, visitor, repeated, error))
            return false;
    }
    PageWriter(out, survey, table, drawing, diagnostics, display_name).write();
    return static_cast<bool>(out);
}
