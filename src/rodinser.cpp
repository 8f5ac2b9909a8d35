#include "rodinser.h"

#include "i18nerrgest.h"
#include "rodadnam.h"
#include "rodbase.h"

#include <QString>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <string>
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

// An identity as the run index keeps it: its own copy, so that a lookup
// compares with bytes beside the table's entry, not with those of a file
// loaded long ago.
struct IdentityKey {
    std::string name;
    std::string instance;
    explicit IdentityKey(const Identity &identity) : name(identity.name), instance(identity.instance) {}
    Identity view() const { return {name, instance}; }
};

uint64_t identity_hash(const Identity &identity)
{
    const std::size_t name = std::hash<std::string_view>()(identity.name);
    return name ^ (std::hash<std::string_view>()(identity.instance) + 0x9E3779B97F4A7C15ULL + (name << 6));
}

// The runs of each scenario identity, in list order. Open addressing over
// slots that keep each identity's hash beside the place of its entry: a
// lookup reads a slot and the one entry whose hash matches, where a table of
// nodes chases a bucket, a node and its runs, one miss after the other, for
// each of a big merge's hundreds of thousands of runs.
class IdentityRuns {
public:
    // The runs of `identity`; nullptr when it never had any.
    const std::vector<uint32_t> *find(const Identity &identity) const;
    // The runs of `identity`, none yet when it is new.
    std::vector<uint32_t> &of(const Identity &identity);

private:
    static constexpr uint32_t NO_ENTRY = UINT32_MAX;
    struct Slot {
        uint64_t hash = 0;
        uint32_t entry = NO_ENTRY;
    };
    struct Entry {
        IdentityKey key;
        std::vector<uint32_t> runs;
    };
    // The slot that holds `identity`, or the free one where it would go.
    std::size_t slot_of(const Identity &identity, uint64_t hash) const;
    void grow();

    std::vector<Slot> slots_; // a power of two, at most half of them taken
    std::vector<Entry> entries_;
};

std::size_t IdentityRuns::slot_of(const Identity &identity, uint64_t hash) const
{
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        const Slot &slot = slots_[at];
        if (slot.entry == NO_ENTRY || (slot.hash == hash && entries_[slot.entry].key.view() == identity))
            return at;
    }
}

const std::vector<uint32_t> *IdentityRuns::find(const Identity &identity) const
{
    if (slots_.empty())
        return nullptr;
    const Slot &slot = slots_[slot_of(identity, identity_hash(identity))];
    return slot.entry == NO_ENTRY ? nullptr : &entries_[slot.entry].runs;
}

std::vector<uint32_t> &IdentityRuns::of(const Identity &identity)
{
    if ((entries_.size() + 1) * 2 > slots_.size())
        grow();
    const uint64_t hash = identity_hash(identity);
    Slot &slot = slots_[slot_of(identity, hash)];
    if (slot.entry == NO_ENTRY) {
        slot = {hash, static_cast<uint32_t>(entries_.size())};
        entries_.push_back({IdentityKey(identity), {}});
    }
    return entries_[slot.entry].runs;
}

void IdentityRuns::grow()
{
    const std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(std::max<std::size_t>(64, slots_.size() * 2)));
    const std::size_t mask = slots_.size() - 1;
    for (const Slot &slot : old) {
        if (slot.entry == NO_ENTRY)
            continue;
        std::size_t at = slot.hash & mask;
        while (slots_[at].entry != NO_ENTRY)
            at = (at + 1) & mask;
        slots_[at] = slot;
    }
}

struct GroupTime {
    CellId closing;
    TimeOrder order;
};

// A part of a run: a cell of its chain with something in it, the lines of
// the kinds the merge looks for directly in that, whether it is a group,
// and, for a merged group that took items, its kept time order.
struct Part {
    CellId cell;
    uint8_t bits;
    bool group;
    GroupTime *time;
};
using RunParts = std::vector<Part>;

// A merged run as the searches of the merge see it.
struct RunEntry {
    CellId cell = 0; // its cell in the merged run list
    RunParts parts;
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
    IdentityRuns by_identity;
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

} // namespace

struct MergeMemo::Indexes {
    std::unordered_map<CellId, GroupTime> group_times; // merged groups that took items, by their first cell
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
struct Merge {
    Memo &memo;
    TimeFrame frame;
    RendezvousOrder *points; // told what is linked into the merged body
    std::deque<std::pair<CellId, Item>> pending = {}; // (holder of a merged run list, new run list)
};

enum class PartKind { XI, DS, DT, XE };

// The parts of a run, each walked once; `memo` for a merged run, whose
// groups may have kept time orders.
RunParts find_parts(Item run, Memo *memo)
{
    RunParts parts;
    for (CellId cell = list_of(run); cell; cell = cell_at(cell).next) {
        const Item item = cell_at(cell).item;
        if (!item)
            continue;
        GroupTime *time = nullptr;
        if (memo && is_list_item(item)) {
            const auto found = memo->group_times.find(list_of(item));
            time = found != memo->group_times.end() ? &found->second : nullptr;
        }
        parts.push_back({cell, is_list_item(item) ? walk_part_bits(item) : uint8_t{0}, is_group(item), time});
    }
    return parts;
}

// The index of the part holding a run's XI group, DS group, DT line or XE
// line (the first one); -1 when none.
int part_index(const RunParts &parts, PartKind kind)
{
    static constexpr uint8_t bits[] = {XI_BIT, DS_BIT, DT_BIT, XE_BIT};
    const uint8_t wanted = bits[static_cast<int>(kind)];
    const bool group_only = kind == PartKind::XI || kind == PartKind::DS;
    for (std::size_t at = 0; at < parts.size(); ++at)
        if ((parts[at].bits & wanted) && (!group_only || parts[at].group))
            return static_cast<int>(at);
    return -1;
}

Item part_item(const RunParts &parts, PartKind kind)
{
    const int at = part_index(parts, kind);
    return at < 0 ? NO_ITEM : cell_at(parts[at].cell).item;
}

CellId last_cell(CellId cell)
{
    while (cell_at(cell).next)
        cell = cell_at(cell).next;
    return cell;
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

// The closing line of a part's group: a merged group that took items keeps it.
LineId closing_line(const Part &part, LineKind kind)
{
    const Item group = cell_at(part.cell).item;
    if (!is_list_item(group) || !cell_at(list_of(group)).next)
        structure_fault();
    const Item last = cell_at(part.time ? part.time->closing : last_cell(list_of(group))).item;
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

// Ends the run unless field k of the line holds text.
void check_text(LineId line, int k)
{
    const Line &record = line_at(line);
    if (k > record.count || numeric_slot(record.kind, k) >= 0)
        structure_fault();
}

std::string_view read_text(LineId line, int k)
{
    check_text(line, k);
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
    if (!tail)
        return record.file;
    const GatheredNode &last = gathered_at(tail);
    return last.pairs[last.count - 1].file;
}

Item run_of(CellId cell)
{
    const Item run = cell_at(cell).item;
    if (!is_list_item(run))
        structure_fault();
    return run;
}

// Moves the items of the cells from `first` up to `end` into `order`, in
// chain order, each keeping its cell; returns their part bits.
uint8_t insert_in_time_order(TimeOrder &order, CellId first, CellId end, const TimeFrame &frame,
                             RendezvousOrder *points)
{
    uint8_t bits = 0;
    for (CellId cell = first; cell != end;) {
        const CellId next = cell_at(cell).next;
        const Item item = cell_at(cell).item;
        if (item) {
            const TimeKey key = item_time(item);
            if (!key.present)
                structure_fault();
            bits |= part_bit_of(item);
            const CellId taken = order.insert(item, key, cell, frame);
            if (points)
                points->linked(item, cell_at(taken).next, {});
        }
        cell = next;
    }
    return bits;
}

// Moves the inner items of the group of part `from` (between its opening
// and closing lines) into the group of part `into` in time order; `into`
// keeps its opening line first and its closing line last. The cells that
// held them go with them; `from` is left with its opening and closing lines.
void insert_group_contents(Merge &merge, Part &into_part, Part &from_part)
{
    const Item into = cell_at(into_part.cell).item;
    const Item from = cell_at(from_part.cell).item;
    if (!is_list_item(into) || !cell_at(list_of(into)).next || !is_list_item(from))
        structure_fault();
    const CellId from_first = list_of(from);
    const CellId from_closing = last_cell(from_first);
    if (from_closing == from_first)
        return;
    const CellId into_first = list_of(into);
    if (!into_part.time) {
        auto found = merge.memo.group_times.find(into_first);
        if (found == merge.memo.group_times.end()) {
            const CellId closing = last_cell(into_first);
            found = merge.memo.group_times.try_emplace(into_first, GroupTime{closing, TimeOrder(into_first, closing)}).first;
        }
        into_part.time = &found->second;
    }
    const uint8_t moved_bits = insert_in_time_order(into_part.time->order, cell_at(from_first).next, from_closing,
                                                    merge.frame, merge.points);
    cell_at(from_first).next = from_closing;
    into_part.bits |= moved_bits;
    from_part.bits = walk_part_bits(from);
}

// The parts of a run that merge_groups joins: XI group, DT item, XE item.
struct RunPart {
    PartKind kind;
    LineKind opening;
    LineKind closing;
};
constexpr RunPart XI_PART{PartKind::XI, KIND_XI, KIND_YI};
constexpr RunPart DT_PART{PartKind::DT, KIND_DT, KIND_YT};
constexpr RunPart XE_PART{PartKind::XE, KIND_XE, KIND_FE};

// The merge of one new run into one merged run: the holder of the merged
// run list, the merged run's cell, and both runs' parts, kept in step with
// every change.
struct RunPair {
    CellId holder;
    CellId merged_cell;
    RunParts &merged;
    RunParts &fresh;
};

// Moves the new run's part `from` into the merged run after its part
// `after` (-1: first), and tells the rendezvous order: what follows it lies
// in the run, then in the runs after it, then after the run list.
void move_part(Merge &merge, RunPair &pair, int from, int after)
{
    const Part moved = pair.fresh[from];
    const Item group = cell_at(moved.cell).item;
    cell_at(moved.cell).item = NO_ITEM;
    pair.fresh.erase(pair.fresh.begin() + from);
    CellId cell = 0;
    if (after < 0) {
        cell = cell_new(group, list_of(run_of(pair.merged_cell)));
        cell_at(pair.merged_cell).item = list_item(cell);
    } else {
        const CellId before = pair.merged[after].cell;
        cell = cell_new(group, cell_at(before).next);
        cell_at(before).next = cell;
    }
    pair.merged.insert(pair.merged.begin() + (after + 1), Part{cell, moved.bits, moved.group, nullptr});
    if (merge.points)
        merge.points->linked(group, cell_at(cell).next, {cell_at(pair.merged_cell).next, cell_at(pair.holder).next});
}

// A part the merged run lacks moves in at its place: an XI group first, a DT
// item after the DS group, an XE item after the DT item or the DS group.
void move_part_into(Merge &merge, RunPair &pair, int from, const RunPart &part)
{
    if (part.opening == KIND_XI) {
        move_part(merge, pair, from, -1);
        return;
    }
    int after = part.opening == KIND_XE ? part_index(pair.merged, PartKind::DT) : -1;
    if (after < 0)
        after = part_index(pair.merged, PartKind::DS);
    if (after < 0)
        structure_fault();
    move_part(merge, pair, from, after);
}

// The earlier of the two starts in time field `field` of `into` (compared
// as real times of the merged report), then `from`'s origin pairs.
void join_opening_lines(const Merge &merge, LineId into, LineId from, int field)
{
    const uint32_t start = read_number(into, field);
    const uint32_t other_start = read_number(from, field);
    if (other_start + merge.frame.offset < start + merge.frame.offset)
        write_number(into, field, other_start);
    line_gather_origins(into, from);
}

// Earliest start, latest end, the other group's origin pairs and inner items.
void join_groups(Merge &merge, Part &into, Part &from, LineKind opening, LineKind closing)
{
    const LineId into_open = opening_line(cell_at(into.cell).item, opening);
    const LineId from_open = opening_line(cell_at(from.cell).item, opening);
    const LineId into_close = closing_line(into, closing);
    const LineId from_close = closing_line(from, closing);

    join_opening_lines(merge, into_open, from_open, 1);

    const uint32_t end = read_number(into_close, 1);
    const uint32_t other_end = read_number(from_close, 1);
    if (other_end > end)
        write_number(into_close, 1, other_end);
    line_gather_origins(into_close, from_close);

    insert_group_contents(merge, into, from);
}

void merge_groups(Merge &merge, RunPair &pair, const RunPart &part)
{
    const int from = part_index(pair.fresh, part.kind);
    if (from < 0)
        return;
    const int into = part_index(pair.merged, part.kind);
    if (into < 0) {
        move_part_into(merge, pair, from, part);
        return;
    }
    join_groups(merge, pair.merged[into], pair.fresh[from], part.opening, part.closing);
}

// "1" outranks "2", and "2" outranks every other verdict; otherwise the
// earlier file's verdict stays.
// The merged line's verdict, which lies in an earlier file's bytes, is read
// only when the new one could outrank it.
void merge_verdicts(LineId into_fs, LineId from_fs)
{
    check_text(into_fs, 3);
    const std::string_view other = read_text(from_fs, 3);
    if (other != "\"2\"" && other != "\"1\"")
        return;
    if (line_field_text(into_fs, 3) != "\"1\"")
        line_set_field_text(into_fs, 3, other);
}

void merge_ds_groups(Merge &merge, RunPair &pair)
{
    const int from_at = part_index(pair.fresh, PartKind::DS);
    if (from_at < 0)
        return;
    const int into_at = part_index(pair.merged, PartKind::DS);
    if (into_at < 0) {
        const int xi = part_index(pair.merged, PartKind::XI);
        if (xi < 0)
            internal_fault();
        move_part(merge, pair, from_at, xi);
        return;
    }
    Part &into_part = pair.merged[into_at];
    Part &from_part = pair.fresh[from_at];
    const Item into = cell_at(into_part.cell).item;
    const Item from = cell_at(from_part.cell).item;
    const LineId into_ds = opening_line(into, KIND_DS);
    const LineId from_ds = opening_line(from, KIND_DS);
    const LineId into_fs = closing_line(into_part, KIND_FS);
    const LineId from_fs = closing_line(from_part, KIND_FS);

    join_opening_lines(merge, into_ds, from_ds, 5);
    merge_verdicts(into_fs, from_fs);
    line_gather_origins(into_fs, from_fs);

    const Item from_inner = cell_at(cell_at(list_of(from)).next).item;
    if (from_inner && all_timed(from_inner)) {
        const CellId into_holder = cell_at(list_of(into)).next;
        if (!all_timed(cell_at(into_holder).item))
            structure_fault();
        merge.pending.emplace_back(into_holder, from_inner);
    } else {
        insert_group_contents(merge, into_part, from_part);
    }
}

void merge_runs(Merge &merge, RunPair &pair)
{
    merge_groups(merge, pair, XI_PART);
    merge_ds_groups(merge, pair);
    merge_groups(merge, pair, DT_PART);
    merge_groups(merge, pair, XE_PART);
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
        const RunParts parts = find_parts(run_of(cell), &merge.memo);
        if (const Item ds = part_item(parts, PartKind::DS)) {
            const LineId merged_ds = opening_line(ds, KIND_DS);
            if (read_text(merged_ds, 1) == name && read_text(merged_ds, 4) == instance)
                return cell;
            continue;
        }
        const Item xi = part_item(parts, PartKind::XI);
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
        const Item ds = part_item(find_parts(run_of(cell), &merge.memo), PartKind::DS);
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
LineId reference_line(const RunParts &parts)
{
    if (const Item xi = part_item(parts, PartKind::XI))
        return opening_line(xi, KIND_XI);
    if (const Item ds = part_item(parts, PartKind::DS))
        return opening_line(ds, KIND_DS);
    internal_fault();
}

// The i-th instance run of a file joins the first merged run that has no
// contribution from that file yet; when all have one, it is appended.
void merge_instance_run(Merge &merge, CellId holder, CellId new_cell, RunParts &fresh, int32_t file_number)
{
    const Item runs = cell_at(holder).item;
    for (CellId cell = runs ? list_of(runs) : 0; cell; cell = cell_at(cell).next) {
        RunParts merged = find_parts(run_of(cell), &merge.memo);
        if (!has_contribution(reference_line(merged), file_number)) {
            RunPair pair{holder, cell, merged, fresh};
            merge_groups(merge, pair, XI_PART);
            return;
        }
    }
    const Item run = cell_at(new_cell).item;
    cell_at(new_cell).item = NO_ITEM;
    append_run(merge, holder, run);
}

// The searches through the run index.

void classify(RunEntry &entry)
{
    const Item xi = part_item(entry.parts, PartKind::XI);
    const Item ds = part_item(entry.parts, PartKind::DS);
    entry.xi_line = xi ? opening_of(xi, KIND_XI) : 0;
    entry.ds_line = ds ? opening_of(ds, KIND_DS) : 0;
    entry.faulty = !is_list_item(cell_at(entry.cell).item) || (xi && !entry.xi_line) || (ds && !entry.ds_line) ||
                   (!xi && !ds);
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
    std::vector<uint32_t> &runs = index.by_identity.of(identity_of(index.entries[at].ds_line));
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
    index.entries.push_back(RunEntry{cell, {}, 0, prev, next});
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
        RunEntry &entry = index.entries[at];
        if (is_list_item(cell_at(cell).item))
            entry.parts = find_parts(cell_at(cell).item, &merge.memo);
        classify(entry);
        if (entry.faulty)
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
    const std::vector<uint32_t> *runs = index.by_identity.find(identity_of(ds_line));
    if (runs && !runs->empty()) {
        const uint32_t same = runs->front();
        if (partner == NONE || index.entries[same].label < index.entries[partner].label)
            partner = same;
    }
    return partner;
}

// The new run's own cell goes in before the first scenario with a greater
// order key, or at the end.
bool indexed_place(Merge &merge, RunIndex &index, CellId holder, CellId new_cell, RunParts &fresh, LineId ds_line)
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
    index.entries[at].parts = std::move(fresh);
    classify(index.entries[at]);
    return note_run(index, at, 0, true);
}

bool indexed_append(Merge &merge, RunIndex &index, CellId holder, CellId new_cell, RunParts &fresh)
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
    index.entries[at].parts = std::move(fresh);
    classify(index.entries[at]);
    return note_run(index, at, 0, true);
}

bool merged_into(RunIndex &index, uint32_t at)
{
    const LineId ds_line_before = index.entries[at].ds_line;
    classify(index.entries[at]);
    return note_run(index, at, ds_line_before, false);
}

// Merges one new run into the list; false when the index no longer holds.
bool merge_run_indexed(Merge &merge, RunIndex &index, CellId holder, CellId cell)
{
    RunParts fresh = find_parts(run_of(cell), nullptr);
    if (const Item ds = part_item(fresh, PartKind::DS)) {
        const LineId ds_line = opening_line(ds, KIND_DS);
        start_file(index, first_file_number(ds_line));
        const uint32_t partner = indexed_partner(index, ds_line);
        if (partner == NONE)
            return indexed_place(merge, index, holder, cell, fresh, ds_line);
        RunPair pair{holder, index.entries[partner].cell, index.entries[partner].parts, fresh};
        merge_runs(merge, pair);
        return merged_into(index, partner);
    }
    const Item xi = part_item(fresh, PartKind::XI);
    if (!xi)
        structure_fault();
    start_file(index, first_file_number(opening_line(xi, KIND_XI)));
    const uint32_t partner = first_lacking(index);
    if (partner == NONE)
        return indexed_append(merge, index, holder, cell, fresh);
    RunPair pair{holder, index.entries[partner].cell, index.entries[partner].parts, fresh};
    merge_groups(merge, pair, XI_PART);
    return merged_into(index, partner);
}

void merge_run_walking(Merge &merge, CellId holder, CellId cell)
{
    RunParts fresh = find_parts(run_of(cell), nullptr);
    if (const Item ds = part_item(fresh, PartKind::DS)) {
        const LineId ds_line = opening_line(ds, KIND_DS);
        if (const CellId partner = find_scenario_partner(merge, cell_at(holder).item, ds_line)) {
            RunParts merged = find_parts(run_of(partner), &merge.memo);
            RunPair pair{holder, partner, merged, fresh};
            merge_runs(merge, pair);
        } else {
            place_scenario_run(merge, holder, cell, ds_line);
        }
        return;
    }
    const Item xi = part_item(fresh, PartKind::XI);
    if (!xi)
        structure_fault();
    merge_instance_run(merge, holder, cell, fresh, first_file_number(opening_line(xi, KIND_XI)));
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
    insert_in_time_order(*indexes.body_time, is_list_item(new_chain) ? list_of(new_chain) : 0, 0, frame, points);
    const CellId first = cell_at(indexes.body_head).next;
    cell_at(merged_body).item = first ? list_item(first) : NO_ITEM;
    return merged;
}
