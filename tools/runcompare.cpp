#include "runcompare.h"

#include <algorithm>
#include <numeric>
#include <string>
#include <unordered_map>

namespace {

using Keys = std::vector<uint32_t>;

// Step keys as small integers, so that the edit script compares numbers.
struct KeyTable {
    std::unordered_map<std::string, uint32_t> ids;
    std::string scratch;

    uint32_t key_of(const StepLine &line)
    {
        scratch.assign(line.code);
        scratch += '\x1f';
        if (!line.fields.empty())
            scratch += line.fields.front();
        return ids.try_emplace(scratch, static_cast<uint32_t>(ids.size())).first->second;
    }
};

// Pairs (index in a, index in b) of a longest common subsequence found by
// the greedy shortest edit script (Myers); empty with `gave_up` when the
// script would be longer than STEP_SEARCH_LIMIT. Round d's front is kept
// as its 2d + 1 live diagonals only, so the walk back costs d squared.
std::vector<std::pair<uint32_t, uint32_t>> common_steps(const Keys &a, const Keys &b, std::vector<long> &fronts,
                                                        bool &gave_up)
{
    const long n = static_cast<long>(a.size()), m = static_cast<long>(b.size());
    const long max_d = std::min<long>(n + m, static_cast<long>(STEP_SEARCH_LIMIT));
    const long offset = max_d + 1;
    std::vector<long> v(static_cast<std::size_t>(2 * offset + 1), 0);
    const auto at = [offset](long k) { return static_cast<std::size_t>(k + offset); };
    fronts.clear();
    gave_up = false;
    long found_d = -1;
    for (long d = 0; d <= max_d && found_d < 0; ++d) {
        fronts.insert(fronts.end(), v.begin() + static_cast<long>(at(-d)), v.begin() + static_cast<long>(at(d)) + 1);
        for (long k = -d; k <= d; k += 2) {
            long x = (k == -d || (k != d && v[at(k - 1)] < v[at(k + 1)])) ? v[at(k + 1)] : v[at(k - 1)] + 1;
            long y = x - k;
            while (x < n && y < m && a[static_cast<std::size_t>(x)] == b[static_cast<std::size_t>(y)]) {
                ++x;
                ++y;
            }
            v[at(k)] = x;
            if (x >= n && y >= m) {
                found_d = d;
                break;
            }
        }
    }
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    if (found_d < 0) {
        gave_up = true;
        return pairs;
    }
    // Walk back from the end through the fronts saved before each round.
    long x = n, y = m;
    for (long d = found_d; d > 0; --d) {
        const long *front = fronts.data() + d * d + d; // diagonal 0 of the front before round d
        const long k = x - y;
        const long previous_k = (k == -d || (k != d && front[k - 1] < front[k + 1])) ? k + 1 : k - 1;
        const long previous_x = front[previous_k];
        const long previous_y = previous_x - previous_k;
        while (x > previous_x && y > previous_y) {
            --x;
            --y;
            pairs.emplace_back(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
        }
        x = previous_x;
        y = previous_y;
    }
    while (x > 0) { // round 0 was one diagonal from the start
        --x;
        --y;
        pairs.emplace_back(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
    }
    std::reverse(pairs.begin(), pairs.end());
    return pairs;
}

// Rows keep the id they were made with; `order` lists them as they stand.
// Putting a run onto them matches its lines to rows in order and makes new
// rows for the others, where they fall. Returns the run's row ids.
std::vector<uint32_t> place_run(std::vector<uint32_t> &order, Keys &key_of_row, const Keys &run_keys,
                                std::vector<long> &fronts)
{
    if (order.empty()) { // the first run: every line makes a row, in order
        std::vector<uint32_t> run_rows(run_keys.size());
        std::iota(run_rows.begin(), run_rows.end(), static_cast<uint32_t>(key_of_row.size()));
        key_of_row.insert(key_of_row.end(), run_keys.begin(), run_keys.end());
        order = run_rows;
        return run_rows;
    }
    Keys order_keys;
    order_keys.reserve(order.size());
    for (const uint32_t row : order)
        order_keys.push_back(key_of_row[row]);
    bool gave_up = false;
    std::vector<std::pair<uint32_t, uint32_t>> pairs = common_steps(order_keys, run_keys, fronts, gave_up);
    if (gave_up)
        for (uint32_t i = 0; i < std::min(order_keys.size(), run_keys.size()); ++i)
            if (order_keys[i] == run_keys[i])
                pairs.emplace_back(i, i);
    std::vector<uint32_t> merged;
    merged.reserve(order.size() + run_keys.size());
    std::vector<uint32_t> run_rows(run_keys.size());
    std::size_t old_at = 0, run_at = 0;
    const auto take_old = [&](std::size_t until) {
        for (; old_at < until; ++old_at)
            merged.push_back(order[old_at]);
    };
    const auto take_run = [&](std::size_t until) {
        for (; run_at < until; ++run_at) {
            run_rows[run_at] = static_cast<uint32_t>(key_of_row.size());
            key_of_row.push_back(run_keys[run_at]);
            merged.push_back(run_rows[run_at]);
        }
    };
    for (const auto &[old_index, run_index] : pairs) {
        take_old(old_index);
        take_run(run_index);
        run_rows[run_at++] = order[old_at];
        merged.push_back(order[old_at++]);
    }
    take_old(order.size());
    take_run(run_keys.size());
    order = std::move(merged);
    return run_rows;
}

// The fields that differ between the lines that share one row.
std::vector<uint16_t> differing_fields(std::span<const StepLine *const> lines)
{
    std::size_t widest = 0;
    for (const StepLine *line : lines)
        widest = std::max(widest, line->fields.size());
    std::vector<uint16_t> fields;
    for (std::size_t field = 0; field < widest && field <= UINT16_MAX; ++field) {
        const StepLine &first = *lines.front();
        if (static_cast<int>(field) + 1 == first.time_field)
            continue;
        const auto value_of = [field](const StepLine *line) {
            return field < line->fields.size() ? line->fields[field] : std::string_view();
        };
        const bool same = std::all_of(lines.begin(), lines.end(),
                                      [&](const StepLine *line) { return value_of(line) == value_of(&first); });
        if (!same)
            fields.push_back(static_cast<uint16_t>(field));
    }
    return fields;
}

} // namespace

StepAlignment align_steps(const std::vector<std::vector<StepLine>> &runs)
{
    StepAlignment result;
    // Nothing to line up: each line of a lone run is a row of its own. A
    // report of one file gives every scenario in full this way.
    if (runs.size() == 1) {
        result.rows = static_cast<uint32_t>(runs.front().size());
        std::vector<uint32_t> &rows = result.row_of.emplace_back(runs.front().size());
        std::iota(rows.begin(), rows.end(), 0u);
        return result;
    }
    KeyTable keys;
    std::vector<uint32_t> order;
    Keys key_of_row;
    std::vector<long> fronts;
    for (const std::vector<StepLine> &run : runs) {
        Keys run_keys;
        run_keys.reserve(run.size());
        for (const StepLine &line : run)
            run_keys.push_back(keys.key_of(line));
        result.row_of.push_back(place_run(order, key_of_row, run_keys, fronts));
    }
    // Row ids to positions, once.
    std::vector<uint32_t> position(key_of_row.size());
    for (uint32_t i = 0; i < order.size(); ++i)
        position[order[i]] = i;
    for (std::vector<uint32_t> &rows : result.row_of)
        for (uint32_t &row : rows)
            row = position[row];
    result.rows = static_cast<uint32_t>(order.size());
    // The lines of each row, row after row in one array (a block per row
    // would be an allocation per line of a scenario given in full).
    std::vector<uint32_t> row_start(order.size() + 1, 0);
    for (const std::vector<uint32_t> &rows : result.row_of)
        for (const uint32_t row : rows)
            ++row_start[row + 1];
    for (std::size_t row = 0; row < order.size(); ++row)
        row_start[row + 1] += row_start[row];
    std::vector<const StepLine *> by_row(row_start.back());
    std::vector<uint32_t> filled(row_start.begin(), row_start.end() - 1);
    for (std::size_t run = 0; run < runs.size(); ++run)
        for (std::size_t line = 0; line < runs[run].size(); ++line)
            by_row[filled[result.row_of[run][line]]++] = &runs[run][line];
    for (uint32_t row = 0; row < order.size(); ++row) {
        const std::span<const StepLine *const> lines(by_row.data() + row_start[row], row_start[row + 1] - row_start[row]);
        if (lines.size() < 2)
            continue;
        std::vector<uint16_t> fields = differing_fields(lines);
        if (!fields.empty())
            result.diffs.push_back(StepDiff{row, std::move(fields)});
    }
    return result;
}

void ScenarioHolder::body(const RddLine &line, std::optional<uint32_t> time, std::string_view text)
{
    switch (line.id) {
    case rdd_code_id('D', 'S'):
        open.emplace_back();
        if (!spare.empty()) {
            open.back().lines = std::move(spare.back());
            spare.pop_back();
        }
        return;
    case rdd_code_id('F', 'S'):
        if (!open.empty()) {
            open.back().fs_origins.assign(line.origins.begin(), line.origins.end());
            open.back().fs_line = line.number;
        }
        return;
    default: break;
    }
    if (open.empty())
        return;
    std::string_view own = line.code;
    if (!line.fields.empty()) {
        const std::string_view last = line.fields.back();
        own = line.text.substr(0, static_cast<std::size_t>(last.data() + last.size() - line.text.data()));
    }
    const auto at = static_cast<uint64_t>(own.data() - text.data());
    std::vector<HeldLine> &lines = open.back().lines;
    for (const RddOrigin &origin : line.origins)
        lines.push_back(HeldLine{line.number, at, static_cast<uint32_t>(own.size()), origin.file, origin.line,
                                 time.has_value(), time.value_or(0)});
}

ScenarioLines ScenarioHolder::close()
{
    if (open.empty())
        return {};
    ScenarioLines closed = std::move(open.back());
    open.pop_back();
    return closed;
}

void ScenarioHolder::recycle(std::vector<HeldLine> &&lines)
{
    lines.clear();
    if (spare.size() < 8)
        spare.push_back(std::move(lines));
}

std::vector<Run> runs_of(const ScenarioLines &scenario, const std::vector<uint32_t> &run_files, std::string_view name,
                         RunSources &sources)
{
    std::vector<Run> runs;
    const auto add_run = [&](uint32_t file) {
        if (sources.run_of_file[file] < 0) {
            sources.run_of_file[file] = static_cast<int32_t>(runs.size());
            runs.push_back(Run{file, RunVerdict::not_known, "", {}});
        }
        return static_cast<std::size_t>(sources.run_of_file[file]);
    };
    runs.reserve(run_files.size());
    for (const uint32_t file : run_files)
        add_run(file);
    // Each run's lines are counted first: every scenario of a large merge
    // comes here, and growing each run's list would take several blocks.
    std::vector<uint32_t> &counts = sources.lines_of_run;
    counts.assign(runs.size(), 0);
    for (const HeldLine &line : scenario.lines) {
        const std::size_t run = add_run(line.file);
        if (run == counts.size())
            counts.push_back(0);
        ++counts[run];
    }
    for (std::size_t run = 0; run < runs.size(); ++run)
        runs[run].lines.reserve(counts[run]);
    for (std::size_t i = 0; i < scenario.lines.size(); ++i)
        runs[static_cast<std::size_t>(sources.run_of_file[scenario.lines[i].file])].lines.push_back(i);
    for (const RddOrigin &origin : scenario.fs_origins)
        if (sources.closing_of_file[origin.file] < 0)
            sources.closing_of_file[origin.file] = static_cast<int32_t>(origin.line);
    for (Run &run : runs) {
        const int32_t entry = sources.entry_of_file[run.file];
        const int32_t closing = sources.closing_of_file[run.file];
        const bool read = sources.rods && entry >= 0 && static_cast<std::size_t>(entry) < sources.rods->size();
        const RodState state = read ? (*sources.rods)[static_cast<std::size_t>(entry)].state : RodState::missing;
        if (entry < 0) {
            run.why = "no CF line names file " + std::to_string(run.file);
        } else if (closing < 0) {
            run.why = "the run never closed the scenario";
        } else if (state != RodState::ok) {
            run.why = std::string("ROD file ") + rod_state_name(state);
        } else {
            run.verdict = rod_run_verdict((*sources.rods)[static_cast<std::size_t>(entry)],
                                          static_cast<uint32_t>(closing), name);
            if (run.verdict == RunVerdict::not_known)
                run.why = "no FS line of the scenario at ROD line " + std::to_string(closing);
        }
    }
    for (const Run &run : runs)
        sources.run_of_file[run.file] = -1;
    for (const RddOrigin &origin : scenario.fs_origins)
        sources.closing_of_file[origin.file] = -1;
    std::stable_partition(runs.begin(), runs.end(), [](const Run &run) { return run.verdict != RunVerdict::passed; });
    return runs;
}

std::vector<std::size_t> runs_compared(const std::vector<Run> &runs, bool all, std::size_t not_passed)
{
    std::vector<std::size_t> compared;
    bool passed_taken = false;
    std::size_t not_passed_taken = 0;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const bool passed = runs[i].verdict == RunVerdict::passed;
        if (all || (passed && !passed_taken) || (!passed && not_passed_taken < not_passed)) {
            compared.push_back(i);
            passed_taken = passed_taken || passed;
            not_passed_taken += !passed;
        }
    }
    return compared;
}

// Most report lines have up to eight fields of their own.
constexpr std::size_t FIELDS_AHEAD = 8;

RunComparison compare_runs(std::string_view text, const ScenarioLines &scenario, const std::vector<Run> &runs,
                           const std::vector<std::size_t> &compared)
{
    RunComparison comparison;
    comparison.lines.resize(compared.size());
    std::vector<std::vector<StepLine>> steps(compared.size());
    std::string error;
    for (std::size_t c = 0; c < compared.size(); ++c) {
        const Run &run = runs[compared[c]];
        std::vector<RddOwnedLine> &lines = comparison.lines[c];
        lines.resize(run.lines.size());
        for (std::size_t l = 0; l < run.lines.size(); ++l) {
            const HeldLine &held = scenario.lines[run.lines[l]];
            lines[l].number = held.rdd_line;
            lines[l].fields.reserve(FIELDS_AHEAD); // one block, not one per doubling
            rdd_scan_line(text.substr(held.text_at, held.text_size), lines[l], error);
            steps[c].push_back(StepLine{lines[l].code, lines[l].fields, rdd_time_field(lines[l].code)});
        }
    }
    comparison.alignment = align_steps(steps);
    return comparison;
}
