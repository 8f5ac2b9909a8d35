#include "umlpage.h"

#include "page_assets.h"
#include "pagebins.h"
#include "pagejson.h"
#include "rodruns.h"
#include "runcompare.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <unordered_map>

namespace {

int verdict_code(std::string_view verdict_text, bool closed)
{
    if (!closed)
        return NEVER_CLOSED;
    switch (run_verdict_of_field(verdict_text)) {
    case RunVerdict::passed: return PASSED;
    case RunVerdict::failed: return FAILED;
    case RunVerdict::inconclusive: return INCONCLUSIVE;
    default: break;
    }
    return UNKNOWN;
}

// ---- Collected data -------------------------------------------------------

struct LaneMark {
    uint8_t kind = 0; // 0 instance, 1 scenario, 2 event, 3 rendezvous
    uint32_t start = 0, end = 0;
    uint64_t line = 0;
    int32_t ref = -1;
};

struct Lane {
    std::vector<LaneMark> marks;
    bool binned = false; // more marks than its share: drawn by bins
    uint64_t count = 0;
    LaneBins bins;
};

// A scenario read to its end whose row and detail wait for the ROD files.
struct ClosedScenario {
    std::size_t index = 0;            // in the scenario table
    std::size_t detail = 0;           // in the details
    std::string name;
    std::vector<uint32_t> run_files;  // of its DS line's origin pairs, in order
    ScenarioLines frame;
    uint64_t position = 0;            // bytes of the RDD text read when it closed
    uint64_t unpassed_seen = 0;       // scenarios that did not pass, it included
};

// Room a detail entry takes beyond its line's text: its numbers and the
// JSON around its fields.
constexpr std::size_t ENTRY_ROOM = 48;

// Looks names up by view in a table of strings.
struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const { return std::hash<std::string_view>()(name); }
};

// Scenario lines held while the ROD files are read, at most.
constexpr std::size_t MAX_HELD_LINES = std::size_t(1) << 21;

struct ScriptEntry {
    std::string name, title;
    std::vector<uint32_t> files;
};

// Codes of a file's first part: not items of a -TIME report.
bool is_head_code(uint16_t id)
{
    switch (id) {
    case rdd_code_id('R', 'E'):
    case rdd_code_id('S', 'Y'):
    case rdd_code_id('I', 'E'):
    case rdd_code_id('C', 'F'):
    case rdd_code_id('S', 'C'):
    case rdd_code_id('I', 'T'):
    case rdd_code_id('D', 'E'):
    case rdd_code_id('P', 'R'):
    case rdd_code_id('P', 'E'):
    case rdd_code_id('R', 'U'):
    case rdd_code_id('P', 'O'): return true;
    default: return false;
    }
}

class PageBuilder {
public:
    PageBuilder(std::string_view text, const PageLimits &limits, std::string rdd_directory)
        : text_(text), limits_(limits), rdd_directory_(std::move(rdd_directory)),
          full_detail_(text.size() < limits.detail_limit)
    {
    }

    RddVisitor visitor()
    {
        RddVisitor visitor;
        visitor.header = [this](const RddHeader &header) { header_ = header; };
        visitor.file = [this](const RddFile &file) { add_file(file); };
        visitor.unit = [this](const RddUnit &unit) {
            if (!unit_)
                unit_ = unit;
        };
        visitor.script = [this](const RddScript &script) { add_script(script); };
        visitor.body = [this](const RddLine &line, std::optional<uint32_t> time) { body_line(line, time); };
        visitor.mark = [this](const RddMark &mark) { add_mark(mark); };
        return visitor;
    }

    // Ends the read: the scenarios still waiting for the ROD files are done.
    // The RDD text is not looked at again.
    void finish() { finish_pending(); }
    std::string json(const std::string &rdd_name, const std::string &page_name, const RddDiagnostics &diagnostics);
    const std::string &plan() const { return header_.plan; }

private:
    void add_file(const RddFile &file)
    {
        if (sources_.entry_of_file[file.number] >= 0)
            return;
        // A CF line after body lines (a damaged report): the scenarios that
        // closed before it are done without it, whenever the ROD files are
        // ready, so that the page does not depend on the threads' timing.
        if (!pending_.empty())
            finish_pending();
        sources_.entry_of_file[file.number] = static_cast<int32_t>(files_.size());
        files_.push_back(file);
    }

    void add_script(const RddScript &script)
    {
        if (script_of_file_.count(script.file))
            return;
        std::size_t index = scripts_.size();
        for (std::size_t i = 0; i < scripts_.size(); ++i)
            if (scripts_[i].name == script.name)
                index = i;
        if (index == scripts_.size())
            scripts_.push_back(ScriptEntry{script.name, script.title, {}});
        scripts_[index].files.push_back(script.file);
        script_of_file_[script.file] = index;
    }

    // A file without an RE line is a script of its own, named by its ROD file.
    std::size_t script_of(uint32_t file)
    {
        const auto found = script_of_file_.find(file);
        if (found != script_of_file_.end())
            return found->second;
        const int32_t entry = file <= RDD_MAX_FILES ? sources_.entry_of_file[file] : -1;
        std::string name = entry >= 0 ? files_[static_cast<std::size_t>(entry)].name : "file " + std::to_string(file);
        scripts_.push_back(ScriptEntry{std::move(name), "", {file}});
        script_of_file_[file] = scripts_.size() - 1;
        return scripts_.size() - 1;
    }

    void wait_for_rods() { sources_.rods = &rod_checks_.wait(files_, rdd_directory_); }

    void body_line(const RddLine &line, std::optional<uint32_t> time)
    {
        const bool head = is_head_code(line.id);
        if (!rod_checks_.started() && !head)
            rod_checks_.start(files_, rdd_directory_);
        position_ = static_cast<uint64_t>(line.text.data() - text_.data()) + line.text.size();
        if (!head)
            add_item(line, time);
        if (line.id == rdd_code_id('E', 'V') || line.id == rdd_code_id('R', 'D'))
            if (!line.fields.empty())
                point_name_ = line.fields.front();
        holder_.body(line, time, text_);
    }

    // Items are only given for a -TIME report: once a scenario or instance
    // block appears the report is none, and what was gathered goes.
    void add_item(const RddLine &line, std::optional<uint32_t> time)
    {
        if (line.id == rdd_code_id('D', 'S') || line.id == rdd_code_id('X', 'I'))
            structured_ = true;
        if (structured_) {
            std::string().swap(items_json_);
            return;
        }
        if (items_ >= limits_.items) {
            ++items_left_;
            return;
        }
        ++items_;
        items_json_ += items_json_.empty() ? "[" : ",[";
        items_json_ += std::to_string(line.number);
        items_json_ += ',';
        json_string(items_json_, line.code);
        items_json_ += ',';
        if (time)
            items_json_ += std::to_string(*time);
        else
            items_json_ += "null";
        items_json_ += ',';
        items_json_ += std::to_string(line.origins.empty() ? 0 : line.origins.front().file);
        items_json_ += ',';
        std::string text;
        for (const std::string_view field : line.fields) {
            if (!text.empty())
                text += ' ';
            text += rdd_field_text(field);
        }
        json_string(items_json_, text);
        items_json_ += ']';
    }

    void see_time(uint32_t from, uint32_t to)
    {
        if (!have_range_) {
            first_ = from;
            last_ = to;
            have_range_ = true;
        }
        first_ = std::min(first_, from);
        last_ = std::max(last_, to);
    }

    void hold_time(uint32_t time)
    {
        if (grid_.set && time >= grid_.start && time < grid_.end())
            return;
        std::vector<LaneBins *> allocated;
        for (Lane &lane : lanes_)
            if (!lane.bins.cover.empty())
                allocated.push_back(&lane.bins);
        grow_grid(grid_, time, allocated);
    }

    Lane &lane_of(uint32_t file)
    {
        if (file >= lanes_.size())
            lanes_.resize(file + 1);
        if (file >= lane_used_.size())
            lane_used_.resize(file + 1, false);
        lane_used_[file] = true;
        return lanes_[file];
    }

    void add_lane_mark(uint32_t file, const LaneMark &mark, int verdict)
    {
        Lane &lane = lane_of(file);
        hold_time(mark.start);
        hold_time(mark.end);
        if (lane.bins.cover.empty())
            lane.bins.allocate();
        add_to_bins(lane.bins, grid_, mark.start, mark.end, mark.kind == 1, verdict);
        ++lane.count;
        if (lane.binned)
            return;
        const std::size_t share = std::max<std::size_t>(32, limits_.mark_budget / std::max<std::size_t>(1, files_.size()));
        if (lane.marks.size() >= share) {
            lane.binned = true;
            std::vector<LaneMark>().swap(lane.marks);
            return;
        }
        lane.marks.push_back(mark);
    }

    // Names are looked up as written, so that the millions of events of a
    // large report copy nothing; the table keeps its own copy of each, since
    // a view into the text read long ago would be a cache miss per lookup.
    int32_t name_index(std::string_view raw)
    {
        const auto found = name_index_.find(raw);
        if (found != name_index_.end())
            return found->second;
        if (names_.size() >= 20000)
            return -1;
        const auto index = static_cast<int32_t>(names_.size());
        names_.push_back(rdd_field_text(raw));
        name_index_.emplace(std::string(raw), index);
        return index;
    }

    void add_mark(const RddMark &mark)
    {
        for (const RddSpan &span : *mark.spans)
            see_time(span.start, span.end);
        switch (mark.row) {
        case RddMark::instance:
            ++instances_;
            for (const RddSpan &span : *mark.spans)
                add_lane_mark(span.file, LaneMark{0, span.start, span.end, mark.line, -1}, PASSED);
            break;
        case RddMark::scenario: close_scenario(mark); break;
        case RddMark::event:
        case RddMark::rendezvous: {
            const bool event = mark.row == RddMark::event;
            ++(event ? events_ : rendezvous_);
            const int32_t name = name_index(point_name_);
            for (const RddSpan &span : *mark.spans)
                add_lane_mark(span.file, LaneMark{static_cast<uint8_t>(event ? 2 : 3), span.start, span.end, mark.line, name},
                              PASSED);
            break;
        }
        }
    }

    // What one more scenario that did not pass may spend of the detail
    // budget: an even share among those still to come, estimated from how
    // many came in the part of the file read so far, and never more than a
    // small part of what is left. Taken when the detail is made, in the
    // order the scenarios closed, from what each had seen when it closed:
    // the page does not depend on when the ROD files were ready.
    std::size_t detail_share(const ClosedScenario &closed) const
    {
        const std::size_t left = limits_.detail_budget > detail_bytes_ ? limits_.detail_budget - detail_bytes_ : 0;
        const double read =
            std::max<double>(1, static_cast<double>(closed.position)) / std::max<double>(1, text_.size());
        const double to_come = static_cast<double>(closed.unpassed_seen) * (1 / read - 1);
        return std::min(left / 32, static_cast<std::size_t>(static_cast<double>(left) / (1 + to_come)));
    }

    void close_scenario(const RddMark &mark);
    void finish_pending();
    void add_detail(const ClosedScenario &closed, std::vector<Run> runs);

    std::string_view text_;
    const PageLimits &limits_;
    std::string rdd_directory_;
    bool full_detail_;
    uint64_t unpassed_seen_ = 0;
    uint64_t position_ = 0; // bytes of the RDD text read

    RddHeader header_;
    std::optional<RddUnit> unit_;
    std::vector<RddFile> files_;
    RunSources sources_;
    std::vector<ScriptEntry> scripts_;
    std::map<uint32_t, std::size_t> script_of_file_;

    RodChecks rod_checks_;

    bool have_range_ = false;
    uint32_t first_ = 0, last_ = 0;
    Grid grid_;
    std::vector<Lane> lanes_;
    std::vector<bool> lane_used_;
    std::vector<std::string> names_;
    std::unordered_map<std::string, int32_t, NameHash, std::equal_to<>> name_index_;
    std::string_view point_name_;

    ScenarioHolder holder_;
    uint64_t instances_ = 0, events_ = 0, rendezvous_ = 0;
    uint64_t by_verdict_[5] = {};
    std::vector<std::string> rows_;    // JSON of each scenario's row
    std::vector<std::string> details_; // JSON of each detail
    std::vector<ClosedScenario> pending_;
    std::size_t held_lines_ = 0;
    std::string field_room_; // for a field whose quotes are undoubled
    std::size_t detail_bytes_ = 0;
    bool detail_cut_ = false;

    bool structured_ = false; // a DS or XI line was read: no -TIME report
    std::string items_json_;
    std::size_t items_ = 0;
    uint64_t items_left_ = 0;

};

void PageBuilder::close_scenario(const RddMark &mark)
{
    ClosedScenario closed;
    closed.frame = holder_.close();
    closed.index = rows_.size();
    const int verdict = verdict_code(mark.verdict_text, closed.frame.fs_line != 0);
    ++by_verdict_[verdict];
    for (const RddSpan &span : *mark.spans)
        add_lane_mark(span.file, LaneMark{1, span.start, span.end, mark.line, static_cast<int32_t>(closed.index)},
                      verdict);
    closed.name = mark.name;
    for (const RddOrigin &origin : mark.origins)
        closed.run_files.push_back(origin.file);
    std::vector<uint32_t> files = closed.run_files;
    std::sort(files.begin(), files.end());
    files.erase(std::unique(files.begin(), files.end()), files.end());
    const bool detailed = full_detail_ || verdict != PASSED;
    closed.detail = detailed ? details_.size() : SIZE_MAX;

    // The row up to the runs that did not pass, which need the ROD files.
    std::string row = "[";
    json_string(row, mark.name);
    row += ',';
    json_string(row, mark.key);
    row += ',';
    json_string(row, mark.title);
    row += ',' + std::to_string(verdict) + ',';
    row += mark.timed ? std::to_string(mark.start) + ',' + std::to_string(mark.end) : "null,null";
    row += ',' + std::to_string(mark.line) + ',' + std::to_string(closed.frame.fs_line) + ',';
    json_string(row, ranges_text(files));
    row += ',' + std::to_string(files.empty() ? 0 : script_of(files.front())) + ',';
    row += detailed ? std::to_string(closed.detail) : "-1";
    row += ",[";
    rows_.push_back(std::move(row));
    if (!detailed) {
        rows_.back() += "]]";
        holder_.recycle(std::move(closed.frame.lines));
        return;
    }
    details_.emplace_back();
    if (!full_detail_)
        ++unpassed_seen_;
    closed.position = position_;
    closed.unpassed_seen = unpassed_seen_;
    // The ROD files are read on other threads meanwhile: a scenario that
    // needs them waits in line rather than holding up the read, up to a
    // bound on the lines held.
    held_lines_ += closed.frame.lines.size();
    pending_.push_back(std::move(closed));
    if (rod_checks_.ready() || held_lines_ > MAX_HELD_LINES)
        finish_pending();
}

void PageBuilder::finish_pending()
{
    wait_for_rods();
    for (ClosedScenario &closed : pending_) {
        std::vector<Run> runs = runs_of(closed.frame, closed.run_files, closed.name, sources_);
        std::string &row = rows_[closed.index];
        bool first = true;
        for (const Run &run : runs) {
            if (run.verdict == RunVerdict::passed)
                continue;
            row += first ? "[" : ",[";
            first = false;
            row += std::to_string(run.file) + ',' + std::to_string(static_cast<int>(run.verdict)) + ']';
        }
        row += "]]";
        add_detail(closed, std::move(runs));
    }
    pending_.clear();
    held_lines_ = 0;
}

void PageBuilder::add_detail(const ClosedScenario &closed, std::vector<Run> runs)
{
    const ScenarioLines &frame = closed.frame;
    // Which runs the page shows: all of them below the detail limit; above
    // it the runs that did not pass (up to a few) and one that passed.
    const std::vector<std::size_t> shown = runs_compared(runs, full_detail_, limits_.runs_shown);
    const RunComparison comparison = compare_runs(text_, frame, runs, shown);
    const StepAlignment &alignment = comparison.alignment;
    // Each line as its detail entry.
    std::vector<std::vector<std::string>> entries(shown.size());
    for (std::size_t s = 0; s < shown.size(); ++s) {
        const Run &run = runs[shown[s]];
        for (std::size_t l = 0; l < run.lines.size(); ++l) {
            const HeldLine &held = frame.lines[run.lines[l]];
            const RddOwnedLine &scanned = comparison.lines[s][l];
            std::string entry;
            entry.reserve(ENTRY_ROOM + scanned.text.size());
            entry += '[';
            entry += std::to_string(held.rdd_line);
            entry += ',';
            entry += std::to_string(held.rod_line);
            entry += ',';
            json_string(entry, scanned.code);
            entry += ',';
            entry += held.timed ? std::to_string(held.time) : std::string("null");
            entry += ",[";
            for (std::size_t f = 0; f < scanned.fields.size(); ++f) {
                if (f)
                    entry += ',';
                json_string(entry, rdd_field_view(scanned.fields[f], field_room_));
            }
            entry += "]]";
            entries[s].push_back(std::move(entry));
        }
    }

    // Above the detail limit each scenario that did not pass gets an even
    // share of what is left: the lines of differing steps first, then the
    // lines of the runs that did not pass, then those of the passed run.
    std::vector<std::vector<bool>> keep(shown.size());
    for (std::size_t s = 0; s < shown.size(); ++s)
        keep[s].assign(entries[s].size(), full_detail_);
    if (!full_detail_) {
        const std::size_t share = detail_share(closed);
        std::vector<bool> differing(alignment.rows, false);
        for (const StepDiff &diff : alignment.diffs)
            differing[diff.row] = true;
        std::size_t spent = 0;
        const auto take = [&](auto wanted) {
            for (std::size_t s = 0; s < shown.size(); ++s)
                for (std::size_t l = 0; l < entries[s].size(); ++l)
                    if (!keep[s][l] && wanted(s, l) && spent + entries[s][l].size() < share) {
                        keep[s][l] = true;
                        spent += entries[s][l].size() + 8;
                    }
        };
        take([&](std::size_t s, std::size_t l) { return differing[alignment.row_of[s][l]]; });
        take([&](std::size_t s, std::size_t) { return runs[shown[s]].verdict != RunVerdict::passed; });
        take([&](std::size_t, std::size_t) { return true; });
    }

    std::string out = "{\"sc\":" + std::to_string(closed.index) + ",\"rows\":" + std::to_string(alignment.rows) + ",\"runs\":[";
    uint64_t lines_left = 0;
    for (std::size_t s = 0; s < shown.size(); ++s) {
        const Run &run = runs[shown[s]];
        std::vector<uint64_t> all, missing;
        for (std::size_t l = 0; l < run.lines.size(); ++l) {
            all.push_back(frame.lines[run.lines[l]].rdd_line);
            if (!keep[s][l])
                missing.push_back(all.back());
        }
        lines_left += missing.size();
        out += s ? ",{" : "{";
        out += "\"file\":" + std::to_string(run.file) + ",\"verdict\":" + std::to_string(static_cast<int>(run.verdict)) + ",\"why\":";
        json_string(out, run.why);
        out += ",\"ranges\":";
        json_string(out, ranges_text(all));
        out += ",\"left\":";
        json_string(out, missing.empty() ? std::string()
                                         : std::to_string(missing.size()) + " of its lines are not in the page: RDD lines " +
                                               ranges_text(missing));
        out += ",\"lines\":[";
        std::string rows;
        bool first = true;
        for (std::size_t l = 0; l < entries[s].size(); ++l) {
            if (!keep[s][l])
                continue;
            out += first ? "" : ",";
            rows += first ? "" : ",";
            first = false;
            out += entries[s][l];
            rows += std::to_string(alignment.row_of[s][l]);
        }
        out += "],\"rows\":[" + rows + "]}";
    }
    out += "],\"diffs\":[";
    for (std::size_t d = 0; d < alignment.diffs.size(); ++d) {
        out += d ? ",[" : "[";
        out += std::to_string(alignment.diffs[d].row) + ",[";
        for (std::size_t f = 0; f < alignment.diffs[d].fields.size(); ++f)
            out += std::string(f ? "," : "") + std::to_string(alignment.diffs[d].fields[f]);
        out += "]]";
    }
    std::vector<uint32_t> others;
    for (std::size_t i = 0; i < runs.size(); ++i)
        if (std::find(shown.begin(), shown.end(), i) == shown.end())
            others.push_back(runs[i].file);
    std::sort(others.begin(), others.end());
    out += "],\"others\":{\"count\":" + std::to_string(others.size()) + ",\"files\":";
    json_string(out, ranges_text(others));
    out += "},\"omitted\":";
    std::string omitted;
    if (!others.empty())
        omitted = std::to_string(others.size()) + " more runs (files " + ranges_text(others) +
                  ") are not in the page; the scenario's RDD lines hold them";
    if (lines_left) {
        omitted += omitted.empty() ? "" : "; ";
        omitted += std::to_string(lines_left) + " lines of the runs shown are left out (see each run)";
    }
    if (!omitted.empty())
        detail_cut_ = true;
    json_string(out, omitted);
    out += '}';
    detail_bytes_ += out.size();
    details_[closed.detail] = std::move(out);
}

std::string PageBuilder::json(const std::string &rdd_name, const std::string &page_name,
                              const RddDiagnostics &diagnostics)
{
    for (const RddFile &file : files_)
        lane_of(file.number);
    std::string out = "{\"format\":1,\"rdd\":";
    json_string(out, rdd_name);
    out += ",\"page\":";
    json_string(out, page_name);
    out += ",\"header\":{\"version\":";
    json_string(out, header_.version);
    out += ",\"plan\":";
    json_string(out, header_.plan);
    out += ",\"kind\":";
    json_string(out, header_.kind);
    out += ",\"stamp\":";
    json_string(out, header_.stamp);
    out += "},\"unit\":";
    if (unit_) {
        out += "{\"ticks\":" + std::to_string(unit_->ticks) + ",\"label\":";
        json_string(out, unit_->label);
        out += '}';
    } else {
        out += "null";
    }
    out += ",\"range\":" + (have_range_ ? '[' + std::to_string(first_) + ',' + std::to_string(last_) + ']' : "null");
    const bool time_only = !structured_;
    out += std::string(",\"timeOnly\":") + (time_only ? "true" : "false");
    out += ",\"counts\":{\"files\":" + std::to_string(files_.size()) + ",\"instances\":" + std::to_string(instances_) +
           ",\"scenarios\":" + std::to_string(rows_.size()) + ",\"passed\":" + std::to_string(by_verdict_[PASSED]) +
           ",\"failed\":" + std::to_string(by_verdict_[FAILED]) + ",\"inconclusive\":" +
           std::to_string(by_verdict_[INCONCLUSIVE]) + ",\"unknown\":" + std::to_string(by_verdict_[UNKNOWN]) +
           ",\"open\":" + std::to_string(by_verdict_[NEVER_CLOSED]) + ",\"events\":" + std::to_string(events_) +
           ",\"rendezvous\":" + std::to_string(rendezvous_) + '}';
    for (const RddFile &file : files_)
        script_of(file.number);
    out += ",\"scripts\":[";
    for (std::size_t i = 0; i < scripts_.size(); ++i) {
        out += i ? ",{\"name\":" : "{\"name\":";
        json_string(out, scripts_[i].name);
        out += ",\"title\":";
        json_string(out, scripts_[i].title);
        out += ",\"files\":[";
        for (std::size_t f = 0; f < scripts_[i].files.size(); ++f)
            out += std::string(f ? "," : "") + std::to_string(scripts_[i].files[f]);
        out += "]}";
    }
    out += "],\"files\":[";
    for (std::size_t i = 0; i < files_.size(); ++i) {
        const RddFile &file = files_[i];
        out += i ? ",{\"n\":" : "{\"n\":";
        out += std::to_string(file.number) + ",\"name\":";
        json_string(out, file.name);
        out += ",\"dir\":";
        json_string(out, file.relative_dir.empty() ? file.absolute_dir : file.relative_dir);
        out += ",\"size\":";
        json_decimal_or_text(out, file.size);
        out += ",\"crc\":";
        json_decimal_or_text(out, file.crc);
        out += ",\"script\":" + std::to_string(script_of(file.number)) + ",\"rod\":\"" +
               rod_state_name(sources_.rods && i < sources_.rods->size() ? (*sources_.rods)[i].state : RodState::missing) + "\"}";
    }
    out += "],\"names\":[";
    for (std::size_t i = 0; i < names_.size(); ++i) {
        out += i ? "," : "";
        json_string(out, names_[i]);
    }
    bool any_binned = false;
    for (std::size_t file = 0; file < lanes_.size(); ++file)
        any_binned = any_binned || (lane_used_[file] && lanes_[file].binned);
    out += "],\"bins\":" + std::to_string(any_binned ? PAGE_BINS : 0) + ",\"lanes\":[";
    bool first_lane = true;
    for (std::size_t file = 0; file < lanes_.size(); ++file) {
        if (!lane_used_[file])
            continue;
        const Lane &lane = lanes_[file];
        out += first_lane ? "{\"file\":" : ",{\"file\":";
        first_lane = false;
        out += std::to_string(file) + ",\"marks\":";
        if (lane.binned) {
            out += "null,\"binned\":";
            std::string bins = lane_bins_json(lane.bins, grid_, first_, last_);
            bins.insert(bins.size() - 1, ",\"marks\":" + std::to_string(lane.count));
            out += bins;
        } else {
            out += '[';
            for (std::size_t m = 0; m < lane.marks.size(); ++m) {
                const LaneMark &mark = lane.marks[m];
                out += std::string(m ? "," : "") + std::to_string(mark.kind) + ',' + std::to_string(mark.start) + ',' +
                       std::to_string(mark.end) + ',' + std::to_string(mark.line) + ',' + std::to_string(mark.ref);
            }
            out += "],\"binned\":null";
        }
        out += '}';
    }
    std::size_t rest = items_json_.size() + 4096;
    for (const std::vector<std::string> *parts : {&rows_, &details_})
        for (const std::string &part : *parts)
            rest += part.size() + 1;
    out.reserve(out.size() + rest);
    out += "],\"scenarios\":[";
    join_into(out, std::move(rows_));
    out += "],\"details\":[";
    join_into(out, std::move(details_));
    out += "],\"detailNote\":";
    json_string(out, detail_cut_ ? "This report is large: the page keeps the detail of the scenarios that did not pass "
                                   "(their failing runs, the steps that differ and one passing run) and gives the "
                                   "rest as RDD line ranges."
                                 : "");
    out += ",\"items\":[" + items_json_ + "],\"itemsLeft\":";
    out += std::to_string(time_only ? items_left_ : 0);
    out += ",\"diagnostics\":{\"count\":" + std::to_string(diagnostics.count) + ",\"first\":[";
    for (std::size_t i = 0; i < diagnostics.first.size(); ++i) {
        out += i ? "," : "";
        json_string(out, diagnostics.first[i]);
    }
    out += "]}}";
    return out;
}

void html_escaped(std::string &out, std::string_view text)
{
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
}

} // namespace

bool page_data(const std::string &rdd_path, const std::string &display_name, const std::string &page_name,
               const PageLimits &limits, RddDiagnostics &diagnostics, PageData &data, std::string &error)
{
    RddMappedFile mapped;
    if (!rdd_map(rdd_path, mapped, error))
        return false;
    const std::string directory = std::filesystem::path(rdd_path).parent_path().string();
    PageBuilder builder(mapped.text(), limits, directory.empty() ? "." : directory);
    rdd_read_mapped(mapped, builder.visitor(), diagnostics);
    builder.finish();
    mapped.release();
    data.json = builder.json(display_name, page_name, diagnostics);
    data.plan = builder.plan();
    return true;
}

PageData page_data_of_text(std::string_view text, const std::string &rdd_directory, const std::string &display_name,
                           const std::string &page_name, const PageLimits &limits, RddDiagnostics &diagnostics)
{
    PageBuilder builder(text, limits, rdd_directory);
    rdd_read_text(text, builder.visitor(), diagnostics);
    builder.finish();
    PageData data;
    data.json = builder.json(display_name, page_name, diagnostics);
    data.plan = builder.plan();
    return data;
}

std::string page_head(std::string_view plan, std::string_view rdd_name)
{
    std::string head = "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<meta name=\"viewport\" content=\"width=device-width\"><title>";
    html_escaped(head, plan);
    head += " \xC2\xB7 ";
    html_escaped(head, rdd_name);
    head += "</title><style>";
    head += PAGE_STYLE;
    head += "</style></head><body><noscript>This page needs JavaScript.</noscript><div id=\"app\"></div>"
            "<script type=\"application/json\" id=\"zv-data\">";
    return head;
}

std::string page_tail()
{
    std::string tail = "</script><script>";
    tail += PAGE_SCRIPT;
    tail += "</script></body></html>\n";
    return tail;
}
