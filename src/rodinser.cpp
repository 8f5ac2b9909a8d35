#include "rodinser.h"

#include "i18nerrgest.h"
#include "rodbase.h"
#include "rodtri.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// Indexes the merge builds over merged lists, kept by a MergeMemo.
namespace merge_records {

// A merged line that gathers origin pairs: its last cell, the greatest file
// number among the origin cells that has_contribution reads (every other
// one from the first), and whether its origin cells count odd (a new pair
// then starts off that step).
struct LineTail {
    Objet *last = nullptr;
    int32_t newest = INT32_MIN;
    bool odd = false;
};

// Time-ordered insertion through the records of the chain after `head`:
// the cells whose key is greater than every key before them. The first cell
// with a key greater than k is the first record greater than k, and an
// insertion there leaves every other record in place, so each insertion is
// one search in the records instead of a walk. Same order as insert_by_time
// from the start of the chain.
struct TimedRecord {
    Objet *cell;
    Objet *before; // the cell before it in the chain
};

// Keys are the items' real times minus `base`, the merged report's time
// offset when the records were last found in order (see MergeMemo): a shift
// of the merged report moves every real time but none of these keys, and
// keeps the records as they are unless a time wraps past 2^32. The real
// order of the keys is then the map's order turned at 2^32 - base.
struct TimedRecords {
    std::map<uint32_t, TimedRecord> records;
    Objet *tail = nullptr;
    uint32_t base = 0;
    bool fixed_keys = false; // an item with the fixed key, which shifts leave alone
};

// A merged group as the memo knows it: the records of its inner items and
// which of the kinds the merge looks for (XI, DS, DT, XE; see kind_bit)
// its lines have, so that neither needs a walk through the whole group.
struct GroupMemo {
    TimedRecords records;
    uint8_t kinds = 0;
};

// Index of a merged run list for one file's runs: it answers the searches of
// the reference merge (first run of a scenario identity, first run lacking
// the file's contribution, first scenario with a greater order key) without
// walking the list, and mirrors every change the merge makes to the list.
// A merged run the reference searches would stop on with a fault makes the
// index unusable: the reference merge then takes over at that point, so
// faults and their order stay the reference's.
struct IndexedRun {
    Objet *cell = nullptr;
    uint64_t label = 0; // increases along the list
    bool has_ds = false;
    std::string identity; // DS fields 1 and 4
    uint32_t order_key = 0; // DS field 7
    bool lacks_file = false; // the reference line lacks the indexed file's contribution
};
using RunList = std::list<IndexedRun>;

using RunPos = RunList::iterator;

struct ByLabel {
    bool operator()(RunPos a, RunPos b) const { return a->label < b->label; }
};
constexpr uint64_t LABEL_GAP = uint64_t{1} << 32;

// Scenario runs whose order key is greater than that of every scenario run
// before them: the first scenario with a key greater than k is the first of
// these records with a key greater than k. Both maps hold the records, whose
// labels and keys rise together. Kept up to date as runs come in; rebuilt
// after the rare changes that can make other runs records (a record losing
// its key, labels renumbered).
struct KeyRecords {
    std::map<uint64_t, RunPos> by_label;
    std::map<uint32_t, RunPos> by_key;
    bool stale = false;
};

struct RunIndex {
    bool valid = false;
    int32_t file_number = 0;
    RunList runs;
    std::unordered_map<std::string, std::set<RunPos, ByLabel>> by_identity;
    std::set<RunPos, ByLabel> instance_runs_lacking; // runs without DS group
    std::set<RunPos, ByLabel> runs_lacking;
    std::vector<RunPos> contributed; // runs found with the file's contribution (repeats possible)
    KeyRecords key_records;
};

} // namespace merge_records

using merge_records::ByLabel;
using merge_records::GroupMemo;
using merge_records::IndexedRun;
using merge_records::KeyRecords;
using merge_records::LineTail;
using merge_records::LABEL_GAP;
using merge_records::RunIndex;
using merge_records::RunList;
using merge_records::RunPos;
using merge_records::TimedRecord;
using merge_records::TimedRecords;

// What a memo keeps (see MergeMemo): the records of every merged group the
// merge inserted into, keyed by the group's first cell, the index of every
// merged run list, keyed by its holder cell, the tail of every merged line
// that took origin pairs, and the records of the -TIME body chain after a
// head cell of its own.
struct MergeMemo::Indexes {
    std::unordered_map<const Objet *, GroupMemo> groups;
    std::unordered_map<const Objet *, RunIndex> run_lists;
    std::unordered_map<const Objet *, LineTail> line_tails;
    Objet *body_head = nullptr;
    std::optional<TimedRecords> body;
};

namespace {

bool use_reference_merge = false;
// The memo of the merge running now, if it was given one, and its offset
// from the stored times of the merged report to their real values.
MergeMemo::Indexes *active_memo = nullptr;
uint32_t active_time_offset = 0;

// The real value of a time field stored in the merged report's form (the
// file's lines are put in that form before they are merged).
uint32_t real_time(uint32_t stored) { return stored + active_time_offset; }

// Something the merge reads is not there or not of the shape it needs.
[[noreturn]] void structure_fault() { report_fatal("UNEXPTEOF", QString(), QString()); }
[[noreturn]] void internal_fault() { report_fatal("ERRINTERN", QString(), QString()); }

bool is_cell(const Objet *x) { return x && x->kind == OBJ_LIST; }

Objet *last_cell(Objet *list)
{
    while (list->link.next)
        list = list->link.next;
    return list;
}

Objet *expect_line(Objet *x, LineKind kind)
{
    if (!is_line(x) || x->head.item->tag != kind)
        structure_fault();
    return x;
}

// A block's first item is its opening line and its last item its closing line.
Objet *opening_line(Objet *group, LineKind kind)
{
    if (!is_cell(group))
        structure_fault();
    return expect_line(group->head.item, kind);
}

// Records kept by a memo are good while their tail is still the cell before
// the group's closing one; only the merge inserts into merged groups.
bool still_before_closing(const TimedRecords &index)
{
    const Objet *closing = index.tail->link.next;
    return closing && !closing->link.next;
}

// The memo's knowledge of a merged group, while it still holds.
GroupMemo *kept_group(const Objet *group)
{
    if (!active_memo)
        return nullptr;
    const auto found = active_memo->groups.find(group);
    if (found == active_memo->groups.end() || !still_before_closing(found->second.records))
        return nullptr;
    return &found->second;
}

// The last cell of a group; for a merged group the memo knows, the cell
// after its records' tail instead of a walk through what every file brought.
Objet *group_last_cell(Objet *group)
{
    if (GroupMemo *kept = kept_group(group))
        return kept->records.tail->link.next;
    return last_cell(group);
}

uint8_t kind_bit(LineKind kind)
{
    switch (kind) {
    case KIND_XI:
        return 1;
    case KIND_DS:
        return 2;
    case KIND_DT:
        return 4;
    case KIND_XE:
        return 8;
    default:
        internal_fault();
    }
}

// The kinds of kind_bit that the lines held by the cells from `first` up to
// `stop` have, by code text as find_line compares them.
uint8_t line_kinds(const Objet *first, const Objet *stop)
{
    uint8_t kinds = 0;
    for (const Objet *cell = first; is_cell(cell) && cell != stop; cell = cell->link.next) {
        const Objet *code = line_code(cell->head.item);
        if (!code)
            continue;
        for (LineKind kind : {KIND_XI, KIND_DS, KIND_DT, KIND_XE}) {
            const Objet *keyword = keyword_string(kind);
            if (code->link.length == keyword->link.length &&
                std::memcmp(code->head.text, keyword->head.text, code->link.length) == 0)
                kinds |= kind_bit(kind);
        }
    }
    return kinds;
}

// find_line(x, kind) != null, answered by the memo for a merged group it knows.
bool has_line(const Objet *x, LineKind kind)
{
    if (GroupMemo *kept = kept_group(x))
        return (kept->kinds & kind_bit(kind)) != 0;
    return find_line(x, kind) != nullptr;
}

template <typename Test> Objet *first_cell_where(const Objet *run, Test test)
{
    for (const Objet *cell = run; is_cell(cell); cell = cell->link.next)
        if (cell->head.item && test(cell->head.item))
            return const_cast<Objet *>(cell);
    return nullptr;
}

// The searches of a run's parts (find_XI_group_cell and the like) with the
// memo's knowledge of merged groups.
Objet *xi_group_cell(const Objet *run)
{
    return first_cell_where(run, [](const Objet *x) { return is_group(x) && has_line(x, KIND_XI); });
}
Objet *ds_group_cell(const Objet *run)
{
    return first_cell_where(run, [](const Objet *x) { return is_group(x) && has_line(x, KIND_DS); });
}
Objet *dt_cell(const Objet *run)
{
    return first_cell_where(run, [](const Objet *x) { return has_line(x, KIND_DT); });
}
Objet *xe_cell(const Objet *run)
{
    return first_cell_where(run, [](const Objet *x) { return has_line(x, KIND_XE); });
}
Objet *xi_group(const Objet *run)
{
    const Objet *cell = xi_group_cell(run);
    return cell ? cell->head.item : nullptr;
}
Objet *ds_group(const Objet *run)
{
    const Objet *cell = ds_group_cell(run);
    return cell ? cell->head.item : nullptr;
}

Objet *closing_line(Objet *group, LineKind kind)
{
    if (!is_cell(group) || !group->link.next)
        structure_fault();
    return expect_line(group_last_cell(group)->head.item, kind);
}

int32_t read_field_count(Objet *line) { return line->head.item->count; }

// A field the line had when it was read, of the given object kind.
Objet *read_field(Objet *line, int k, int32_t object_kind)
{
    Objet *field = k <= read_field_count(line) ? line_field(line, k) : nullptr;
    if (!field || field->kind != object_kind)
        structure_fault();
    return field;
}

uint32_t read_unsigned(Objet *line, int k) { return static_cast<uint32_t>(read_field(line, k, OBJ_LONG)->link.value); }

bool text_is(const Objet *field, const char *text)
{
    const std::size_t length = std::strlen(text);
    return field->link.length == length && std::memcmp(field->head.text, text, length) == 0;
}

// Origin pairs start right after the fields the line had when it was read.
Objet *first_origin_cell(Objet *line) { return list_nth(line, read_field_count(line) + 1); }

int32_t first_file_number(Objet *line)
{
    Objet *cell = first_origin_cell(line);
    if (!cell || !cell->head.item || cell->head.item->kind != OBJ_INT)
        structure_fault();
    return cell->head.item->link.value;
}

// The memo's knowledge of a merged line's origin pairs, while it holds.
const LineTail *kept_tail(const Objet *line)
{
    if (!active_memo)
        return nullptr;
    const auto found = active_memo->line_tails.find(line);
    return found != active_memo->line_tails.end() && !found->second.last->link.next ? &found->second : nullptr;
}

bool has_contribution(Objet *line, int32_t file_number)
{
    // A merged line gathers a pair for every file that joins it: the memo
    // answers from the greatest number, which is no greater than the file
    // being merged unless the cells are out of step.
    if (const LineTail *tail = kept_tail(line)) {
        if (tail->newest < file_number)
            return false;
        if (tail->newest == file_number)
            return true;
    }
    for (Objet *cell = first_origin_cell(line); cell; cell = cell->link.next ? cell->link.next->link.next : nullptr) {
        const Objet *number = cell->head.item;
        if (number && number->kind == OBJ_INT && number->link.value == file_number)
            return true;
    }
    return false;
}

// Adds origin cells from `cell` on to what the tail knows.
void fold_origin_cells(LineTail &tail, Objet *cell)
{
    for (; cell; cell = cell->link.next) {
        const Objet *number = cell->head.item;
        if (!tail.odd && number && number->kind == OBJ_INT)
            tail.newest = std::max(tail.newest, number->link.value);
        tail.odd = !tail.odd;
        tail.last = cell;
    }
}

LineTail tail_of(Objet *line)
{
    LineTail tail;
    if (Objet *origin = first_origin_cell(line))
        fold_origin_cells(tail, origin);
    else
        tail.last = last_cell(line);
    return tail;
}

// Moves every origin pair of `from` to the end of `into`.
void move_origin_pairs(Objet *into, Objet *from)
{
    Objet *last_field = list_nth(from, read_field_count(from));
    if (!last_field)
        structure_fault();
    Objet *pairs = last_field->link.next;
    last_field->link.next = nullptr;
    if (!pairs)
        return;
    if (!active_memo) {
        list_append(into, pairs);
        return;
    }
    // A merged line gathers two cells per file: its tail is kept, not sought.
    auto [found, added] = active_memo->line_tails.try_emplace(into);
    LineTail &tail = found->second;
    if (added || tail.last->link.next)
        tail = tail_of(into);
    tail.last->link.next = pairs;
    fold_origin_cells(tail, pairs);
}

Objet *run_of(Objet *cell)
{
    Objet *run = cell->head.item;
    if (!is_cell(run))
        structure_fault();
    return run;
}

// The line by which a merged run's contributions are known.
Objet *reference_line(Objet *run)
{
    if (Objet *xi = xi_group(run))
        return opening_line(xi, KIND_XI);
    if (Objet *ds = ds_group(run))
        return opening_line(ds, KIND_DS);
    internal_fault();
}

// Time-ordered insertion into the chain after `head`, resuming after the
// previous insertion when the keys do not decrease: the same order as
// inserting from the start each time, without rescanning for sorted input.
struct TimedCursor {
    Objet *head;
    Objet *last = nullptr;
    uint32_t last_key = 0;
};

void insert_in_time(TimedCursor &cursor, Objet *item)
{
    Objet *key = item_time(item);
    if (!key)
        structure_fault();
    const uint32_t value = static_cast<uint32_t>(key->link.value);
    Objet *from = cursor.last && value >= cursor.last_key ? cursor.last : cursor.head;
    from->link.next = insert_by_time(from->link.next, item);
    Objet *cell = from->link.next;
    while (cell->head.item != item)
        cell = cell->link.next;
    cursor.last = cell;
    cursor.last_key = value;
}

// The real time of an item's key; the fixed key is no stored time.
uint32_t real_key(const Objet *key)
{
    const uint32_t value = static_cast<uint32_t>(key->link.value);
    return key == fixed_time_key ? value : real_time(value);
}

TimedRecords timed_records(Objet *head)
{
    TimedRecords index{{}, head, active_time_offset, false};
    bool any = false;
    uint32_t highest = 0;
    for (Objet *before = head, *cell = head->link.next; cell; before = cell, cell = cell->link.next) {
        index.tail = cell;
        const Objet *key = item_time(cell->head.item);
        if (!key)
            continue;
        index.fixed_keys |= key == fixed_time_key;
        const uint32_t value = real_key(key);
        if (!any || value > highest) {
            index.records.emplace(value - index.base, TimedRecord{cell, before});
            highest = value;
            any = true;
        }
    }
    return index;
}

using RecordPos = std::map<uint32_t, TimedRecord>::iterator;

// Keys at or past this point (2^32 - base) hold real times below base,
// which come first in real order.
uint64_t wrap_turn(const TimedRecords &index) { return (uint64_t{1} << 32) - index.base; }

// The first record, in real order, whose real time is greater than v; end
// when there is none.
RecordPos first_record_above(TimedRecords &index, uint32_t v)
{
    const uint64_t turn = wrap_turn(index);
    const RecordPos found = index.records.upper_bound(v - index.base);
    const RecordPos none = index.records.end();
    if (v < index.base) {
        // v's key lies among the turned keys: a greater one there, else
        // the first of the others.
        if (found != none)
            return found;
        const RecordPos first = index.records.begin();
        return first != none && first->first < turn ? first : none;
    }
    return found != none && found->first < turn ? found : none;
}

void insert_through_records(TimedRecords &index, Objet *item)
{
    Objet *key = item_time(item);
    if (!key)
        structure_fault();
    index.fixed_keys |= key == fixed_time_key;
    const uint32_t value = real_key(key);
    const auto greater = first_record_above(index, value);
    if (greater == index.records.end()) {
        Objet *cell = list1(item);
        index.records.try_emplace(value - index.base, TimedRecord{cell, index.tail});
        index.tail->link.next = cell;
        index.tail = cell;
        return;
    }
    TimedRecord &next = greater->second;
    Objet *cell = cons(item, next.cell);
    next.before->link.next = cell;
    index.records.try_emplace(value - index.base, TimedRecord{cell, next.before});
    next.before = cell;
}

// Records taken at an earlier time offset still hold at the current one
// when the shift in between moved no real time past 2^32 (the greatest is
// the last record in real order) and no item has the fixed key; their base
// then moves to the current offset.
bool records_still_ordered(TimedRecords &index)
{
    if (index.base == active_time_offset)
        return true;
    if (index.fixed_keys)
        return false;
    if (!index.records.empty()) {
        const uint64_t turn = wrap_turn(index);
        const RecordPos turned =
            turn > UINT32_MAX ? index.records.end() : index.records.lower_bound(static_cast<uint32_t>(turn));
        const RecordPos last = turned != index.records.begin() ? std::prev(turned) : std::prev(index.records.end());
        const uint64_t greatest = uint64_t{last->first} + index.base;
        const uint32_t shift = active_time_offset - index.base;
        if ((greatest & UINT32_MAX) + shift > UINT32_MAX)
            return false;
    }
    index.base = active_time_offset;
    return true;
}

// Hands the items of the cells from `first` on (up to `stop`) to `insert`,
// clearing each cell taken.
template <typename Insert> void take_items(Objet *first, const Objet *stop, Insert insert)
{
    for (Objet *cell = first; cell && cell != stop; cell = cell->link.next) {
        Objet *item = cell->head.item;
        if (!item)
            continue;
        cell->head.item = nullptr;
        insert(item);
    }
}

void insert_items_through(TimedRecords &index, Objet *first, const Objet *stop)
{
    take_items(first, stop, [&index](Objet *item) { insert_through_records(index, item); });
}

// Inserts the items of the cells from `first` on, clearing each cell taken.
void insert_chain_items(Objet *head, Objet *first, const Objet *stop)
{
    if (use_reference_merge) {
        TimedCursor cursor{head};
        take_items(first, stop, [&cursor](Objet *item) { insert_in_time(cursor, item); });
        return;
    }
    TimedRecords index = timed_records(head);
    insert_items_through(index, first, stop);
}

// The cell before a group's closing cell (its last).
Objet *cell_before_closing(Objet *group)
{
    Objet *before_closing = group;
    while (before_closing->link.next->link.next)
        before_closing = before_closing->link.next;
    return before_closing;
}

// Records of a group's inner items: the chain after its opening cell, up to
// the cell before its closing one (the tail).
TimedRecords inner_records(Objet *group)
{
    Objet *before_closing = cell_before_closing(group);
    Objet *closing = before_closing->link.next;
    before_closing->link.next = nullptr;
    TimedRecords index = timed_records(group);
    before_closing->link.next = closing;
    return index;
}

// What a merged group's insertions need: kept from an earlier insertion
// when the merge runs with a memo, else its inner records built into `local`.
GroupMemo &group_memo(Objet *group, GroupMemo &local)
{
    if (!active_memo) {
        local.records = inner_records(group);
        return local;
    }
    auto [found, added] = active_memo->groups.try_emplace(group);
    if (added || !still_before_closing(found->second.records) || !records_still_ordered(found->second.records))
        found->second = GroupMemo{inner_records(group), line_kinds(group, nullptr)};
    return found->second;
}

// The parts of a run that merge_groups joins: XI group, DT item, XE item.
struct RunPart {
    Objet *(*cell_of)(const Objet *run);
    LineKind opening;
    LineKind closing;
};
constexpr RunPart XI_PART{xi_group_cell, KIND_XI, KIND_YI};
constexpr RunPart DT_PART{dt_cell, KIND_DT, KIND_YT};
constexpr RunPart XE_PART{xe_cell, KIND_XE, KIND_FE};

// A part the merged run lacks moves in at its place: an XI group first, a DT
// item after the DS group, an XE item after the DT item or the DS group.
void move_part_into(Objet *merged_cell, Objet *part_cell, const RunPart &part)
{
    Objet *run = run_of(merged_cell);
    Objet *group = part_cell->head.item;
    part_cell->head.item = nullptr;
    if (part.opening == KIND_XI) {
        merged_cell->head.item = cons(group, run);
        return;
    }
    Objet *after = part.opening == KIND_XE ? dt_cell(run) : nullptr;
    if (!after)
        after = ds_group_cell(run);
    if (!after)
        structure_fault();
    after->link.next = cons(group, after->link.next);
}

// Earliest start, latest end, the other group's origin pairs and inner items.
void join_groups(Objet *into, Objet *from, LineKind opening, LineKind closing)
{
    Objet *into_open = opening_line(into, opening);
    Objet *from_open = opening_line(from, opening);
    Objet *into_close = closing_line(into, closing);
    Objet *from_close = closing_line(from, closing);

    Objet *start = read_field(into_open, 1, OBJ_LONG);
    if (real_time(read_unsigned(from_open, 1)) < real_time(static_cast<uint32_t>(start->link.value)))
        start->link.value = read_field(from_open, 1, OBJ_LONG)->link.value;
    move_origin_pairs(into_open, from_open);

    Objet *end = read_field(into_close, 1, OBJ_LONG);
    if (read_unsigned(from_close, 1) > static_cast<uint32_t>(end->link.value))
        end->link.value = read_field(from_close, 1, OBJ_LONG)->link.value;
    move_origin_pairs(into_close, from_close);

    insert_group_contents(into, from);
}

void merge_groups(Objet *merged_cell, Objet *new_run, const RunPart &part)
{
    Objet *new_cell = part.cell_of(new_run);
    if (!new_cell)
        return;
    Objet *merged_part = part.cell_of(run_of(merged_cell));
    if (!merged_part) {
        move_part_into(merged_cell, new_cell, part);
        return;
    }
    join_groups(merged_part->head.item, new_cell->head.item, part.opening, part.closing);
}

// Inner run lists still to be merged: (cell holding the merged list, new list).
using PendingMerges = std::deque<std::pair<Objet *, Objet *>>;

// "1" outranks "2", and "2" outranks every other verdict; otherwise the
// earlier file's verdict stays.
void merge_verdicts(Objet *into_fs, Objet *from_fs)
{
    Objet *kept = read_field(into_fs, 3, OBJ_STRING);
    Objet *other = read_field(from_fs, 3, OBJ_STRING);
    if (!text_is(kept, "\"1\"") && (text_is(other, "\"2\"") || text_is(other, "\"1\""))) {
        line_set_field(into_fs, 3, other);
        line_set_field(from_fs, 3, kept);
    }
}

void merge_ds_groups(Objet *merged_cell, Objet *new_run, PendingMerges &pending)
{
    Objet *new_cell = ds_group_cell(new_run);
    if (!new_cell)
        return;
    Objet *run = run_of(merged_cell);
    Objet *merged_part = ds_group_cell(run);
    Objet *from = new_cell->head.item;
    if (!merged_part) {
        Objet *xi_cell = xi_group_cell(run);
        if (!xi_cell)
            internal_fault();
        new_cell->head.item = nullptr;
        xi_cell->link.next = cons(from, xi_cell->link.next);
        return;
    }
    Objet *into = merged_part->head.item;
    Objet *into_ds = opening_line(into, KIND_DS);
    Objet *from_ds = opening_line(from, KIND_DS);
    Objet *into_fs = closing_line(into, KIND_FS);
    Objet *from_fs = closing_line(from, KIND_FS);

    Objet *start = read_field(into_ds, 5, OBJ_LONG);
    if (real_time(read_unsigned(from_ds, 5)) < real_time(static_cast<uint32_t>(start->link.value)))
        start->link.value = read_field(from_ds, 5, OBJ_LONG)->link.value;
    move_origin_pairs(into_ds, from_ds);
    merge_verdicts(into_fs, from_fs);
    move_origin_pairs(into_fs, from_fs);

    Objet *from_inner = from->link.next->head.item;
    if (from_inner && all_timed(from_inner)) {
        Objet *into_holder = into->link.next;
        if (!all_timed(into_holder->head.item))
            structure_fault();
        pending.emplace_back(into_holder, from_inner);
    } else {
        insert_group_contents(into, from);
    }
}

void merge_runs(Objet *merged_cell, Objet *new_run, PendingMerges &pending)
{
    merge_groups(merged_cell, new_run, XI_PART);
    merge_ds_groups(merged_cell, new_run, pending);
    merge_groups(merged_cell, new_run, DT_PART);
    merge_groups(merged_cell, new_run, XE_PART);
}

// The merged run of the same scenario (DS fields 1 and 4), or the first run
// without scenario to which the new scenario's file has not contributed.
Objet *find_scenario_partner(Objet *merged_runs, Objet *ds_line)
{
    Objet *name = read_field(ds_line, 1, OBJ_STRING);
    Objet *instance = read_field(ds_line, 4, OBJ_STRING);
    const int32_t file_number = first_file_number(ds_line);
    for (Objet *cell = merged_runs; cell; cell = cell->link.next) {
        Objet *run = run_of(cell);
        if (Objet *ds = ds_group(run)) {
            Objet *merged_ds = opening_line(ds, KIND_DS);
            if (obj_equal(read_field(merged_ds, 1, OBJ_STRING), name) &&
                obj_equal(read_field(merged_ds, 4, OBJ_STRING), instance))
                return cell;
            continue;
        }
        Objet *xi = xi_group(run);
        if (!xi)
            internal_fault();
        if (!has_contribution(opening_line(xi, KIND_XI), file_number))
            return cell;
    }
    return nullptr;
}

void append_run(Objet *holder, Objet *run)
{
    if (holder->head.item)
        last_cell(holder->head.item)->link.next = list1(run);
    else
        holder->head.item = list1(run);
}

// Before the first merged scenario with a greater DS field 7; equal keys
// keep arrival order. Takes the run out of the new list.
void place_scenario_run(Objet *holder, Objet *new_cell, Objet *ds_line)
{
    Objet *run = new_cell->head.item;
    new_cell->head.item = nullptr;
    const uint32_t key = read_unsigned(ds_line, 7);
    Objet *previous = nullptr;
    for (Objet *cell = holder->head.item; cell; previous = cell, cell = cell->link.next) {
        Objet *ds = ds_group(run_of(cell));
        if (ds && read_unsigned(opening_line(ds, KIND_DS), 7) > key) {
            list_insert_after(holder->head.item, previous, run);
            return;
        }
    }
    append_run(holder, run);
}

// The i-th instance run of a file joins the first merged run that has no
// contribution from that file yet; when all have one, it is appended.
void merge_instance_run(Objet *holder, Objet *new_cell)
{
    Objet *run = new_cell->head.item;
    Objet *xi = xi_group(run);
    if (!xi)
        structure_fault();
    const int32_t file_number = first_file_number(opening_line(xi, KIND_XI));
    for (Objet *cell = holder->head.item; cell; cell = cell->link.next) {
        if (!has_contribution(reference_line(run_of(cell)), file_number)) {
            merge_groups(cell, run, XI_PART);
            return;
        }
    }
    new_cell->head.item = nullptr;
    append_run(holder, run);
}

// The straightforward merge of a run list: every search walks the merged
// runs from the start. Kept as the reference the indexed merge must match.
void merge_run_list_reference(Objet *holder, Objet *cell, PendingMerges &pending)
{
    for (; cell; cell = cell->link.next) {
        if (!cell->head.item)
            continue;
        Objet *run = run_of(cell);
        if (Objet *ds = ds_group(run)) {
            Objet *ds_line = opening_line(ds, KIND_DS);
            if (Objet *partner = find_scenario_partner(holder->head.item, ds_line))
                merge_runs(partner, run, pending);
            else
                place_scenario_run(holder, cell, ds_line);
        } else {
            merge_instance_run(holder, cell);
        }
    }
}

IndexedRun new_entry(Objet *cell, uint64_t label)
{
    IndexedRun entry;
    entry.cell = cell;
    entry.label = label;
    return entry;
}
std::string identity_of(const Objet *name, const Objet *instance)
{
    std::string key = std::to_string(name->link.length);
    key += ':';
    key.append(name->head.text, name->link.length);
    key.append(instance->head.text, instance->link.length);
    return key;
}

// A field read_field would return, or null where it would end the run.
Objet *field_or_null(Objet *line, int k, int32_t object_kind)
{
    Objet *field = k <= read_field_count(line) ? line_field(line, k) : nullptr;
    return field && field->kind == object_kind ? field : nullptr;
}

Objet *opening_or_null(Objet *group, LineKind kind)
{
    if (!is_cell(group))
        return nullptr;
    Objet *line = group->head.item;
    return is_line(line) && line->head.item->tag == kind ? line : nullptr;
}

// What the reference searches read of one merged run; false where they
// would end the run.
bool describe_run(IndexedRun &entry, int32_t file_number)
{
    Objet *run = entry.cell->head.item;
    if (!is_cell(run))
        return false;
    Objet *xi_line = nullptr;
    if (Objet *xi = xi_group(run)) {
        xi_line = opening_or_null(xi, KIND_XI);
        if (!xi_line)
            return false;
    }
    Objet *ds = ds_group(run);
    entry.has_ds = ds != nullptr;
    if (ds) {
        Objet *ds_line = opening_or_null(ds, KIND_DS);
        Objet *name = ds_line ? field_or_null(ds_line, 1, OBJ_STRING) : nullptr;
        Objet *instance = ds_line ? field_or_null(ds_line, 4, OBJ_STRING) : nullptr;
        Objet *order = ds_line ? field_or_null(ds_line, 7, OBJ_LONG) : nullptr;
        if (!name || !instance || !order)
            return false;
        entry.identity = identity_of(name, instance);
        entry.order_key = static_cast<uint32_t>(order->link.value);
        if (!xi_line)
            xi_line = ds_line;
    } else if (!xi_line) {
        return false;
    }
    entry.lacks_file = !has_contribution(xi_line, file_number);
    return true;
}

// A scenario run just linked at its place becomes a record when its key is
// greater than every key before it; the records after it that it reaches
// or passes stop being records.
void add_key_record(KeyRecords &records, RunPos pos)
{
    if (records.stale)
        return;
    auto next = records.by_label.lower_bound(pos->label);
    if (next != records.by_label.begin() && std::prev(next)->second->order_key >= pos->order_key)
        return;
    while (next != records.by_label.end() && next->second->order_key <= pos->order_key) {
        records.by_key.erase(next->second->order_key);
        next = records.by_label.erase(next);
    }
    records.by_label.emplace(pos->label, pos);
    records.by_key.emplace(pos->order_key, pos);
}

void rebuild_key_records(RunIndex &index)
{
    KeyRecords &records = index.key_records;
    records = KeyRecords{};
    for (RunPos pos = index.runs.begin(); pos != index.runs.end(); ++pos)
        if (pos->has_ds)
            add_key_record(records, pos);
}

void unlink_entry(RunIndex &index, RunPos pos)
{
    if (pos->has_ds) {
        auto found = index.by_identity.find(pos->identity);
        found->second.erase(pos);
        if (found->second.empty())
            index.by_identity.erase(found);
    } else {
        index.instance_runs_lacking.erase(pos);
    }
    index.runs_lacking.erase(pos);
}

bool link_entry(RunIndex &index, RunPos pos)
{
    const bool had_ds = pos->has_ds;
    const uint32_t had_key = pos->order_key;
    if (!describe_run(*pos, index.file_number)) {
        index.valid = false;
        return false;
    }
    if (pos->has_ds) {
        index.by_identity[pos->identity].insert(pos);
    } else if (pos->lacks_file) {
        index.instance_runs_lacking.insert(pos);
    }
    if (pos->lacks_file)
        index.runs_lacking.insert(pos);
    else
        index.contributed.push_back(pos);
    if (pos->has_ds == had_ds && pos->order_key == had_key)
        return true;
    if (had_ds && index.key_records.by_label.count(pos->label))
        index.key_records.stale = true;
    if (pos->has_ds)
        add_key_record(index.key_records, pos);
    return true;
}

void build_index(RunIndex &index, Objet *holder, int32_t file_number)
{
    index = RunIndex{};
    index.valid = true;
    index.file_number = file_number;
    uint64_t label = 0;
    for (Objet *cell = holder->head.item; cell; cell = cell->link.next) {
        label += LABEL_GAP;
        index.runs.push_back(new_entry(cell, label));
        if (!link_entry(index, std::prev(index.runs.end())))
            return;
    }
}

// An index kept from an earlier file still mirrors its list when the list
// starts and ends with the cells it has: only the merge changes merged run
// lists while a memo is kept.
bool still_mirrors(const RunIndex &index, const Objet *holder)
{
    if (index.runs.empty())
        return !holder->head.item;
    return index.runs.front().cell == holder->head.item && !index.runs.back().cell->link.next;
}

// A kept index turned to a new file: no merged run has a contribution from
// it yet (its lines are the only ones with its number), so every run lacks
// it; only the runs that had the previous file's need a change.
void index_for_new_file(RunIndex &index, int32_t file_number)
{
    index.file_number = file_number;
    for (RunPos pos : index.contributed) {
        if (pos->lacks_file)
            continue;
        pos->lacks_file = true;
        index.runs_lacking.insert(pos);
        if (!pos->has_ds)
            index.instance_runs_lacking.insert(pos);
    }
    index.contributed.clear();
}

// The index for a file's runs: the kept one when it still holds, else built.
void prepare_index(RunIndex &index, Objet *holder, int32_t file_number)
{
    if (!index.valid || !still_mirrors(index, holder))
        build_index(index, holder, file_number);
    else if (index.file_number != file_number)
        index_for_new_file(index, file_number);
}

// Ready for searches on behalf of `file_number`; false when the reference must do them.
bool index_ready(RunIndex &index, Objet *holder, int32_t file_number)
{
    if (index.valid && index.file_number != file_number)
        build_index(index, holder, file_number);
    return index.valid;
}

void relabel(RunIndex &index)
{
    uint64_t label = 0;
    for (IndexedRun &entry : index.runs)
        entry.label = label += LABEL_GAP;
    index.key_records.stale = true;
}

// A new entry for `cell` just before `before` (end: at the end of the list).
RunPos add_entry(RunIndex &index, RunPos before, Objet *cell)
{
    const uint64_t low = before == index.runs.begin() ? 0 : std::prev(before)->label;
    uint64_t high = before == index.runs.end() ? low + 2 * LABEL_GAP : before->label;
    if (high - low < 2) {
        relabel(index);
        return add_entry(index, before, cell);
    }
    RunPos pos = index.runs.insert(before, new_entry(cell, low + (high - low) / 2));
    link_entry(index, pos);
    return pos;
}

void refresh_entry(RunIndex &index, RunPos pos)
{
    unlink_entry(index, pos);
    link_entry(index, pos);
}

RunPos first_of(const std::set<RunPos, ByLabel> &set, RunPos none) { return set.empty() ? none : *set.begin(); }

RunPos indexed_partner(RunIndex &index, Objet *ds_line)
{
    const RunPos none = index.runs.end();
    Objet *name = read_field(ds_line, 1, OBJ_STRING);
    Objet *instance = read_field(ds_line, 4, OBJ_STRING);
    const auto same = index.by_identity.find(identity_of(name, instance));
    const RunPos by_identity = same == index.by_identity.end() ? none : *same->second.begin();
    const RunPos lacking = first_of(index.instance_runs_lacking, none);
    if (by_identity == none)
        return lacking;
    if (lacking == none)
        return by_identity;
    return by_identity->label < lacking->label ? by_identity : lacking;
}

// First scenario whose order key is greater than `key`, in list order.
RunPos first_greater_scenario(RunIndex &index, uint32_t key)
{
    if (index.key_records.stale)
        rebuild_key_records(index);
    const auto found = index.key_records.by_key.upper_bound(key);
    return found == index.key_records.by_key.end() ? index.runs.end() : found->second;
}

void indexed_append(RunIndex &index, Objet *holder, Objet *run)
{
    Objet *cell = list1(run);
    if (index.runs.empty())
        holder->head.item = cell;
    else
        index.runs.back().cell->link.next = cell;
    add_entry(index, index.runs.end(), cell);
}

void indexed_place(RunIndex &index, Objet *holder, Objet *new_cell, Objet *ds_line)
{
    const uint32_t key = read_unsigned(ds_line, 7);
    Objet *run = new_cell->head.item;
    new_cell->head.item = nullptr;
    const RunPos before = first_greater_scenario(index, key);
    if (before == index.runs.end()) {
        indexed_append(index, holder, run);
        return;
    }
    if (before != index.runs.begin()) {
        Objet *previous = std::prev(before)->cell;
        list_insert_after(holder->head.item, previous, run);
        add_entry(index, before, previous->link.next);
        return;
    }
    // The first cell keeps its place and takes the new run; its old run moves to a new second cell.
    list_insert_after(holder->head.item, nullptr, run);
    before->cell = holder->head.item->link.next;
    add_entry(index, before, holder->head.item);
}

void merge_run_list(Objet *holder, Objet *new_runs, PendingMerges &pending)
{
    if (use_reference_merge) {
        merge_run_list_reference(holder, new_runs, pending);
        return;
    }
    RunIndex local;
    RunIndex &index = active_memo ? active_memo->run_lists[holder] : local;
    bool built = false;
    for (Objet *cell = new_runs; cell; cell = cell->link.next) {
        if (!cell->head.item)
            continue;
        Objet *run = run_of(cell);
        Objet *ds = ds_group(run);
        Objet *ds_line = ds ? opening_line(ds, KIND_DS) : nullptr;
        Objet *xi_line = nullptr;
        if (!ds) {
            Objet *xi = xi_group(run);
            if (!xi)
                structure_fault();
            xi_line = opening_line(xi, KIND_XI);
        }
        const int32_t file_number = first_file_number(ds ? ds_line : xi_line);
        if (!built) {
            prepare_index(index, holder, file_number);
            built = true;
        }
        if (!index_ready(index, holder, file_number)) {
            merge_run_list_reference(holder, cell, pending);
            return;
        }
        if (ds) {
            const RunPos partner = indexed_partner(index, ds_line);
            if (partner != index.runs.end()) {
                merge_runs(partner->cell, run, pending);
                refresh_entry(index, partner);
            } else {
                indexed_place(index, holder, cell, ds_line);
            }
        } else if (!index.runs_lacking.empty()) {
            const RunPos partner = *index.runs_lacking.begin();
            merge_groups(partner->cell, run, XI_PART);
            refresh_entry(index, partner);
        } else {
            cell->head.item = nullptr;
            indexed_append(index, holder, run);
        }
    }
}

struct ReportParts {
    Objet *first;
    Objet *body;
    Objet *last;
};

ReportParts cut_apart(Objet *report)
{
    if (!is_cell(report) || !is_cell(report->link.next) || !is_cell(report->link.next->link.next) ||
        report->link.next->link.next->link.next)
        structure_fault();
    ReportParts parts{report, report->link.next, report->link.next->link.next};
    parts.first->link.next = nullptr;
    parts.body->link.next = nullptr;
    return parts;
}

// The first file's tree becomes the merged report.
Objet *start_merged_report(const ReportParts &parts)
{
    Objet *heads = list1(parts.first);
    heads->link.next = parts.body;
    parts.body->link.next = list1(parts.last);
    return heads;
}

void append_ends(Objet *merged, const ReportParts &parts)
{
    Objet *tails = merged->link.next->link.next;
    list_append(merged->head.item, parts.first);
    list_append(tails->head.item, parts.last);
}

// A run list: a list whose first item is a run, i.e. a list starting with a group.
bool is_run_list(const Objet *x) { return is_cell(x) && starts_with_group(x->head.item); }

// A regrouped body is a cell E holding the list of runs; a body that was not
// regrouped counts as no runs followed by the whole body chain.
Objet *runs_of_body(Objet *body_chain) { return is_run_list(body_chain->head.item) ? body_chain->head.item : nullptr; }

Objet *merged_runs_holder(Objet *merged_body)
{
    Objet *chain = merged_body->head.item;
    if (!chain->head.item || is_run_list(chain->head.item))
        return chain;
    merged_body->head.item = cons(nullptr, chain);
    return merged_body->head.item;
}

} // namespace

void insert_group_contents(Objet *into, Objet *from)
{
    if (!is_cell(into) || !into->link.next || !is_cell(from))
        structure_fault();
    Objet *from_closing = last_cell(from);
    if (use_reference_merge) {
        Objet *before_closing = cell_before_closing(into);
        Objet *closing = before_closing->link.next;
        before_closing->link.next = nullptr;
        if (from_closing != from)
            insert_chain_items(into, from->link.next, from_closing);
        last_cell(into)->link.next = closing;
        return;
    }
    if (from_closing == from)
        return;
    GroupMemo local;
    GroupMemo &group = group_memo(into, local);
    if (active_memo)
        group.kinds |= line_kinds(from->link.next, from_closing); // before the items move
    TimedRecords &index = group.records;
    Objet *closing = index.tail->link.next;
    index.tail->link.next = nullptr;
    insert_items_through(index, from->link.next, from_closing);
    index.tail->link.next = closing;
}

void merge_use_reference(bool reference) { use_reference_merge = reference; }

bool merge_uses_reference() { return use_reference_merge; }

void merge_body(Objet *holder, Objet *new_runs)
{
    // Inner runs of joined scenarios wait in a queue instead of a recursion
    // that would follow the nesting depth of the report.
    PendingMerges pending{{holder, new_runs}};
    while (!pending.empty()) {
        const auto [merged_holder, runs] = pending.front();
        pending.pop_front();
        merge_run_list(merged_holder, runs, pending);
    }
}

Objet *merge_body_by_time(Objet *merged_chain, Objet *new_chain)
{
    Objet *head = cons(nullptr, merged_chain);
    insert_chain_items(head, new_chain, nullptr);
    Objet *result = head->link.next;
    head->link.next = nullptr;
    obj_free(head);
    return result;
}

MergeMemo::MergeMemo() : indexes(std::make_unique<Indexes>()) {}

MergeMemo::~MergeMemo()
{
    if (indexes->body_head)
        obj_free_one(indexes->body_head); // the cell alone: the chain is the report's
}

void merge_memo_forget(MergeMemo &memo)
{
    memo.indexes->groups.clear();
    memo.indexes->run_lists.clear();
    memo.indexes->line_tails.clear();
    memo.indexes->body.reset();
}

namespace {

// Makes the memo the one the merge's insertions use while it lives.
struct ActiveMemo {
    explicit ActiveMemo(MergeMemo *memo)
    {
        active_memo = memo ? memo->indexes.get() : nullptr;
        active_time_offset = memo ? memo->time_offset : 0;
    }
    ActiveMemo(const ActiveMemo &) = delete;
    ActiveMemo &operator=(const ActiveMemo &) = delete;
    ~ActiveMemo()
    {
        active_memo = nullptr;
        active_time_offset = 0;
    }
};

// The -TIME body merge with the records kept after the memo's head cell;
// rebuilt when the body chain is not the one they were kept for.
Objet *merge_body_by_time_kept(MergeMemo::Indexes &memo, Objet *merged_chain, Objet *new_chain)
{
    if (!memo.body_head)
        memo.body_head = cell_new();
    Objet *head = memo.body_head;
    if (!memo.body || head->link.next != merged_chain || memo.body->tail->link.next ||
        !records_still_ordered(*memo.body)) {
        head->link.next = merged_chain;
        memo.body = timed_records(head);
    }
    insert_items_through(*memo.body, new_chain, nullptr);
    return head->link.next;
}

} // namespace

Objet *merge_report(Objet *merged, Objet *report, MergeMemo *memo)
{
    const ActiveMemo active(use_reference_merge ? nullptr : memo);
    const ReportParts parts = cut_apart(report);
    if (memo && !merged)
        merge_memo_forget(*memo);
    if (!merged)
        return start_merged_report(parts);
    append_ends(merged, parts);

    Objet *merged_body = merged->link.next;
    Objet *new_chain = parts.body->head.item;
    if (!merged_body->head.item) {
        merged_body->head.item = new_chain;
        parts.body->head.item = nullptr;
    } else if (new_chain) {
        // What follows the new file's runs is not taken.
        if (Objet *new_runs = runs_of_body(new_chain))
            merge_body(merged_runs_holder(merged_body), new_runs);
    }
    obj_free(parts.body);
    return merged;
}

Objet *merge_report_by_time(Objet *merged, Objet *report, MergeMemo *memo)
{
    const ActiveMemo active(use_reference_merge ? nullptr : memo);
    const ReportParts parts = cut_apart(report);
    if (memo && !merged)
        merge_memo_forget(*memo);
    if (!merged)
        return start_merged_report(parts);
    append_ends(merged, parts);

    Objet *merged_body = merged->link.next;
    Objet *new_chain = parts.body->head.item;
    merged_body->head.item = active_memo ? merge_body_by_time_kept(*active_memo, merged_body->head.item, new_chain)
                                         : merge_body_by_time(merged_body->head.item, new_chain);
    obj_free(parts.body);
    return merged;
}
