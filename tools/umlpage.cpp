#include "umlpage.h"

#include "page_assets.h"
#include "pagebins.h"
#include "pagejson.h"
#include "rodruns.h"
#include "runcompare.h"

#include <algorithm>
#include <filesystem>
#include <future>
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

// One line of an open scenario, kept per origin pair until the scenario
// closes: where its own text (code and own fields) lies in the RDD text.
struct HeldLine {
    uint64_t rdd_line = 0;
    uint64_t text_at = 0;
    uint32_t text_size = 0;
    uint32_t file = 0, rod_line = 0;
    bool timed = false;
    uint32_t time = 0;
};

struct ScenarioFrame {
    std::vector<HeldLine> lines;
    std::vector<RddOrigin> fs_origins;
    uint64_t fs_line = 0;
};

// A scenario read to its end whose row and detail wait for the ROD files.
struct ClosedScenario {
    std::size_t index = 0;            // in the scenario table
    std::size_t detail = 0;           // in the details
    std::string name;
    std::vector<uint32_t> run_files;  // of its DS line's origin pairs, in order
    ScenarioFrame frame;
    uint64_t position = 0;            // bytes of the RDD text read when it closed
    uint64_t unpassed_seen = 0;       // scenarios that did not pass, it included
};

// Scenario lines held while the ROD files are read, at most.
constexpr std::size_t MAX_HELD_LINES = std::size_t(1) << 21;

struct ScriptEntry {
    std::string name, title;
    std::vector<uint32_t> files;
};

// The runs of one scenario as the detail shows them.
struct Run {
    uint32_t file = 0;
    int verdict = 0; // RunVerdict as int
    std::string why;
    std::vector<std::size_t> lines; // indexes into the frame's lines
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

    ~PageBuilder()
    {
        for (std::future<void> &check : rod_checks_)
            if (check.valid())
                check.wait();
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
        if (file_index_.count(file.number))
            return;
        file_index_[file.number] = files_.size();
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
        const auto known = file_index_.find(file);
        std::string name = known != file_index_.end() ? files_[known->second].name : "file " + std::to_string(file);
        scripts_.push_back(ScriptEntry{std::move(name), "", {file}});
        script_of_file_[file] = scripts_.size() - 1;
        return scripts_.size() - 1;
    }

    // The threads read a copy of the file list: a CF line out of place in
    // the body may still add to it, and is checked when the threads are done.
    void start_rod_checks()
    {
        if (rods_started_)
            return;
        rods_started_ = true;
        rods_.resize(files_.size());
        checked_files_ = files_;
        const std::size_t half = files_.size() / 2;
        const auto check = [this](std::size_t from, std::size_t to) {
            for (std::size_t i = from; i < to; ++i)
                rods_[i] = rod_runs_of(checked_files_[i], rdd_directory_);
        };
        // Two halves side by side: most of the time goes to reading and the CRC.
        rod_checks_.push_back(std::async(std::launch::async, check, std::size_t(0), half));
        rod_checks_.push_back(std::async(std::launch::async, check, half, files_.size()));
    }

    void wait_for_rods()
    {
        start_rod_checks();
        for (std::future<void> &check : rod_checks_)
            if (check.valid())
                check.get();
        for (std::size_t i = rods_.size(); i < files_.size(); ++i)
            rods_.push_back(rod_runs_of(files_[i], rdd_directory_));
    }

    void body_line(const RddLine &line, std::optional<uint32_t> time)
    {
        const bool head = is_head_code(line.id);
        if (!rods_started_ && !head)
            start_rod_checks();
        position_ = static_cast<uint64_t>(line.text.data() - text_.data()) + line.text.size();
        if (!head)
            add_item(line, time);
        switch (line.id) {
        case rdd_code_id('E', 'V'):
        case rdd_code_id('R', 'D'):
            if (!line.fields.empty())
                point_name_ = line.fields.front();
            break;
        case rdd_code_id('D', 'S'): open_frame(); return;
        case rdd_code_id('F', 'S'):
            if (!frames_.empty()) {
                frames_.back().fs_origins = line.origins;
                frames_.back().fs_line = line.number;
            }
            return;
        default: break;
        }
        if (frames_.empty())
            return;
        const std::string_view own = own_text(line);
        const auto at = static_cast<uint64_t>(own.data() - text_.data());
        std::vector<HeldLine> &lines = frames_.back().lines;
        for (const RddOrigin &origin : line.origins)
            lines.push_back(HeldLine{line.number, at, static_cast<uint32_t>(own.size()), origin.file, origin.line,
                                     time.has_value(), time.value_or(0)});
    }

    // Line vectors of scenarios that needed no detail are used again.
    void open_frame()
    {
        frames_.emplace_back();
        if (!spare_lines_.empty()) {
            frames_.back().lines = std::move(spare_lines_.back());
            spare_lines_.pop_back();
        }
    }

    void recycle(std::vector<HeldLine> &&lines)
    {
        lines.clear();
        if (spare_lines_.size() < 8)
            spare_lines_.push_back(std::move(lines));
    }

    static std::string_view own_text(const RddLine &line)
    {
        if (line.fields.empty())
            return line.code;
        const std::string_view last = line.fields.back();
        return line.text.substr(0, static_cast<std::size_t>(last.data() + last.size() - line.text.data()));
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

    // Names are looked up as written (views into the RDD text), so that
    // the millions of events of a large report copy nothing.
    int32_t name_index(std::string_view raw)
    {
        const auto found = name_index_.find(raw);
        if (found != name_index_.end())
            return found->second;
        if (names_.size() >= 20000)
            return -1;
        const auto index = static_cast<int32_t>(names_.size());
        names_.push_back(rdd_field_text(raw));
        name_index_.emplace(raw, index);
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

    bool rods_ready() const
    {
        return rods_started_ && std::all_of(rod_checks_.begin(), rod_checks_.end(), [](const std::future<void> &check) {
                   return !check.valid() || check.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
               });
    }

    void close_scenario(const RddMark &mark);
    void finish_pending();
    std::vector<Run> runs_of(const ScenarioFrame &frame, const std::vector<uint32_t> &run_files, std::string_view name);
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
    std::map<uint32_t, std::size_t> file_index_;
    std::vector<ScriptEntry> scripts_;
    std::map<uint32_t, std::size_t> script_of_file_;

    bool rods_started_ = false;
    std::vector<RddFile> checked_files_;
    std::vector<RodRuns> rods_;
    std::vector<std::future<void>> rod_checks_;

    bool have_range_ = false;
    uint32_t first_ = 0, last_ = 0;
    Grid grid_;
    std::vector<Lane> lanes_;
    std::vector<bool> lane_used_;
    std::vector<std::string> names_;
    std::unordered_map<std::string_view, int32_t> name_index_;
    std::string_view point_name_;
    std::vector<int32_t> run_of_file_ = std::vector<int32_t>(RDD_MAX_FILES + 1, -1);
    std::vector<int32_t> closing_of_file_ = std::vector<int32_t>(RDD_MAX_FILES + 1, -1);

    std::vector<ScenarioFrame> frames_;
    std::vector<std::vector<HeldLine>> spare_lines_;
    uint64_t instances_ = 0, events_ = 0, rendezvous_ = 0;
    uint64_t by_verdict_[5] = {};
    std::vector<std::string> rows_;    // JSON of each scenario's row
    std::vector<std::string> details_; // JSON of each detail
    std::vector<ClosedScenario> pending_;
    std::size_t held_lines_ = 0;
    std::size_t detail_bytes_ = 0;
    bool detail_cut_ = false;

    bool structured_ = false; // a DS or XI line was read: no -TIME report
    std::string items_json_;
    std::size_t items_ = 0;
    uint64_t items_left_ = 0;

};

std::vector<Run> PageBuilder::runs_of(const ScenarioFrame &frame, const std::vector<uint32_t> &run_files,
                                      std::string_view name)
{
    std::vector<Run> runs;
    // Runs by file number through tables kept for the purpose: a scenario of
    // a thousand runs is looked up in linear time.
    const auto add_run = [&](uint32_t file) {
        if (run_of_file_[file] < 0) {
            run_of_file_[file] = static_cast<int32_t>(runs.size());
            runs.push_back(Run{file, static_cast<int>(RunVerdict::not_known), "", {}});
        }
        return static_cast<std::size_t>(run_of_file_[file]);
    };
    for (const uint32_t file : run_files)
        add_run(file);
    for (std::size_t i = 0; i < frame.lines.size(); ++i)
        runs[add_run(frame.lines[i].file)].lines.push_back(i);
    for (const RddOrigin &origin : frame.fs_origins)
        if (closing_of_file_[origin.file] < 0)
            closing_of_file_[origin.file] = static_cast<int32_t>(origin.line);
    for (Run &run : runs) {
        const auto file = file_index_.find(run.file);
        const int32_t closing = closing_of_file_[run.file];
        if (file == file_index_.end()) {
            run.why = "no CF line names file " + std::to_string(run.file);
        } else if (closing < 0) {
            run.why = "the run never closed the scenario";
        } else {
            const RodState state = file->second < rods_.size() ? rods_[file->second].state : RodState::missing;
            if (state != RodState::ok) {
                run.why = std::string("ROD file ") + rod_state_name(state);
            } else {
                run.verdict = static_cast<int>(rod_run_verdict(rods_[file->second], static_cast<uint32_t>(closing), name));
                if (run.verdict == static_cast<int>(RunVerdict::not_known))
                    run.why = "no FS line of the scenario at ROD line " + std::to_string(closing);
            }
        }
    }
    for (const Run &run : runs)
        run_of_file_[run.file] = -1;
    for (const RddOrigin &origin : frame.fs_origins)
        closing_of_file_[origin.file] = -1;
    // Runs that did not pass, or whose verdict is not known, come first.
    std::stable_partition(runs.begin(), runs.end(), [](const Run &run) { return run.verdict != 0; });
    return runs;
}

void PageBuilder::close_scenario(const RddMark &mark)
{
    ClosedScenario closed;
    if (!frames_.empty()) {
        closed.frame = std::move(frames_.back());
        frames_.pop_back();
    }
    closed.index = rows_.size();
    const int verdict = verdict_code(mark.verdict_text, closed.frame.fs_line != 0);
    ++by_verdict_[verdict];
    for (const RddSpan &span : *mark.spans)
        add_lane_mark(span.file, LaneMark{1, span.start, span.end, mark.line, static_cast<int32_t>(closed.index)},
                      verdict);
    closed.name = mark.name;
    for (const RddOrigin &origin : *mark.origins)
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
        recycle(std::move(closed.frame.lines));
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
    if (rods_ready() || held_lines_ > MAX_HELD_LINES)
        finish_pending();
}

void PageBuilder::finish_pending()
{
    wait_for_rods();
    for (ClosedScenario &closed : pending_) {
        std::vector<Run> runs = runs_of(closed.frame, closed.run_files, closed.name);
        std::string &row = rows_[closed.index];
        bool first = true;
        for (const Run &run : runs) {
            if (run.verdict == 0)
                continue;
            row += first ? "[" : ",[";
            first = false;
            row += std::to_string(run.file) + ',' + std::to_string(run.verdict) + ']';
        }
        row += "]]";
        add_detail(closed, std::move(runs));
    }
    pending_.clear();
    held_lines_ = 0;
}

// Field texts of a held line, and the line as its detail entry.
struct ShownLine {
    RddLine scanned;
    std::string entry;
};

void PageBuilder::add_detail(const ClosedScenario &closed, std::vector<Run> runs)
{
    const ScenarioFrame &frame = closed.frame;
    // Which runs the page shows: all of them below the detail limit; above
    // it the runs that did not pass (up to a few) and one that passed.
    std::vector<std::size_t> shown;
    bool passed_taken = false;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const bool passed = runs[i].verdict == 0;
        if (full_detail_ || (passed && !passed_taken) || (!passed && shown.size() < limits_.runs_shown)) {
            shown.push_back(i);
            passed_taken = passed_taken || passed;
        }
    }
    std::vector<std::vector<ShownLine>> shown_lines(shown.size());
    std::vector<std::vector<StepLine>> steps(shown.size());
    std::string error;
    for (std::size_t s = 0; s < shown.size(); ++s) {
        const Run &run = runs[shown[s]];
        shown_lines[s].resize(run.lines.size());
        for (std::size_t l = 0; l < run.lines.size(); ++l) {
            const HeldLine &held = frame.lines[run.lines[l]];
            ShownLine &line = shown_lines[s][l];
            rdd_scan_line(text_.substr(held.text_at, held.text_size), line.scanned, error);
            std::string &entry = line.entry;
            entry = '[' + std::to_string(held.rdd_line) + ',' + std::to_string(held.rod_line) + ',';
            json_string(entry, line.scanned.code);
            entry += ',' + (held.timed ? std::to_string(held.time) : std::string("null")) + ",[";
            for (std::size_t f = 0; f < line.scanned.fields.size(); ++f) {
                if (f)
                    entry += ',';
                json_string(entry, rdd_field_text(line.scanned.fields[f]));
            }
            entry += "]]";
        }
        for (ShownLine &line : shown_lines[s])
            steps[s].push_back(StepLine{line.scanned.code, line.scanned.fields, rdd_time_field(line.scanned.code)});
    }
    const StepAlignment alignment = align_steps(steps);

    // Above the detail limit each scenario that did not pass gets an even
    // share of what is left: the lines of differing steps first, then the
    // lines of the runs that did not pass, then those of the passed run.
    std::vector<std::vector<bool>> keep(shown.size());
    for (std::size_t s = 0; s < shown.size(); ++s)
        keep[s].assign(shown_lines[s].size(), full_detail_);
    if (!full_detail_) {
        const std::size_t share = detail_share(closed);
        std::vector<bool> differing(alignment.rows, false);
        for (const StepDiff &diff : alignment.diffs)
            differing[diff.row] = true;
        std::size_t spent = 0;
        const auto take = [&](auto wanted) {
            for (std::size_t s = 0; s < shown.size(); ++s)
                for (std::size_t l = 0; l < shown_lines[s].size(); ++l)
                    if (!keep[s][l] && wanted(s, l) && spent + shown_lines[s][l].entry.size() < share) {
                        keep[s][l] = true;
                        spent += shown_lines[s][l].entry.size() + 8;
                    }
        };
        take([&](std::size_t s, std::size_t l) { return differing[alignment.row_of[s][l]]; });
        take([&](std::size_t s, std::size_t) { return runs[shown[s]].verdict != 0; });
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
        out += "\"file\":" + std::to_string(run.file) + ",\"verdict\":" + std::to_string(run.verdict) + ",\"why\":";
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
        for (std::size_t l = 0; l < shown_lines[s].size(); ++l) {
            if (!keep[s][l])
                continue;
            out += first ? "" : ",";
            rows += first ? "" : ",";
            first = false;
            out += shown_lines[s][l].entry;
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
               rod_state_name(i < rods_.size() ? rods_[i].state : RodState::missing) + "\"}";
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
