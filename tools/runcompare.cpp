#include "runcompare.h"

#include <algorithm>
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
// the greedy shortest edit script (Myers). Nullopt-like empty result with
// `gave_up` when the script would be longer than STEP_SEARCH_LIMIT.
std::vector<std::pair<uint32_t, uint32_t>> common_steps(const Keys &a, const Keys &b, bool &gave_up)
{
    const long n = static_cast<long>(a.size()), m = static_cast<long>(b.size());
    const long max_d = std::min<long>(n + m, static_cast<long>(STEP_SEARCH_LIMIT));
    const long offset = max_d + 1;
    std::vector<long> v(static_cast<std::size_t>(2 * offset + 1), 0);
    std::vector<std::vector<long>> trace;
    gave_up = false;
    long found_d = -1;
    for (long d = 0; d <= max_d && found_d < 0; ++d) {
        trace.push_back(v);
        for (long k = -d; k <= d; k += 2) {
            const std::size_t at = static_cast<std::size_t>(k + offset);
            long x = (k == -d || (k != d && v[at - 1] < v[at + 1])) ? v[at + 1] : v[at - 1] + 1;
            long y = x - k;
            while (x < n && y < m && a[static_cast<std::size_t>(x)] == b[static_cast<std::size_t>(y)]) {
                ++x;
                ++y;
            }
            v[at] = x;
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
    for (long d = found_d; d >= 0; --d) {
        const std::vector<long> &front = trace[static_cast<std::size_t>(d)];
        const auto front_at = [&](long k) { return front[static_cast<std::size_t>(k + offset)]; };
        const long k = x - y;
        const long previous_k = (k == -d || (k != d && front_at(k - 1) < front_at(k + 1))) ? k + 1 : k - 1;
        const long previous_x = front_at(previous_k);
        const long previous_y = previous_x - previous_k;
        while (x > previous_x && y > previous_y) {
            --x;
            --y;
            pairs.emplace_back(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
        }
        x = previous_x;
        y = previous_y;
    }
    std::reverse(pairs.begin(), pairs.end());
    return pairs;
}

// Puts one run onto the rows: matched lines share their row, the others get
// new rows inserted where they fall. Returns the run's rows; `row_keys` and
// the rows of earlier runs are renumbered in place.
std::vector<uint32_t> place_run(Keys &row_keys, const Keys &run_keys, std::vector<std::vector<uint32_t>> &earlier)
{
    bool gave_up = false;
    std::vector<std::pair<uint32_t, uint32_t>> pairs = common_steps(row_keys, run_keys, gave_up);
    if (gave_up)
        for (uint32_t i = 0; i < std::min(row_keys.size(), run_keys.size()); ++i)
            if (row_keys[i] == run_keys[i])
                pairs.emplace_back(i, i);
    // Merge the old rows and the run's unmatched lines in order.
    Keys merged;
    std::vector<uint32_t> old_to_new(row_keys.size());
    std::vector<uint32_t> run_rows(run_keys.size());
    std::size_t old_at = 0, run_at = 0;
    auto take_old = [&](std::size_t until) {
        for (; old_at < until; ++old_at) {
            old_to_new[old_at] = static_cast<uint32_t>(merged.size());
            merged.push_back(row_keys[old_at]);
        }
    };
    auto take_run = [&](std::size_t until) {
        for (; run_at < until; ++run_at) {
            run_rows[run_at] = static_cast<uint32_t>(merged.size());
            merged.push_back(run_keys[run_at]);
        }
    };
    for (const auto &[old_index, run_index] : pairs) {
        take_old(old_index);
        take_run(run_index);
        old_to_new[old_at++] = static_cast<uint32_t>(merged.size());
        run_rows[run_at++] = static_cast<uint32_t>(merged.size());
        merged.push_back(run_keys[run_index]);
    }
    take_old(row_keys.size());
    take_run(run_keys.size());
    for (std::vector<uint32_t> &rows : earlier)
        for (uint32_t &row : rows)
            row = old_to_new[row];
    row_keys = std::move(merged);
    return run_rows;
}

// The fields that differ between the lines that share one row.
std::vector<uint16_t> differing_fields(const std::vector<const StepLine *> &lines)
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
    KeyTable keys;
    Keys row_keys;
    for (const std::vector<StepLine> &run : runs) {
        Keys run_keys;
        run_keys.reserve(run.size());
        for (const StepLine &line : run)
            run_keys.push_back(keys.key_of(line));
        std::vector<uint32_t> rows = place_run(row_keys, run_keys, result.row_of);
        result.row_of.push_back(std::move(rows));
    }
    result.rows = static_cast<uint32_t>(row_keys.size());
    std::vector<std::vector<const StepLine *>> by_row(row_keys.size());
    for (std::size_t run = 0; run < runs.size(); ++run)
        for (std::size_t line = 0; line < runs[run].size(); ++line)
            by_row[result.row_of[run][line]].push_back(&runs[run][line]);
    for (uint32_t row = 0; row < by_row.size(); ++row) {
        if (by_row[row].size() < 2)
            continue;
        std::vector<uint16_t> fields = differing_fields(by_row[row]);
        if (!fields.empty())
            result.diffs.push_back(StepDiff{row, std::move(fields)});
    }
    return result;
}
