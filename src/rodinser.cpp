#include "rodinser.h"

#include "i18nerrgest.h"
#include "rodadnam.h"
#include "rodbase.h"
#include "rodtri.h"

#include <QString>

#include <deque>
#include <string_view>
#include <utility>

namespace {

[[noreturn]] void structure_fault() { report_fatal("UNEXPTEOF", QString(), QString()); }
[[noreturn]] void internal_fault() { report_fatal("ERRINTERN", QString(), QString()); }

// The merge of one file: the merged report's time offset and the inner
// run lists of joined scenarios still to merge.
struct Merge {
    uint32_t time_offset;
    std::deque<std::pair<CellId, Item>> pending; // (holder of a merged run list, new run list)
};

uint32_t real_key(const Merge &merge, const TimeKey &key)
{
    return key.fixed ? key.value : key.value + merge.time_offset;
}

CellId last_cell(CellId cell)
{
    while (cell_at(cell).next)
        cell = cell_at(cell).next;
    return cell;
}

// A block's first item is its opening line and its last item its closing line.
LineId opening_line(Item group, LineKind kind)
{
    if (!is_list_item(group))
        structure_fault();
    const Item first = cell_at(list_of(group)).item;
    if (!is_line_item(first) || line_at(line_of(first)).kind != kind)
        structure_fault();
    return line_of(first);
}

LineId closing_line(Item group, LineKind kind)
{
    if (!is_list_item(group) || !cell_at(list_of(group)).next)
        structure_fault();
    const Item last = cell_at(last_cell(list_of(group))).item;
    if (!is_line_item(last) || line_at(line_of(last)).kind != kind)
        structure_fault();
    return line_of(last);
}

// A field the line had when it was read, numeric (for an unsigned value)
// or text.
uint32_t read_number(LineId line, int k)
{
    const Line &record = line_at(line);
    const int slot = numeric_slot(record.kind, k);
    if (k > record.count || slot < 0)
        structure_fault();
    return static_cast<uint32_t>(record.values[slot]);
}

void write_number(LineId line, int k, uint32_t value)
{
    Line &record = line_at(line);
    record.values[numeric_slot(record.kind, k)] = static_cast<int32_t>(value);
}

std::string_view read_text(LineId line, int k)
{
    const Line &record = line_at(line);
    if (k > record.count || numeric_slot(record.kind, k) >= 0)
        structure_fault();
    return line_field_text(line, k);
}

int32_t first_file_number(LineId line)
{
    if (!line_at(line).has_origin)
        structure_fault();
    return line_at(line).file;
}

bool has_contribution(LineId line, int32_t file_number)
{
    return line_any_origin(line, [file_number](OriginPair pair) { return pair.file == file_number; });
}

Item run_of(CellId cell)
{
    const Item run = cell_at(cell).item;
    if (!is_list_item(run))
        structure_fault();
    return run;
}

// The line by which a merged run's contributions are known.
LineId reference_line(Item run)
{
    if (const Item xi = find_XI_group(run))
        return opening_line(xi, KIND_XI);
    if (const Item ds = find_DS_group(run))
        return opening_line(ds, KIND_DS);
    internal_fault();
}

// Inserts `item` into the chain after cell `head`, before the first cell
// whose item's key is greater (items without key are never the place);
// equal keys keep arrival order.
void insert_by_time(const Merge &merge, CellId head, Item item)
{
    const TimeKey key = item_time(item);
    if (!key.present)
        structure_fault();
    const uint32_t value = real_key(merge, key);
    CellId previous = head;
    for (CellId cell = cell_at(head).next; cell; previous = cell, cell = cell_at(cell).next) {
        const TimeKey other = item_time(cell_at(cell).item);
        if (other.present && real_key(merge, other) > value)
            break;
    }
    cell_at(previous).next = cell_new(item, cell_at(previous).next);
}

// Moves the inner items of group `from` (between its opening and closing
// lines) into group `into` in time order; `into` keeps its opening line first
// and its closing line last.
void insert_group_contents(const Merge &merge, Item into, Item from)
{
    if (!is_list_item(into) || !cell_at(list_of(into)).next || !is_list_item(from))
        structure_fault();
    const CellId from_closing = last_cell(list_of(from));
    if (from_closing == list_of(from))
        return;
    CellId before_closing = list_of(into);
    while (cell_at(cell_at(before_closing).next).next)
        before_closing = cell_at(before_closing).next;
    const CellId closing = cell_at(before_closing).next;
    cell_at(before_closing).next = 0;
    for (CellId cell = cell_at(list_of(from)).next; cell != from_closing; cell = cell_at(cell).next) {
        const Item item = cell_at(cell).item;
        if (!item)
            continue;
        cell_at(cell).item = NO_ITEM;
        insert_by_time(merge, list_of(into), item);
    }
    cell_at(last_cell(list_of(into))).next = closing;
}

// The parts of a run that merge_groups joins: XI group, DT item, XE item.
struct RunPart {
    CellId (*cell_of)(Item run);
    LineKind opening;
    LineKind closing;
};
constexpr RunPart XI_PART{find_XI_group_cell, KIND_XI, KIND_YI};
constexpr RunPart DT_PART{find_DT_cell, KIND_DT, KIND_YT};
constexpr RunPart XE_PART{find_XE_cell, KIND_XE, KIND_FE};

// A part the merged run lacks moves in at its place: an XI group first, a DT
// item after the DS group, an XE item after the DT item or the DS group.
void move_part_into(CellId merged_cell, CellId part_cell, const RunPart &part)
{
    const Item run = run_of(merged_cell);
    const Item group = cell_at(part_cell).item;
    cell_at(part_cell).item = NO_ITEM;
    if (part.opening == KIND_XI) {
        cell_at(merged_cell).item = list_item(cell_new(group, list_of(run)));
        return;
    }
    CellId after = part.opening == KIND_XE ? find_DT_cell(run) : 0;
    if (!after)
        after = find_DS_group_cell(run);
    if (!after)
        structure_fault();
    cell_at(after).next = cell_new(group, cell_at(after).next);
}

// Earliest start, latest end, the other group's origin pairs and inner items.
void join_groups(const Merge &merge, Item into, Item from, LineKind opening, LineKind closing)
{
    const LineId into_open = opening_line(into, opening);
    const LineId from_open = opening_line(from, opening);
    const LineId into_close = closing_line(into, closing);
    const LineId from_close = closing_line(from, closing);

    const uint32_t start = read_number(into_open, 1);
    const uint32_t other_start = read_number(from_open, 1);
    if (other_start + merge.time_offset < start + merge.time_offset)
        write_number(into_open, 1, other_start);
    line_gather_origins(into_open, from_open);

    const uint32_t end = read_number(into_close, 1);
    const uint32_t other_end = read_number(from_close, 1);
    if (other_end > end)
        write_number(into_close, 1, other_end);
    line_gather_origins(into_close, from_close);

    insert_group_contents(merge, into, from);
}

void merge_groups(const Merge &merge, CellId merged_cell, Item new_run, const RunPart &part)
{
    const CellId new_cell = part.cell_of(new_run);
    if (!new_cell)
        return;
    const CellId merged_part = part.cell_of(run_of(merged_cell));
    if (!merged_part) {
        move_part_into(merged_cell, new_cell, part);
        return;
    }
    join_groups(merge, cell_at(merged_part).item, cell_at(new_cell).item, part.opening, part.closing);
}

// "1" outranks "2", and "2" outranks every other verdict; otherwise the
// earlier file's verdict stays.
void merge_verdicts(LineId into_fs, LineId from_fs)
{
    const std::string_view kept = read_text(into_fs, 3);
    const std::string_view other = read_text(from_fs, 3);
    if (kept != "\"1\"" && (other == "\"2\"" || other == "\"1\"")) {
        line_set_field_text(into_fs, 3, other);
        line_set_field_text(from_fs, 3, kept);
    }
}

void merge_ds_groups(Merge &merge, CellId merged_cell, Item new_run)
{
    const CellId new_cell = find_DS_group_cell(new_run);
    if (!new_cell)
        return;
    const Item run = run_of(merged_cell);
    const CellId merged_part = find_DS_group_cell(run);
    const Item from = cell_at(new_cell).item;
    if (!merged_part) {
        const CellId xi_cell = find_XI_group_cell(run);
        if (!xi_cell)
            internal_fault();
        cell_at(new_cell).item = NO_ITEM;
        cell_at(xi_cell).next = cell_new(from, cell_at(xi_cell).next);
        return;
    }
    const Item into = cell_at(merged_part).item;
    const LineId into_ds = opening_line(into, KIND_DS);
    const LineId from_ds = opening_line(from, KIND_DS);
    const LineId into_fs = closing_line(into, KIND_FS);
    const LineId from_fs = closing_line(from, KIND_FS);

    const uint32_t start = read_number(into_ds, 5);
    const uint32_t other_start = read_number(from_ds, 5);
    if (other_start + merge.time_offset < start + merge.time_offset)
        write_number(into_ds, 5, other_start);
    line_gather_origins(into_ds, from_ds);
    merge_verdicts(into_fs, from_fs);
    line_gather_origins(into_fs, from_fs);

    const Item from_inner = cell_at(cell_at(list_of(from)).next).item;
    if (from_inner && all_timed(from_inner)) {
        const CellId into_holder = cell_at(list_of(into)).next;
        if (!all_timed(cell_at(into_holder).item))
            structure_fault();
        merge.pending.emplace_back(into_holder, from_inner);
    } else {
        insert_group_contents(merge, into, from);
    }
}

void merge_runs(Merge &merge, CellId merged_cell, Item new_run)
{
    merge_groups(merge, merged_cell, new_run, XI_PART);
    merge_ds_groups(merge, merged_cell, new_run);
    merge_groups(merge, merged_cell, new_run, DT_PART);
    merge_groups(merge, merged_cell, new_run, XE_PART);
}

// The merged run of the same scenario (DS fields 1 and 4), or the first run
// without scenario to which the new scenario's file has not contributed.
CellId find_scenario_partner(Item merged_runs, LineId ds_line)
{
    const std::string_view name = read_text(ds_line, 1);
    const std::string_view instance = read_text(ds_line, 4);
    const int32_t file_number = first_file_number(ds_line);
    for (CellId cell = is_list_item(merged_runs) ? list_of(merged_runs) : 0; cell; cell = cell_at(cell).next) {
        const Item run = run_of(cell);
        if (const Item ds = find_DS_group(run)) {
            const LineId merged_ds = opening_line(ds, KIND_DS);
            if (read_text(merged_ds, 1) == name && read_text(merged_ds, 4) == instance)
                return cell;
            continue;
        }
        const Item xi = find_XI_group(run);
        if (!xi)
            internal_fault();
        if (!has_contribution(opening_line(xi, KIND_XI), file_number))
            return cell;
    }
    return 0;
}

void append_run(CellId holder, Item run)
{
    const Item runs = cell_at(holder).item;
    if (runs)
        cell_at(last_cell(list_of(runs))).next = cell_new(run);
    else
        cell_at(holder).item = list_item(cell_new(run));
}

// Before the first merged scenario with a greater DS field 7; equal keys
// keep arrival order. Takes the run out of the new list.
void place_scenario_run(CellId holder, CellId new_cell, LineId ds_line)
{
    const Item run = cell_at(new_cell).item;
    cell_at(new_cell).item = NO_ITEM;
    const uint32_t key = read_number(ds_line, 7);
    CellId previous = 0;
    const Item runs = cell_at(holder).item;
    for (CellId cell = runs ? list_of(runs) : 0; cell; previous = cell, cell = cell_at(cell).next) {
        const Item ds = find_DS_group(run_of(cell));
        if (ds && read_number(opening_line(ds, KIND_DS), 7) > key) {
            if (previous)
                cell_at(previous).next = cell_new(run, cell);
            else
                cell_at(holder).item = list_item(cell_new(run, cell));
            return;
        }
    }
    append_run(holder, run);
}

// The i-th instance run of a file joins the first merged run that has no
// contribution from that file yet; when all have one, it is appended.
void merge_instance_run(const Merge &merge, CellId holder, CellId new_cell)
{
    const Item run = cell_at(new_cell).item;
    const Item xi = find_XI_group(run);
    if (!xi)
        structure_fault();
    const int32_t file_number = first_file_number(opening_line(xi, KIND_XI));
    const Item runs = cell_at(holder).item;
    for (CellId cell = runs ? list_of(runs) : 0; cell; cell = cell_at(cell).next) {
        if (!has_contribution(reference_line(run_of(cell)), file_number)) {
            merge_groups(merge, cell, run, XI_PART);
            return;
        }
    }
    cell_at(new_cell).item = NO_ITEM;
    append_run(holder, run);
}

void merge_run_list(Merge &merge, CellId holder, Item new_runs)
{
    for (CellId cell = list_of(new_runs); cell; cell = cell_at(cell).next) {
        if (!cell_at(cell).item)
            continue;
        const Item run = run_of(cell);
        if (const Item ds = find_DS_group(run)) {
            const LineId ds_line = opening_line(ds, KIND_DS);
            if (const CellId partner = find_scenario_partner(cell_at(holder).item, ds_line))
                merge_runs(merge, partner, run);
            else
                place_scenario_run(holder, cell, ds_line);
        } else {
            merge_instance_run(merge, holder, cell);
        }
    }
}

// Inner runs of joined scenarios wait in a queue instead of a recursion
// that would follow the nesting depth of the report.
void merge_body(Merge &merge, CellId holder, Item new_runs)
{
    merge.pending.emplace_back(holder, new_runs);
    while (!merge.pending.empty()) {
        const auto [merged_holder, runs] = merge.pending.front();
        merge.pending.pop_front();
        merge_run_list(merge, merged_holder, runs);
    }
}

struct ReportParts {
    CellId first;
    CellId body;
    CellId last;
};

ReportParts cut_apart(CellId report)
{
    const CellId body = report ? cell_at(report).next : 0;
    const CellId last = body ? cell_at(body).next : 0;
    if (!last || cell_at(last).next)
        structure_fault();
    cell_at(report).next = 0;
    cell_at(body).next = 0;
    return {report, body, last};
}

// The first file's tree becomes the merged report.
CellId start_merged_report(const ReportParts &parts)
{
    const CellId tails = cell_new(list_item(parts.last));
    cell_at(parts.body).next = tails;
    return cell_new(list_item(parts.first), parts.body);
}

void append_ends(CellId merged, const ReportParts &parts)
{
    const CellId tails = cell_at(cell_at(merged).next).next;
    cell_at(last_cell(list_of(cell_at(merged).item))).next = parts.first;
    cell_at(last_cell(list_of(cell_at(tails).item))).next = parts.last;
}

// A run list: a list whose first item is a run, i.e. a list starting with a group.
bool is_run_list(Item x) { return is_list_item(x) && starts_with_group(cell_at(list_of(x)).item); }

// The holder of the merged run list: the merged body's E, or, when the first
// file's body was not regrouped, a cell put in front of it.
CellId merged_runs_holder(CellId merged_body)
{
    const CellId chain = list_of(cell_at(merged_body).item);
    const Item first = cell_at(chain).item;
    if (!first || is_run_list(first))
        return chain;
    const CellId holder = cell_new(NO_ITEM, chain);
    cell_at(merged_body).item = list_item(holder);
    return holder;
}

} // namespace

CellId merge_report(CellId merged, CellId report, uint32_t time_offset)
{
    const ReportParts parts = cut_apart(report);
    if (!merged)
        return start_merged_report(parts);
    append_ends(merged, parts);

    const CellId merged_body = cell_at(merged).next;
    const Item new_chain = cell_at(parts.body).item;
    if (!cell_at(merged_body).item) {
        cell_at(merged_body).item = new_chain;
        cell_at(parts.body).item = NO_ITEM;
    } else if (new_chain) {
        // What follows the new file's runs is not taken.
        const Item runs = first_item(new_chain);
        if (is_run_list(runs)) {
            Merge merge{time_offset, {}};
            merge_body(merge, merged_runs_holder(merged_body), runs);
        }
    }
    return merged;
}

CellId merge_report_by_time(CellId merged, CellId report, uint32_t time_offset)
{
    const ReportParts parts = cut_apart(report);
    if (!merged)
        return start_merged_report(parts);
    append_ends(merged, parts);

    const CellId merged_body = cell_at(merged).next;
    const Item new_chain = cell_at(parts.body).item;
    const Merge merge{time_offset, {}};
    const CellId head = cell_new(NO_ITEM, is_list_item(cell_at(merged_body).item) ? list_of(cell_at(merged_body).item) : 0);
    for (CellId cell = is_list_item(new_chain) ? list_of(new_chain) : 0; cell; cell = cell_at(cell).next) {
        const Item item = cell_at(cell).item;
        if (!item)
            continue;
        cell_at(cell).item = NO_ITEM;
        insert_by_time(merge, head, item);
    }
    const CellId first = cell_at(head).next;
    cell_at(merged_body).item = first ? list_item(first) : NO_ITEM;
    return merged;
}
