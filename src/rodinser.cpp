#include "rodinser.h"

#include "i18nerrgest.h"
#include "rodadnam.h"
#include "rodbase.h"

#include <QString>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

[[noreturn]] void structure_fault() { report_fatal("UNEXPTEOF", QString(), QString()); }
[[noreturn]] void internal_fault() { report_fatal("ERRINTERN", QString(), QString()); }

constexpr uint32_t NONE = UINT32_MAX;
constexpr uint64_t LABEL_GAP = uint64_t{1} << 32;

// The lines the merge looks for in the parts of a run (by exact code).
enum PartBit : uint8_t { XI_BIT = 1, DS_BIT = 2, DT_BIT = 4, XE_BIT = 8 };

uint8_t part_bit_of(Item item)
{
    if (!is_line_item(item))
        return 0;
    const Line &line = line_at(line_of(item));
    if (!line.exact_code)
        return 0;
    switch (line.kind) {
    case KIND_XI:
        return XI_BIT;
    case KIND_DS:
        return DS_BIT;
    case KIND_DT:
        return DT_BIT;
    case KIND_XE:
        return XE_BIT;
    default:
        return 0;
    }
}

uint8_t walk_part_bits(Item list)
{
    uint8_t bits = 0;
    for (CellId cell = list_of(list); cell; cell = cell_at(cell).next)
        bits |= part_bit_of(cell_at(cell).item);
    return bits;
}

// A scenario identity: DS fields 1 and 4 as written.
struct Identity {
    std::string_view name;
    std::string_view instance;
    bool operator==(const Identity &) const = default;
};

struct IdentityHash {
    std::size_t operator()(const Identity &identity) const
    {
        const std::size_t name = std::hash<std::string_view>()(identity.name);
        return name ^ (std::hash<std::string_view>()(identity.instance) + 0x9E3779B97F4A7C15ULL + (name << 6));
    }
};

// A merged run as the searches of the merge see it.
struct RunEntry {
    CellId cell = 0; // its cell in the merged run list
    uint64_t label = 0; // increases along the list
    uint32_t prev = NONE;
    uint32_t next = NONE;
    LineId xi_line = 0; // opening line of its XI group
    LineId ds_line = 0; // opening line of its DS group
    uint32_t order_key = 0; // DS field 7
    bool faulty = false; // a search would stop on it with a fault
};

// Index of a merged run list. It answers the searches of the merge (first
// run of a scenario identity, first run lacking the file's contribution,
// first scenario with a greater order key) without walking the list, and
// follows every change the merge makes to the list. A merged run that a
// search would stop on with a fault makes it unusable: the searches then
// walk the list, so that faults and their order stay those of the walks.
struct RunIndex {
    bool valid = false;
    std::vector<RunEntry> entries;
    uint32_t first = NONE;
    uint32_t last = NONE;
    std::unordered_map<Identity, std::vector<uint32_t>, IdentityHash> by_identity; // in list order
    std::vector<uint32_t> without_ds; // runs without DS group when they came, in list order
    // Scenario runs whose order key is greater than that of every scenario
    // run before them: the first scenario with a key greater than k is the
    // first of these with a key greater than k. Keys and labels rise together.
    std::map<uint32_t, uint32_t> key_records;
    std::map<uint64_t, uint32_t> label_records;
    // During the merge of one file: every run before the cursors has a
    // contribution from it (runs only gain contributions, and runs come in
    // with one), so each search resumes where the last one stopped.
    int32_t file = 0;
    std::size_t without_ds_cursor = 0;
    uint32_t any_cursor = NONE;
};

struct GroupTime {
    CellId closing;
    TimeOrder order;
};

} // namespace

struct MergeMemo::Indexes {
    std::unordered_map<CellId, uint8_t> group_parts; // merged groups: the part lines directly in them
    std::unordered_map<CellId, GroupTime> group_times; // merged groups that took items
    CellId body_head = 0; // -TIME: the cell before the merged body chain
    std::unique_ptr<TimeOrder> body_time;
    std::unordered_map<CellId, RunIndex> run_lists; // by the cell holding the list
    CellId heads_last = 0;
    CellId tails_last = 0;
};

MergeMemo::MergeMemo() : indexes(std::make_unique<Indexes>()) {}
MergeMemo::~MergeMemo() = default;

namespace {

using Memo = MergeMemo::Indexes;

// The merge of one file.
using PartBits = std::unordered_map<CellId, uint8_t>;

struct Merge {
    Memo &memo;
    TimeFrame frame;
    RendezvousOrder *points; // told what is linked into the merged body
    std::deque<std::pair<CellId, Item>> pending = {}; // (holder of a merged run list, new run list)
    PartBits new_parts = {}; // the new file's groups, while it is merged
};

// The part lines directly in a list, found once: for merged groups in the
// memo, for the new file's in the merge of the file.
uint8_t part_bits(PartBits &parts, Item list)
{
    if (!is_list_item(list))
        return 0;
    const auto [found, added] = parts.try_emplace(list_of(list), 0);
    if (added)
        found->second = walk_part_bits(list);
    return found->second;
}

enum class Part { XI, DS, DT, XE };

// The cell of a run that holds its part: the first XI group, DS group, item
// holding a DT line, or item holding an XE line.
CellId part_cell(PartBits &parts, Item run, Part part)
{
    static constexpr uint8_t bits[] = {XI_BIT, DS_BIT, DT_BIT, XE_BIT};
    const uint8_t wanted = bits[static_cast<int>(part)];
    const bool group_only = part == Part::XI || part == Part::DS;
    for (CellId cell = list_of(run); cell; cell = cell_at(cell).next) {
        const Item item = cell_at(cell).item;
        if (item && (part_bits(parts, item) & wanted) && (!group_only || is_group(item)))
            return cell;
    }
    return 0;
}

Item part_item(PartBits &parts, Item run, Part part)
{
    const CellId cell = part_cell(parts, run, part);
    return cell ? cell_at(cell).item : NO_ITEM;
}

CellId last_cell(CellId cell)
{
    while (cell_at(cell).next)
        cell = cell_at(cell).next;
    return cell;
}

// A merged group's last cell, from its kept record once it took items.
CellId group_last_cell(Merge &merge, Item group)
{
    const auto found = merge.memo.group_times.find(list_of(group));
    return found != merge.memo.group_times.end() ? found->second.closing : last_cell(list_of(group));
}

// The opening line of a block when it is a line of that kind; 0 otherwise.
LineId opening_of(Item group, LineKind kind)
{
    if (!is_list_item(group))
        return 0;
    const Item first = cell_at(list_of(group)).item;
    return is_line_item(first) && line_at(line_of(first)).kind == kind ? line_of(first) : 0;
}

// A block's first item is its opening line and its last item its closing line.
LineId opening_line(Item group, LineKind kind)
{
    const LineId line = opening_of(group, kind);
    if (!line)
        structure_fault();
    return line;
}

LineId closing_line(Merge &merge, Item group, LineKind kind)
{
    if (!is_list_item(group) || !cell_at(list_of(group)).next)
        structure_fault();
    const Item last = cell_at(group_last_cell(merge, group)).item;
    if (!is_line_item(last) || line_at(line_of(last)).kind != kind)
        structure_fault();
    return line_of(last);
}

// A field the line had when it was read: numeric (as an unsigned value) or text.
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

// The file of a merged line's last origin pair: pairs come in file order,
// so the line has a pair of the file being merged when this is its number.
int32_t newest_file(LineId line)
{
    const Line &record = line_at(line);
    const uint32_t tail = static_cast<uint32_t>(record.values[GATHERED_SLOT]);
    return tail ? gathered_at(tail).pair.file : record.file;
}

Item run_of(CellId cell)
{
    const Item run = cell_at(cell).item;
    if (!is_list_item(run))
        structure_fault();
    return run;
}

// Moves the inner items of group `from` (between its opening and closing
// lines) into group `into` in time order; `into` keeps its opening line first
// and its closing line last. The cells that held them go with them; `from`
// is left with its opening and closing lines.
void insert_group_contents(Merge &merge, Item into, Item from)
{
    if (!is_list_item(into) || !cell_at(list_of(into)).next || !is_list_item(from))
        structure_fault();
    const CellId from_first = list_of(from);
    const CellId from_closing = last_cell(from_first);
    if (from_closing == from_first)
        return;
    const CellId into_first = list_of(into);
    auto found = merge.memo.group_times.find(into_first);
    if (found == merge.memo.group_times.end()) {
        const CellId closing = last_cell(into_first);
        found = merge.memo.group_times.try_emplace(into_first, GroupTime{closing, TimeOrder(into_first, closing)}).first;
    }
    TimeOrder &order = found->second.order;
    uint8_t moved_bits = 0;
    for (CellId cell = cell_at(from_first).next; cell != from_closing;) {
        const CellId next = cell_at(cell).next;
        const Item item = cell_at(cell).item;
        if (item) {
            const TimeKey key = item_time(item);
            if (!key.present)
                structure_fault();
            moved_bits |= part_bit_of(item);
            const CellId taken = order.insert(item, key, cell, merge.frame);
            if (merge.points)
                merge.points->linked(item, cell_at(taken).next, {});
        }
        cell = next;
    }
    cell_at(from_first).next = from_closing;
    if (const auto parts = merge.memo.group_parts.find(into_first); parts != merge.memo.group_parts.end())
        parts->second |= moved_bits;
    if (const auto parts = merge.new_parts.find(from_first); parts != merge.new_parts.end())
        parts->second = walk_part_bits(from);
}

// The parts of a run that merge_groups joins: XI group, DT item, XE item.
struct RunPart {
    Part part;
    LineKind opening;
    LineKind closing;
};
constexpr RunPart XI_PART{Part::XI, KIND_XI, KIND_YI};
constexpr RunPart DT_PART{Part::DT, KIND_DT, KIND_YT};
constexpr RunPart XE_PART{Part::XE, KIND_XE, KIND_FE};

// A part the merged run lacks moves in at its place: an XI group first, a DT
// item after the DS group, an XE item after the DT item or the DS group.
// Tells the rendezvous order of a part linked into the merged run of
// `merged_cell`, in the cell `part`: what follows it lies in the run, then
// in the runs after it, then after the run list.
void part_linked(Merge &merge, CellId holder, CellId merged_cell, CellId part)
{
    if (merge.points)
        merge.points->linked(cell_at(part).item, cell_at(part).next, {cell_at(merged_cell).next, cell_at(holder).next});
}

void move_part_into(Merge &merge, CellId holder, CellId merged_cell, CellId part_cell_of_new, const RunPart &part)
{
    const Item run = run_of(merged_cell);
    const Item group = cell_at(part_cell_of_new).item;
    cell_at(part_cell_of_new).item = NO_ITEM;
    if (part.opening == KIND_XI) {
        const CellId first = cell_new(group, list_of(run));
        cell_at(merged_cell).item = list_item(first);
        part_linked(merge, holder, merged_cell, first);
        return;
    }
    CellId after = part.opening == KIND_XE ? part_cell(merge.memo.group_parts, run, Part::DT) : 0;
    if (!after)
        after = part_cell(merge.memo.group_parts, run, Part::DS);
    if (!after)
        structure_fault();
    cell_at(after).next = cell_new(group, cell_at(after).next);
    part_linked(merge, holder, merged_cell, cell_at(after).next);
}

// Earliest start, latest end, the other group's origin pairs and inner items.
void join_groups(Merge &merge, Item into, Item from, LineKind opening, LineKind closing)
{
    const LineId into_open = opening_line(into, opening);
    const LineId from_open = opening_line(from, opening);
    const LineId into_close = closing_line(merge, into, closing);
    const LineId from_close = closing_line(merge, from, closing);

    const uint32_t start = read_number(into_open, 1);
    const uint32_t other_start = read_number(from_open, 1);
    if (other_start + merge.frame.offset < start + merge.frame.offset)
        write_number(into_open, 1, other_start);
    line_gather_origins(into_open, from_open);

    const uint32_t end = read_number(into_close, 1);
    const uint32_t other_end = read_number(from_close, 1);
    if (other_end > end)
        write_number(into_close, 1, other_end);
    line_gather_origins(into_close, from_close);

    insert_group_contents(merge, into, from);
}

void merge_groups(Merge &merge, CellId holder, CellId merged_cell, Item new_run, const RunPart &part)
{
    const CellId new_cell = part_cell(merge.new_parts, new_run, part.part);
    if (!new_cell)
        return;
    const CellId merged_part = part_cell(merge.memo.group_parts, run_of(merged_cell), part.part);
    if (!merged_part) {
        move_part_into(merge, holder, merged_cell, new_cell, part);
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
    if (kept != "\"1\"" && (other == "\"2\"" || other == "\"1\""))
        line_set_field_text(into_fs, 3, other);
}

void merge_ds_groups(Merge &merge, CellId holder, CellId merged_cell, Item new_run)
{
    const CellId new_cell = part_cell(merge.new_parts, new_run, Part::DS);
    if (!new_cell)
        return;
    const Item run = run_of(merged_cell);
    const CellId merged_part = part_cell(merge.memo.group_parts, run, Part::DS);
    const Item from = cell_at(new_cell).item;
    if (!merged_part) {
        const CellId xi_cell = part_cell(merge.memo.group_parts, run, Part::XI);
        if (!xi_cell)
            internal_fault();
        cell_at(new_cell).item = NO_ITEM;
        cell_at(xi_cell).next = cell_new(from, cell_at(xi_cell).next);
        part_linked(merge, holder, merged_cell, cell_at(xi_cell).next);
        return;
    }
    const Item into = cell_at(merged_part).item;
    const LineId into_ds = opening_line(into, KIND_DS);
    const LineId from_ds = opening_line(from, KIND_DS);
    const LineId into_fs = closing_line(merge, into, KIND_FS);
    const LineId from_fs = closing_line(merge, from, KIND_FS);

    const uint32_t start = read_number(into_ds, 5);
    const uint32_t other_start = read_number(from_ds, 5);
    if (other_start + merge.frame.offset < start + merge.frame.offset)
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

void merge_runs(Merge &merge, CellId holder, CellId merged_cell, Item new_run)
{
    merge_groups(merge, holder, merged_cell, new_run, XI_PART);
    merge_ds_groups(merge, holder, merged_cell, new_run);
    merge_groups(merge, holder, merged_cell, new_run, DT_PART);
    merge_groups(merge, holder, merged_cell, new_run, XE_PART);
}

// Tells the rendezvous order of a run linked into a merged run list.
void run_linked(Merge &merge, CellId holder, CellId cell)
{
    if (merge.points)
        merge.points->linked(cell_at(cell).item, cell_at(cell).next, {cell_at(holder).next});
}

void append_run(Merge &merge, CellId holder, Item run)
{
    const Item runs = cell_at(holder).item;
    const CellId cell = cell_new(run);
    if (runs)
        cell_at(last_cell(list_of(runs))).next = cell;
    else
        cell_at(holder).item = list_item(cell);
    run_linked(merge, holder, cell);
}

// The searches as walks from the start of the merged run list, for a list
// whose index is unusable.

// The merged run of the same scenario (DS fields 1 and 4), or the first run
// without scenario to which the new scenario's file has not contributed.
CellId find_scenario_partner(Merge &merge, Item merged_runs, LineId ds_line)
{
    const std::string_view name = read_text(ds_line, 1);
    const std::string_view instance = read_text(ds_line, 4);
    const int32_t file_number = first_file_number(ds_line);
    for (CellId cell = is_list_item(merged_runs) ? list_of(merged_runs) : 0; cell; cell = cell_at(cell).next) {
        const Item run = run_of(cell);
        if (const Item ds = part_item(merge.memo.group_parts, run, Part::DS)) {
            const LineId merged_ds = opening_line(ds, KIND_DS);
            if (read_text(merged_ds, 1) == name && read_text(merged_ds, 4) == instance)
                return cell;
            continue;
        }
        const Item xi = part_item(merge.memo.group_parts, run, Part::XI);
        if (!xi)
            internal_fault();
        if (!has_contribution(opening_line(xi, KIND_XI), file_number))
            return cell;
    }
    return 0;
}

// Before the first merged scenario with a greater DS field 7; equal keys
// keep arrival order. Takes the run out of the new list.
void place_scenario_run(Merge &merge, CellId holder, CellId new_cell, LineId ds_line)
{
    const Item run = cell_at(new_cell).item;
    cell_at(new_cell).item = NO_ITEM;
    const uint32_t key = read_number(ds_line, 7);
    CellId previous = 0;
    const Item runs = cell_at(holder).item;
    for (CellId cell = runs ? list_of(runs) : 0; cell; previous = cell, cell = cell_at(cell).next) {
        const Item ds = part_item(merge.memo.group_parts, run_of(cell), Part::DS);
        if (ds && read_number(opening_line(ds, KIND_DS), 7) > key) {
            const CellId placed = cell_new(run, cell);
            if (previous)
                cell_at(previous).next = placed;
            else
                cell_at(holder).item = list_item(placed);
            run_linked(merge, holder, placed);
            return;
        }
    }
    append_run(merge, holder, run);
}

// The line by which a merged run's contributions are known.
LineId reference_line(Merge &merge, Item run)
{
    if (const Item xi = part_item(merge.memo.group_parts, run, Part::XI))
        return opening_line(xi, KIND_XI);
    if (const Item ds = part_item(merge.memo.group_parts, run, Part::DS))
        return opening_line(ds, KIND_DS);
    internal_fault();
}

// The i-th instance run of a file joins the first merged run that has no
// contribution from that file yet; when all have one, it is appended.
void merge_instance_run(Merge &merge, CellId holder, CellId new_cell, int32_t file_number)
{
    const Item run = cell_at(new_cell).item;
    const Item runs = cell_at(holder).item;
    for (CellId cell = runs ? list_of(runs) : 0; cell; cell = cell_at(cell).next) {
        if (!has_contribution(reference_line(merge, run_of(cell)), file_number)) {
            merge_groups(merge, holder, cell, run, XI_PART);
            return;
        }
    }
    cell_at(new_cell).item = NO_ITEM;
    append_run(merge, holder, run);
}

// The searches through the run index.

void classify(Merge &merge, RunEntry &entry)
{
    const Item run = cell_at(entry.cell).item;
    entry.xi_line = entry.ds_line = 0;
    if (!is_list_item(run)) {
        entry.faulty = true;
        return;
    }
    const Item xi = part_item(merge.memo.group_parts, run, Part::XI);
    const Item ds = part_item(merge.memo.group_parts, run, Part::DS);
    entry.xi_line = xi ? opening_of(xi, KIND_XI) : 0;
    entry.ds_line = ds ? opening_of(ds, KIND_DS) : 0;
    entry.faulty = (xi && !entry.xi_line) || (ds && !entry.ds_line) || (!xi && !ds);
    if (entry.ds_line)
        entry.order_key = read_number(entry.ds_line, 7);
}

Identity identity_of(LineId ds_line) { return {read_text(ds_line, 1), read_text(ds_line, 4)}; }

void relabel(RunIndex &index)
{
    uint64_t label = 0;
    for (uint32_t at = index.first; at != NONE; at = index.entries[at].next)
        index.entries[at].label = label += LABEL_GAP;
    index.label_records.clear();
    for (const auto &[key, at] : index.key_records)
        index.label_records.emplace(index.entries[at].label, at);
}

void add_identity(RunIndex &index, uint32_t at)
{
    std::vector<uint32_t> &runs = index.by_identity[identity_of(index.entries[at].ds_line)];
    const uint64_t label = index.entries[at].label;
    runs.insert(std::lower_bound(runs.begin(), runs.end(), label,
                                 [&index](uint32_t run, uint64_t wanted) { return index.entries[run].label < wanted; }),
                at);
}

void add_key_record(RunIndex &index, uint32_t at)
{
    const RunEntry &entry = index.entries[at];
    auto after = index.label_records.upper_bound(entry.label);
    if (after != index.label_records.begin() && index.entries[std::prev(after)->second].order_key >= entry.order_key)
        return;
    while (after != index.label_records.end() && index.entries[after->second].order_key <= entry.order_key) {
        index.key_records.erase(index.entries[after->second].order_key);
        after = index.label_records.erase(after);
    }
    index.key_records.emplace(entry.order_key, at);
    index.label_records.emplace(entry.label, at);
}

// Takes in a run the list just gained (`added`, at its end when it has no
// DS group) or that changed; false when the index can no longer answer for
// the list.
bool note_run(RunIndex &index, uint32_t at, LineId ds_line_before, bool added)
{
    const RunEntry &entry = index.entries[at];
    if (entry.faulty || (ds_line_before && entry.ds_line != ds_line_before))
        return false;
    if (!ds_line_before && entry.ds_line) {
        add_identity(index, at);
        add_key_record(index, at);
    } else if (added && !entry.ds_line) {
        index.without_ds.push_back(at);
    }
    return true;
}

// A new entry for `cell`, after `prev` and before `next` in the list.
uint32_t add_entry(RunIndex &index, CellId cell, uint32_t prev, uint32_t next)
{
    const uint32_t at = static_cast<uint32_t>(index.entries.size());
    index.entries.push_back({cell, 0, prev, next});
    (prev == NONE ? index.first : index.entries[prev].next) = at;
    (next == NONE ? index.last : index.entries[next].prev) = at;
    const uint64_t low = prev == NONE ? 0 : index.entries[prev].label;
    const uint64_t high = next == NONE ? low + 2 * LABEL_GAP : index.entries[next].label;
    if (high - low < 2)
        relabel(index);
    else
        index.entries[at].label = low + (high - low) / 2;
    return at;
}

bool build_index(Merge &merge, RunIndex &index, CellId holder)
{
    index = RunIndex{};
    const Item runs = cell_at(holder).item;
    for (CellId cell = runs ? list_of(runs) : 0; cell; cell = cell_at(cell).next) {
        const uint32_t at = add_entry(index, cell, index.last, NONE);
        classify(merge, index.entries[at]);
        if (index.entries[at].faulty)
            return false;
        if (index.entries[at].ds_line) {
            add_identity(index, at);
            add_key_record(index, at);
        } else {
            index.without_ds.push_back(at);
        }
    }
    index.valid = true;
    return true;
}

void start_file(RunIndex &index, int32_t file_number)
{
    if (index.file == file_number)
        return;
    index.file = file_number;
    index.without_ds_cursor = 0;
    index.any_cursor = index.first;
}

// The first run without DS group that lacks the file's contribution.
uint32_t first_without_ds_lacking(RunIndex &index)
{
    while (index.without_ds_cursor < index.without_ds.size()) {
        const RunEntry &entry = index.entries[index.without_ds[index.without_ds_cursor]];
        if (!entry.ds_line && newest_file(entry.xi_line) != index.file)
            return index.without_ds[index.without_ds_cursor];
        ++index.without_ds_cursor;
    }
    return NONE;
}

// The first run whose reference line (XI line, else DS line) lacks it.
uint32_t first_lacking(RunIndex &index)
{
    while (index.any_cursor != NONE) {
        const RunEntry &entry = index.entries[index.any_cursor];
        if (newest_file(entry.xi_line ? entry.xi_line : entry.ds_line) != index.file)
            return index.any_cursor;
        index.any_cursor = entry.next;
    }
    return NONE;
}

uint32_t indexed_partner(RunIndex &index, LineId ds_line)
{
    uint32_t partner = first_without_ds_lacking(index);
    const auto found = index.by_identity.find(identity_of(ds_line));
    if (found != index.by_identity.end() && !found->second.empty()) {
        const uint32_t same = found->second.front();
        if (partner == NONE || index.entries[same].label < index.entries[partner].label)
            partner = same;
    }
    return partner;
}

// The new run's own cell goes in before the first scenario with a greater
// order key, or at the end.
bool indexed_place(Merge &merge, RunIndex &index, CellId holder, CellId new_cell, LineId ds_line)
{
    const Item run = cell_at(new_cell).item;
    cell_at(new_cell).item = NO_ITEM;
    const auto target = index.key_records.upper_bound(read_number(ds_line, 7));
    const uint32_t next = target == index.key_records.end() ? NONE : target->second;
    const uint32_t prev = next == NONE ? index.last : index.entries[next].prev;
    const CellId cell = cell_new(run, next == NONE ? 0 : index.entries[next].cell);
    if (prev == NONE)
        cell_at(holder).item = list_item(cell);
    else
        cell_at(index.entries[prev].cell).next = cell;
    run_linked(merge, holder, cell);
    const uint32_t at = add_entry(index, cell, prev, next);
    classify(merge, index.entries[at]);
    return note_run(index, at, 0, true);
}

bool indexed_append(Merge &merge, RunIndex &index, CellId holder, CellId new_cell)
{
    const Item run = cell_at(new_cell).item;
    cell_at(new_cell).item = NO_ITEM;
    const CellId cell = cell_new(run);
    if (index.last == NONE)
        cell_at(holder).item = list_item(cell);
    else
        cell_at(index.entries[index.last].cell).next = cell;
    run_linked(merge, holder, cell);
    const uint32_t at = add_entry(index, cell, index.last, NONE);
    classify(merge, index.entries[at]);
    return note_run(index, at, 0, true);
}

bool merged_into(Merge &merge, RunIndex &index, uint32_t at)
{
    const LineId ds_line_before = index.entries[at].ds_line;
    classify(merge, index.entries[at]);
    return note_run(index, at, ds_line_before, false);
}

// Merges one new run into the list; false when the index no longer holds.
bool merge_run_indexed(Merge &merge, RunIndex &index, CellId holder, CellId cell)
{
    const Item run = run_of(cell);
    if (const Item ds = part_item(merge.new_parts, run, Part::DS)) {
        const LineId ds_line = opening_line(ds, KIND_DS);
        start_file(index, first_file_number(ds_line));
        const uint32_t partner = indexed_partner(index, ds_line);
        if (partner == NONE)
            return indexed_place(merge, index, holder, cell, ds_line);
        merge_runs(merge, holder, index.entries[partner].cell, run);
        return merged_into(merge, index, partner);
    }
    const Item xi = part_item(merge.new_parts, run, Part::XI);
    if (!xi)
        structure_fault();
    start_file(index, first_file_number(opening_line(xi, KIND_XI)));
    const uint32_t partner = first_lacking(index);
    if (partner == NONE)
        return indexed_append(merge, index, holder, cell);
    merge_groups(merge, holder, index.entries[partner].cell, run, XI_PART);
    return merged_into(merge, index, partner);
}

void merge_run_walking(Merge &merge, CellId holder, CellId cell)
{
    const Item run = run_of(cell);
    if (const Item ds = part_item(merge.new_parts, run, Part::DS)) {
        const LineId ds_line = opening_line(ds, KIND_DS);
        if (const CellId partner = find_scenario_partner(merge, cell_at(holder).item, ds_line))
            merge_runs(merge, holder, partner, run);
        else
            place_scenario_run(merge, holder, cell, ds_line);
        return;
    }
    const Item xi = part_item(merge.new_parts, run, Part::XI);
    if (!xi)
        structure_fault();
    merge_instance_run(merge, holder, cell, first_file_number(opening_line(xi, KIND_XI)));
}

void merge_run_list(Merge &merge, CellId holder, Item new_runs)
{
    RunIndex &index = merge.memo.run_lists[holder];
    bool indexed = index.valid || build_index(merge, index, holder);
    for (CellId cell = list_of(new_runs); cell; cell = cell_at(cell).next) {
        if (!cell_at(cell).item)
            continue;
        if (!indexed) {
            merge_run_walking(merge, holder, cell);
            continue;
        }
        if (!merge_run_indexed(merge, index, holder, cell))
            indexed = index.valid = false;
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
CellId start_merged_report(Memo &memo, const ReportParts &parts)
{
    memo = Memo{};
    memo.heads_last = parts.first;
    memo.tails_last = parts.last;
    const CellId tails = cell_new(list_item(parts.last));
    cell_at(parts.body).next = tails;
    return cell_new(list_item(parts.first), parts.body);
}

void append_ends(Memo &memo, const ReportParts &parts)
{
    cell_at(memo.heads_last).next = parts.first;
    cell_at(memo.tails_last).next = parts.last;
    memo.heads_last = parts.first;
    memo.tails_last = parts.last;
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

CellId merge_report(MergeMemo &memo, CellId merged, CellId report, const TimeFrame &frame, RendezvousOrder *points)
{
    const ReportParts parts = cut_apart(report);
    if (!merged)
        return start_merged_report(*memo.indexes, parts);
    append_ends(*memo.indexes, parts);

    const CellId merged_body = cell_at(merged).next;
    const Item new_chain = cell_at(parts.body).item;
    if (!cell_at(merged_body).item) {
        cell_at(merged_body).item = new_chain;
        cell_at(parts.body).item = NO_ITEM;
        if (points)
            points->linked(new_chain, 0, {});
    } else if (new_chain) {
        // What follows the new file's runs is not taken.
        const Item runs = first_item(new_chain);
        if (is_run_list(runs)) {
            Merge merge{*memo.indexes, frame, points};
            merge_body(merge, merged_runs_holder(merged_body), runs);
        }
    }
    return merged;
}

CellId merge_report_by_time(MergeMemo &memo, CellId merged, CellId report, const TimeFrame &frame,
                            RendezvousOrder *points)
{
    const ReportParts parts = cut_apart(report);
    Memo &indexes = *memo.indexes;
    if (!merged)
        return start_merged_report(indexes, parts);
    append_ends(indexes, parts);

    const CellId merged_body = cell_at(merged).next;
    const Item merged_chain = cell_at(merged_body).item;
    if (!indexes.body_time) {
        indexes.body_head = cell_new(NO_ITEM, is_list_item(merged_chain) ? list_of(merged_chain) : 0);
        indexes.body_time = std::make_unique<TimeOrder>(indexes.body_head, 0);
    }
    const Item new_chain = cell_at(parts.body).item;
    for (CellId cell = is_list_item(new_chain) ? list_of(new_chain) : 0; cell;) {
        const CellId next = cell_at(cell).next;
        const Item item = cell_at(cell).item;
        if (item) {
            const TimeKey key = item_time(item);
            if (!key.present)
                structure_fault();
            const CellId taken = indexes.body_time->insert(item, key, cell, frame);
            if (points)
                points->linked(item, cell_at(taken).next, {});
        }
        cell = next;
    }
    const CellId first = cell_at(indexes.body_head).next;
    cell_at(merged_body).item = first ? list_item(first) : NO_ITEM;
    return merged;
}
