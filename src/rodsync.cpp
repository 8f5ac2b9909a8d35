#include "rodsync.h"

#include "i18nerrgest.h"
#include "rodadnam.h"
#include "rodbase.h"
#include "rodtri.h"

#include <QString>

#include <algorithm>
#include <bit>
#include <cstring>
#include <span>
#include <string_view>

namespace {

constexpr uint64_t WORD_MODULUS = uint64_t{1} << 32;

[[noreturn]] void unexpected_end() { report_fatal("UNEXPTEOF", QString(), QString()); }

// Numeric field k of a line; a field that holds text is rejected.
int32_t number_field(LineId line, int k)
{
    const int slot = numeric_slot(line_at(line).kind, k);
    if (slot < 0)
        unexpected_end();
    return line_at(line).values[slot];
}

void set_number_field(LineId line, int k, uint32_t value)
{
    const int slot = numeric_slot(line_at(line).kind, k);
    if (slot < 0)
        unexpected_end();
    line_at(line).values[slot] = static_cast<int32_t>(value);
}

uint32_t unsigned_field(LineId line, int k) { return static_cast<uint32_t>(number_field(line, k)); }

// Text field k of a line; a missing or numeric field is rejected.
std::string_view text_field(LineId line, int k)
{
    if (k > line_at(line).count || numeric_slot(line_at(line).kind, k) >= 0)
        unexpected_end();
    return line_field_text(line, k);
}

SyOrigin sy_origin(LineId sy) { return {number_field(sy, 2), number_field(sy, 3), number_field(sy, 4)}; }

// What the rendezvous alignment compares of an RD line.
int32_t rendezvous_value(LineId rd) { return number_field(rd, 4); }

// The body cell (second top-level cell) of a tree; UNEXPTEOF without one.
CellId body_cell(CellId tree)
{
    const CellId body = tree ? cell_at(tree).next : 0;
    if (!body)
        unexpected_end();
    return body;
}

// The line reached from the body by always taking the first item; 0 when
// that ends on an empty cell.
LineId first_body_line(CellId tree)
{
    CellId cell = body_cell(tree);
    for (;;) {
        const Item item = cell_at(cell).item;
        if (is_line_item(item))
            return line_of(item);
        if (!is_list_item(item))
            return 0;
        cell = list_of(item);
    }
}

// Field 1 of an XI line, field 5 of a DS line.
int32_t event_time(LineId line)
{
    if (!line)
        unexpected_end();
    switch (line_at(line).kind) {
    case KIND_XI:
        return number_field(line, 1);
    case KIND_DS:
        return number_field(line, 5);
    default:
        unexpected_end();
    }
}

std::span<const int> scaled_fields(int kind)
{
    static constexpr int one[] = {1};
    static constexpr int two[] = {2};
    static constexpr int five[] = {5};
    static constexpr int one_two[] = {1, 2};
    static constexpr int three_five[] = {3, 5};
    static constexpr int four_five[] = {4, 5};
    static constexpr int five_seven[] = {5, 7};
    static constexpr int three_to_five[] = {3, 4, 5};
    static constexpr int four_to_six[] = {4, 5, 6};
    switch (kind) {
    case KIND_XI:
    case KIND_DT:
    case KIND_XE:
    case KIND_TP:
        return one;
    case KIND_DP:
    case KIND_FS:
        return two;
    case KIND_DS:
        return five;
    case KIND_DA:
    case KIND_DW:
    case KIND_RD:
    case KIND_FW:
        return three_to_five;
    case KIND_EV:
        return three_five;
    case KIND_SN:
        return four_to_six;
    case KIND_FT:
    case KIND_TN:
    case KIND_TF:
    case KIND_FB:
        return one_two;
    case KIND_IC:
        return five_seven;
    case KIND_ID:
        return four_five;
    default:
        return {};
    }
}

template <typename Visit> void for_each_line(CellId tree, Visit visit)
{
    for_each_line_cell(tree, [&visit](CellId cell) {
        visit(line_of(cell_at(cell).item));
        return true;
    });
}

void move_origin_back(LineId sy, uint32_t d)
{
    const auto moved = origin_moved_back(sy_origin(sy), d);
    if (!moved)
        unexpected_end();
    set_number_field(sy, 2, static_cast<uint32_t>(moved->high));
    set_number_field(sy, 3, static_cast<uint32_t>(moved->low));
}

// The two sides of one synchronisation.
struct Sides {
    TimeBase &base;
    CellId merged;
    CellId report;
    const FileLines &file;
    const std::vector<LineId> &merged_sy;
    const std::vector<LineId> &report_sy;
    uint32_t file_shift = 0; // what the new side's time fields still move by
};

// Multiplies the times of lines by k and divides their SY time unit by k.
void scale_line(LineId line, uint32_t k)
{
    const int kind = line_at(line).kind;
    if (kind == KIND_SY) {
        set_number_field(line, 4, unsigned_field(line, 4) * k);
        set_number_field(line, 3, unsigned_field(line, 3) * k);
        set_number_field(line, 5, unsigned_field(line, 5) / k);
        return;
    }
    for (int position : scaled_fields(kind))
        set_number_field(line, position, unsigned_field(line, position) * k);
}

// Multiplies the times of a side by k; the merged side's time offset too:
// (stored + offset) * k = stored * k + offset * k.
void scale_times(Sides &sides, bool merged_side, uint32_t k)
{
    if (k == 1)
        return;
    if (merged_side) {
        sides.base.offset *= k;
        ++sides.base.scalings;
        for_each_line(sides.merged, [k](LineId line) { scale_line(line, k); });
        if (sides.base.rendezvous.active())
            sides.base.rendezvous.reread_values();
    } else {
        for (LineId line : sides.file.lines)
            scale_line(line, k);
    }
}

// Adds d (d > 0) to every time of a side and moves its SY origins back by
// d. The new side's time fields move when they take the stored form, in
// the same pass (store_times_as_merged); its origins at once, as a fault
// there ends the run before anything that follows.
void shift_times(Sides &sides, bool merged_side, uint32_t d)
{
    if (!merged_side) {
        for (LineId sy : sides.file.sy_kind)
            move_origin_back(sy, d);
        sides.file_shift += d;
        return;
    }
    // The SY lines kept for the merged report are those whose code is "SY";
    // when they are not kept, every SY line of the report moves.
    if (sides.base.sy_known) {
        for (LineId sy : sides.merged_sy)
            move_origin_back(sy, d);
    } else {
        for_each_line(sides.merged, [d](LineId line) {
            if (line_at(line).kind == KIND_SY)
                move_origin_back(line, d);
        });
    }
    sides.base.offset += d;
}

// Clock alignment: d is the merged side's origin minus the new side's; the
// side with the later origin is shifted so both count from the earlier one.
void shift_later_side(Sides &sides, int32_t d)
{
    if (d > 0)
        shift_times(sides, true, static_cast<uint32_t>(d));
    else if (d < 0)
        shift_times(sides, false, 0u - static_cast<uint32_t>(d));
}

// Event alignments: d is the merged side's reference time minus the new
// side's; the side whose event comes earlier in its own times is shifted, so
// that the two events meet.
void shift_earlier_side(Sides &sides, int32_t d)
{
    if (d > 0)
        shift_times(sides, false, static_cast<uint32_t>(d));
    else if (d < 0)
        shift_times(sides, true, 0u - static_cast<uint32_t>(d));
}

uint32_t wrapping_difference(int32_t a, int32_t b) { return static_cast<uint32_t>(a) - static_cast<uint32_t>(b); }

// Field 6 of every target becomes the source's field 6.
void copy_unit_label(LineId source, const std::vector<LineId> &targets)
{
    const std::string_view label = text_field(source, 6);
    for (LineId target : targets) {
        text_field(target, 6);
        line_set_field_text(target, 6, label);
    }
}

// Brings both sides to the finer time unit: the coarser side is multiplied
// by the truncated ratio of the units and takes the other side's label.
void align_resolution(Sides &sides)
{
    const LineId a_line = sides.merged_sy.front();
    const LineId b_line = sides.report_sy.front();
    const uint32_t a = unsigned_field(a_line, 5);
    const uint32_t b = unsigned_field(b_line, 5);
    if (a == b)
        return;
    if (b < a) {
        if (b == 0)
            unexpected_end();
        scale_times(sides, true, a / b);
        copy_unit_label(b_line, sides.merged_sy);
    } else {
        if (a == 0)
            unexpected_end();
        scale_times(sides, false, b / a);
        copy_unit_label(a_line, sides.report_sy);
    }
}

// Aligns the origins when every SY line of the merged side names the clock
// of the new side's first SY line.
bool align_by_clock(Sides &sides)
{
    const LineId b_line = sides.report_sy.front();
    const std::string_view clock = text_field(b_line, 1);
    for (std::size_t at = 0; at < sides.merged_sy.size(); ++at) {
        const bool named = sides.base.sy_known ? sides.base.sy_clocks[at] == clock
                                               : text_field(sides.merged_sy[at], 1) == clock;
        if (!named)
            return false;
    }
    const auto d = clock_offset(sy_origin(sides.merged_sy.front()), sy_origin(b_line));
    if (!d)
        unexpected_end();
    shift_later_side(sides, *d);
    return true;
}

// Aligns on the RD lines of the two bodies that share a name. Matching moves
// forward only: a rendezvous met again matches the next one of that name on
// the merged side.
bool align_by_rendezvous(Sides &sides)
{
    RendezvousOrder &merged_points = sides.base.rendezvous;
    if (!merged_points.active())
        merged_points.build(body_cell(sides.merged));
    int32_t sum = 0;
    int32_t count = 0;
    uint64_t after = 0;
    for (LineId q : sides.file.body_rd) {
        const RendezvousOrder::Named p = merged_points.next_named(q, after);
        if (!p.line)
            continue;
        ++count;
        const uint32_t gap = wrapping_difference(p.value, rendezvous_value(q));
        sum = static_cast<int32_t>(static_cast<uint32_t>(sum) + static_cast<uint32_t>(static_cast<int32_t>(gap) / 28));
        after = p.label;
    }
    if (count == 0)
        return false;
    shift_earlier_side(sides, sum / count);
    return true;
}

void align_by_first_event(Sides &sides)
{
    const int32_t a = static_cast<int32_t>(static_cast<uint32_t>(event_time(first_body_line(sides.merged))) +
                                           sides.base.offset);
    const int32_t b = event_time(first_body_line(sides.report));
    shift_earlier_side(sides, static_cast<int32_t>(wrapping_difference(a, b)));
}

constexpr uint32_t BEFORE_ALL = 0;
constexpr uint32_t AFTER_ALL = 1;
constexpr unsigned NODE_CHUNK_BITS = std::countr_zero(HUGE_PAGE / sizeof(uint32_t));
constexpr uint64_t MIN_GAP = 1024;
constexpr uint32_t NO_NAME = UINT32_MAX;
// The node slot of an anchor of a pending item, until it is placed: this
// bit and the item.
constexpr uint32_t PENDING_NODE = uint32_t{1} << 31;

} // namespace

uint32_t RendezvousOrder::node_of(LineId line) const
{
    const std::size_t chunk = line >> NODE_CHUNK_BITS;
    if (chunk >= node_chunks_.size() || !node_chunks_[chunk])
        return 0;
    return node_chunks_[chunk][line & ((1u << NODE_CHUNK_BITS) - 1)];
}

bool RendezvousOrder::is_labelled(LineId line) const
{
    const std::size_t word = line / 64;
    return word < labelled_.size() && (labelled_[word] >> (line % 64) & 1) != 0;
}

void RendezvousOrder::set_node(LineId line, uint32_t node)
{
    const std::size_t word = line / 64;
    if (word >= labelled_.size())
        labelled_.resize(std::max<std::size_t>(word + 1, labelled_.size() * 2));
    labelled_[word] |= uint64_t{1} << (line % 64);
    const std::size_t chunk = line >> NODE_CHUNK_BITS;
    if (chunk >= node_chunks_.size())
        node_chunks_.resize(chunk + 1);
    if (!node_chunks_[chunk])
        node_chunks_[chunk] = reinterpret_cast<uint32_t *>(node_blocks_.take(true));
    node_chunks_[chunk][line & ((1u << NODE_CHUNK_BITS) - 1)] = node;
}

// Spreads the labels of a window of nodes around the gap before `at`, the
// window doubling until its labels have room to spare.
void RendezvousOrder::make_room(uint32_t at)
{
    uint32_t low = at == AFTER_ALL ? nodes_[at].prev : at;
    uint32_t high = low;
    uint64_t count = 1;
    for (;;) {
        const uint64_t left = nodes_[nodes_[low].prev].label;
        const uint64_t right = nodes_[nodes_[high].next].label;
        const uint64_t gap = (right - left) / (count + 1);
        if (gap >= MIN_GAP) {
            ++relabel_pass_;
            uint64_t label = left;
            for (uint32_t node = low;; node = nodes_[node].next) {
                relabel(node, label += gap);
                if (node == high)
                    return;
            }
        }
        for (uint64_t grown = count; grown > 0; --grown) {
            if (nodes_[low].prev != BEFORE_ALL) {
                low = nodes_[low].prev;
                ++count;
            }
            if (nodes_[high].next != AFTER_ALL) {
                high = nodes_[high].next;
                ++count;
            }
        }
    }
}

void RendezvousOrder::relabel(uint32_t node, uint64_t label)
{
    const uint32_t name = names_[node];
    if (name != NO_NAME)
        named_[name].relabel(nodes_[node].label, label, relabel_pass_);
    nodes_[node].label = label;
}

void RendezvousOrder::insert_before(uint32_t successor, LineId line)
{
    if (nodes_[successor].label - nodes_[nodes_[successor].prev].label < 2)
        make_room(successor);
    const uint32_t prev = nodes_[successor].prev;
    const uint32_t node = nodes_.size();
    const uint64_t low = nodes_[prev].label;
    const uint64_t label = low + (nodes_[successor].label - low) / 2;
    nodes_.push_back({label, prev, successor});
    nodes_[prev].next = node;
    nodes_[successor].prev = node;
    set_node(line, node);
    if (!line_code_is(line, KIND_RD)) {
        names_.push_back(NO_NAME);
        return;
    }
    const uint32_t name = name_of(line);
    names_.push_back(name);
    named_[name].insert(label, line, rendezvous_value(line));
}

uint32_t RendezvousOrder::name_index(std::string_view name)
{
    auto named = by_name_.find(name);
    if (named == by_name_.end()) {
        named = by_name_.try_emplace(std::string(name), static_cast<uint32_t>(named_.size())).first;
        named_.emplace_back();
    }
    return named->second;
}

uint32_t RendezvousOrder::name_of(LineId rd)
{
    const Line &line = line_at(rd);
    const auto slot = static_cast<uint32_t>(line.values[RD_NAME_SLOT]);
    if (line.file == names_file_ && slot != 0 && slot <= file_names_.size())
        return file_names_[slot - 1];
    return name_index(line_field_text(rd, 1));
}

void RendezvousOrder::take_names(std::span<const std::string_view> names, uint16_t file)
{
    // The pending lines are named by the last file's slots.
    settle();
    file_names_.clear();
    for (const std::string_view name : names)
        file_names_.push_back(name_index(name));
    names_file_ = file;
}

namespace {

// Whether the first and last lines of the list `first` are labelled: those
// of the groups the merge links items into (XI, DT, XE and DS groups),
// whose closing line bounds the search from an item linked inside. Other
// groups (an EV or DA block among a scenario's items) never take items, so
// a search only passes through them: labelling them would cost an insertion
// per line and a search per block the merge links.
bool bounds_labelled(CellId first)
{
    const Item item = cell_at(first).item;
    if (!is_line_item(item))
        return false;
    switch (line_at(line_of(item)).kind) {
    case KIND_XI:
    case KIND_DT:
    case KIND_XE:
    case KIND_DS:
        return true;
    default:
        return false;
    }
}

} // namespace

// The lines of `item` that are labelled, in tree order, into `anchors`: its
// RD lines, and the first and last line of every list in it whose bounds
// are labelled, but for the closing lines the engine made, which share one
// record (a group that takes items ends with a line read from its file).
void RendezvousOrder::collect_anchors(Item item)
{
    anchors_.clear();
    if (is_line_item(item)) {
        if (line_code_is(line_of(item), KIND_RD))
            anchors_.push_back(line_of(item));
        return;
    }
    if (!is_list_item(item))
        return;
    places_.assign(1, {list_of(item), true, bounds_labelled(list_of(item))});
    while (!places_.empty()) {
        Place &place = places_.back();
        if (!place.cell) {
            places_.pop_back();
            continue;
        }
        const Cell &cell = cell_at(place.cell);
        const bool bounds = place.bounded && (place.first || !cell.next);
        place.first = false;
        place.cell = cell.next;
        if (is_line_item(cell.item)) {
            const LineId line = line_of(cell.item);
            const int kind = line_at(line).kind;
            if ((bounds && (kind < KIND_FF || kind > KIND_FR)) || line_code_is(line, KIND_RD))
                anchors_.push_back(line);
        } else if (is_list_item(cell.item)) {
            const CellId inner = list_of(cell.item);
            places_.push_back({inner, true, bounds_labelled(inner)});
        }
    }
}

void RendezvousOrder::build(CellId body)
{
    // The ends take room only now: most runs never align by rendezvous.
    active_ = true;
    nodes_.push_back({0, BEFORE_ALL, AFTER_ALL});
    nodes_.push_back({UINT64_MAX, BEFORE_ALL, AFTER_ALL});
    names_.push_back(NO_NAME);
    names_.push_back(NO_NAME);
    collect_anchors(cell_at(body).item);
    for (LineId line : anchors_)
        insert_before(AFTER_ALL, line);
}

void RendezvousOrder::linked(Item item, CellId from, std::array<CellId, 2> then)
{
    // An item without labelled lines needs no place, which inside a group
    // merged from many files can lie far on.
    collect_anchors(item);
    if (anchors_.empty())
        return;
    pending_.push_back({from, then, static_cast<uint32_t>(pending_anchors_.size()),
                        static_cast<uint32_t>(anchors_.size()), 0, false});
    pending_anchors_.insert(pending_anchors_.end(), anchors_.begin(), anchors_.end());
}

// Every anchor of a pending item is marked as labelled, its node slot
// naming the item, so that a search stops at it; the items then go in, in
// the order they were linked, each before the line its search stopped at
// (and after the item that line belongs to).
void RendezvousOrder::settle()
{
    if (pending_.empty())
        return;
    for (uint32_t item = 0; item < pending_.size(); ++item) {
        const Pending &pending = pending_[item];
        for (uint32_t at = 0; at < pending.anchor_count; ++at)
            set_node(pending_anchors_[pending.first_anchor + at], PENDING_NODE | item);
    }
    find_stops();
    for (uint32_t item = 0; item < pending_.size(); ++item) {
        prefetch_place(item + 12, false);
        prefetch_place(item + 4, true);
        place_pending(item);
    }
    pending_.clear();
    pending_anchors_.clear();
}

// The searches of all pending items, LANES at a time: each lane reads one
// cell a round, fetched the round before.
void RendezvousOrder::find_stops()
{
    std::size_t active = 0;
    uint32_t next = 0;
    const auto size = static_cast<uint32_t>(pending_.size());
    while (active < LANES && next < size)
        active += start_lane(lanes_[active], next++);
    while (active > 0) {
        for (std::size_t at = 0; at < active;) {
            Lane &lane = lanes_[at];
            if (!step_lane(lane)) {
                ++at;
                continue;
            }
            bool started = false;
            while (!started && next < size)
                started = start_lane(lane, next++);
            // A new search's first cell is on its way: read it next round.
            if (started)
                ++at;
            else
                std::swap(lane, lanes_[--active]);
        }
    }
}

// False when the search ended at once (nothing to read).
bool RendezvousOrder::start_lane(Lane &lane, uint32_t item)
{
    lane.item = item;
    lane.cell = pending_[item].from;
    lane.then_at = 0;
    lane.check = 0;
    lane.resume.clear();
    return advance_lane(lane);
}

// Moves the lane on to its next cell to read, fetching it; false (the
// search found nothing) when there is none.
bool RendezvousOrder::advance_lane(Lane &lane)
{
    const std::array<CellId, 2> &then = pending_[lane.item].then;
    while (!lane.cell) {
        if (!lane.resume.empty()) {
            lane.cell = lane.resume.back();
            lane.resume.pop_back();
        } else if (lane.then_at < then.size()) {
            lane.cell = then[lane.then_at++];
        } else {
            pending_[lane.item].stop = 0;
            return false;
        }
    }
    __builtin_prefetch(&cell_at(lane.cell));
    return true;
}

// One round of a lane's search: the line read the round before is tested
// (its bit fetched then), then the next cell is read (fetched then). True
// when the search ended.
bool RendezvousOrder::step_lane(Lane &lane)
{
    if (lane.check) {
        if (is_labelled(lane.check)) {
            pending_[lane.item].stop = lane.check;
            return true;
        }
        lane.check = 0;
        if (!lane.cell)
            return !advance_lane(lane);
    }
    const Cell cell = cell_at(lane.cell);
    if (is_list_item(cell.item)) {
        if (cell.next)
            lane.resume.push_back(cell.next);
        lane.cell = list_of(cell.item);
        __builtin_prefetch(&cell_at(lane.cell));
        return false;
    }
    lane.cell = cell.next;
    if (!is_line_item(cell.item))
        return !advance_lane(lane);
    lane.check = line_of(cell.item);
    const std::size_t word = lane.check / 64;
    if (word < labelled_.size())
        __builtin_prefetch(&labelled_[word]);
    if (lane.cell)
        __builtin_prefetch(&cell_at(lane.cell));
    return false;
}

// Fetches ahead what placing a pending item reads first: the node slot of
// the line its search stopped at, later that node.
void RendezvousOrder::prefetch_place(uint32_t item, bool node)
{
    if (item >= pending_.size() || !pending_[item].stop)
        return;
    const LineId stop = pending_[item].stop;
    const std::size_t chunk = stop >> NODE_CHUNK_BITS;
    if (chunk >= node_chunks_.size() || !node_chunks_[chunk])
        return;
    const uint32_t *slot = &node_chunks_[chunk][stop & ((1u << NODE_CHUNK_BITS) - 1)];
    if (!node)
        __builtin_prefetch(slot);
    else if (*slot && !(*slot & PENDING_NODE))
        __builtin_prefetch(&nodes_[*slot]);
}

// Places a pending item; first, when its search stopped at a pending item's
// line, that item (and so on along such a chain, without recursion).
void RendezvousOrder::place_pending(uint32_t item)
{
    chain_.clear();
    for (uint32_t at = item; !pending_[at].placed;) {
        pending_[at].placed = true;
        chain_.push_back(at);
        const uint32_t node = pending_[at].stop ? node_of(pending_[at].stop) : 0;
        if (!(node & PENDING_NODE))
            break;
        at = node & ~PENDING_NODE;
    }
    for (auto at = chain_.rbegin(); at != chain_.rend(); ++at) {
        const Pending &pending = pending_[*at];
        const uint32_t successor = pending.stop ? node_of(pending.stop) : AFTER_ALL;
        // Every search runs forward through the body, so a stop is placed
        // by now.
        if (successor == BEFORE_ALL || (successor & PENDING_NODE))
            report_fatal("ERRINTERN", QString(), QString());
        for (uint32_t k = 0; k < pending.anchor_count; ++k)
            insert_before(successor, pending_anchors_[pending.first_anchor + k]);
    }
}

RendezvousOrder::Named RendezvousOrder::next_named(LineId rd, uint64_t after)
{
    settle();
    return named_[name_of(rd)].first_above(after);
}

void RendezvousOrder::reread_values()
{
    settle();
    for (NamedLines &lines : named_)
        lines.reread_values();
}

std::size_t RendezvousOrder::NamedLines::chunk_above(uint64_t label)
{
    const auto above = [&](std::size_t chunk) { return lasts_[chunk] > label; };
    std::size_t low = 0;
    std::size_t high = lasts_.size();
    if (finger_ <= high && (finger_ == 0 || !above(finger_ - 1))) {
        // Every chunk before the finger lies below: gallop from it.
        low = finger_;
        for (std::size_t step = 1; low < high && !above(low); step *= 2) {
            const std::size_t next = low + step;
            if (next >= high || above(next)) {
                high = std::min(next, high);
                ++low;
                break;
            }
            low = next + 1;
        }
    }
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (above(middle))
            high = middle;
        else
            low = middle + 1;
    }
    finger_ = low;
    return low;
}

// The place in chunk `at` of the first line whose label is above `label`.
// From the finger when that lies in this chunk with nothing above the
// label before it, galloping: a file's RD lines of one name mostly follow
// closely on one another.
uint32_t RendezvousOrder::NamedLines::index_above(std::size_t at, uint64_t label) const
{
    const Chunk &chunk = *chunks_[at];
    uint32_t low = 0;
    uint32_t high = chunk.size;
    if (at == finger_chunk_ && finger_index_ > 0 && finger_index_ <= chunk.size &&
        chunk.labels[finger_index_ - 1] <= label) {
        low = finger_index_;
        for (uint32_t step = 1; low < high; step *= 2) {
            const uint32_t probe = low + step - 1;
            if (probe >= high)
                break;
            if (chunk.labels[probe] > label) {
                high = probe;
                break;
            }
            low = probe + 1;
        }
    }
    return static_cast<uint32_t>(std::upper_bound(chunk.labels + low, chunk.labels + high, label) - chunk.labels);
}

RendezvousOrder::Named RendezvousOrder::NamedLines::first_above(uint64_t after)
{
    const std::size_t at = chunk_above(after);
    if (at == chunks_.size())
        return {};
    const uint32_t found = index_above(at, after);
    finger_chunk_ = at;
    finger_index_ = found + 1;
    const Chunk &chunk = *chunks_[at];
    const Entry &entry = chunk.entries[found];
    return {entry.line, chunk.labels[found], entry.value};
}

void RendezvousOrder::NamedLines::reread_values()
{
    for (const std::unique_ptr<Chunk> &chunk : chunks_)
        for (uint32_t at = 0; at < chunk->size; ++at)
            chunk->entries[at].value = rendezvous_value(chunk->entries[at].line);
}

void RendezvousOrder::NamedLines::insert(uint64_t label, LineId line, int32_t value)
{
    std::size_t at = chunk_above(label);
    if (at == chunks_.size()) {
        if (chunks_.empty() || chunks_.back()->size == CHUNK) {
            chunks_.push_back(std::make_unique<Chunk>());
            lasts_.push_back(label);
        }
        at = chunks_.size() - 1;
    }
    if (chunks_[at]->size == CHUNK) {
        auto upper = std::make_unique<Chunk>();
        Chunk &lower = *chunks_[at];
        upper->size = CHUNK / 2;
        std::memcpy(upper->entries, lower.entries + CHUNK / 2, CHUNK / 2 * sizeof(Entry));
        std::memcpy(upper->labels, lower.labels + CHUNK / 2, CHUNK / 2 * sizeof(uint64_t));
        lower.size = CHUNK / 2;
        const bool goes_up = label > lower.labels[lower.size - 1];
        chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(at) + 1, std::move(upper));
        lasts_.insert(lasts_.begin() + static_cast<std::ptrdiff_t>(at), lower.labels[lower.size - 1]);
        at += goes_up;
    }
    Chunk &chunk = *chunks_[at];
    const uint32_t place = index_above(at, label);
    const uint32_t moved = chunk.size - place;
    std::memmove(chunk.entries + place + 1, chunk.entries + place, moved * sizeof(Entry));
    std::memmove(chunk.labels + place + 1, chunk.labels + place, moved * sizeof(uint64_t));
    chunk.entries[place] = {line, value};
    chunk.labels[place] = label;
    ++chunk.size;
    lasts_[at] = chunk.labels[chunk.size - 1];
    finger_chunk_ = at;
    finger_index_ = place + 1;
}

void RendezvousOrder::NamedLines::relabel(uint64_t old, uint64_t fresh, uint64_t pass)
{
    if (pass_ != pass) {
        // The first of the pass: every copy of this name still holds its
        // label from before it.
        pass_ = pass;
        pass_chunk_ = static_cast<std::size_t>(std::lower_bound(lasts_.begin(), lasts_.end(), old) - lasts_.begin());
        const Chunk &chunk = *chunks_[pass_chunk_];
        pass_index_ = static_cast<uint32_t>(std::lower_bound(chunk.labels, chunk.labels + chunk.size, old) - chunk.labels);
    } else if (++pass_index_ == chunks_[pass_chunk_]->size) {
        ++pass_chunk_;
        pass_index_ = 0;
    }
    Chunk &chunk = *chunks_[pass_chunk_];
    chunk.labels[pass_index_] = fresh;
    if (pass_index_ + 1 == chunk.size)
        lasts_[pass_chunk_] = fresh;
}

std::vector<LineId> collect_lines(CellId tree, LineKind kind)
{
    std::vector<LineId> lines;
    for_each_line(tree, [&lines, kind](LineId line) {
        if (line_code_is(line, kind))
            lines.push_back(line);
    });
    return lines;
}

std::optional<int32_t> clock_offset(SyOrigin a, SyOrigin b)
{
    if (a.period == 0 || b.period == 0)
        return std::nullopt;
    const uint32_t periods = static_cast<uint32_t>(a.period) / static_cast<uint32_t>(b.period);
    const uint32_t d = wrapping_difference(a.high, b.high) * periods * static_cast<uint32_t>(b.period) +
                       wrapping_difference(a.low, b.low);
    return static_cast<int32_t>(d);
}

// Euclid-like descent: when [low, high] holds no multiple of step before the
// first wrap, a solution n has step * n = modulus * y + t with t in the
// range, i.e. (modulus * y) mod step lies in a smaller range; the smallest
// such y gives the smallest n. Each level keeps what it needs to turn the
// answer of the level below into its own.
std::optional<uint64_t> first_multiple_in_range(uint64_t step, uint64_t modulus, uint64_t low, uint64_t high)
{
    struct Level {
        uint64_t step, modulus, low;
    };
    std::vector<Level> levels;
    std::optional<uint64_t> n;
    for (;;) {
        if (low == 0) {
            n = 0;
            break;
        }
        if (step == 0)
            break;
        const uint64_t k = (low + step - 1) / step;
        if (k * step <= high) {
            n = k;
            break;
        }
        levels.push_back({step, modulus, low});
        const uint64_t next_low = step - high % step;
        const uint64_t next_high = step - low % step;
        const uint64_t next_step = modulus % step;
        modulus = step;
        step = next_step;
        low = next_low;
        high = next_high;
    }
    if (!n)
        return std::nullopt;
    for (auto level = levels.rbegin(); level != levels.rend(); ++level) {
        const unsigned __int128 target = static_cast<unsigned __int128>(level->modulus) * *n + level->low;
        *n = static_cast<uint64_t>((target + level->step - 1) / level->step);
    }
    return n;
}

std::optional<SyOrigin> origin_moved_back(SyOrigin origin, uint32_t d)
{
    const uint32_t low = static_cast<uint32_t>(origin.low);
    const uint32_t period = static_cast<uint32_t>(origin.period);
    uint64_t borrowed = 0;
    if (low < d) {
        // The loop ends at the first n with (low + n * period) mod 2^32 >= d.
        const auto n = first_multiple_in_range(period, WORD_MODULUS, d - low, WORD_MODULUS - 1 - low);
        if (!n)
            return std::nullopt;
        borrowed = *n;
    }
    const uint32_t n = static_cast<uint32_t>(borrowed);
    return SyOrigin{static_cast<int32_t>(static_cast<uint32_t>(origin.high) - n),
                    static_cast<int32_t>(low + n * period - d), origin.period};
}

void name_rendezvous_lines(FileLines &file)
{
    std::unordered_map<std::string_view, uint32_t> known;
    for (const LineId rd : file.body_rd) {
        const auto next = static_cast<uint32_t>(file.rd_names.size() + 1);
        const auto [entry, added] = known.try_emplace(line_field_text(rd, 1), next);
        if (added)
            file.rd_names.push_back(entry->first);
        line_at(rd).values[RD_NAME_SLOT] = static_cast<int32_t>(entry->second);
    }
}

uint32_t synchronise(TimeBase &base, CellId merged, CellId report, const FileLines &file)
{
    const std::vector<LineId> &report_sy = file.sy_lines;
    uint32_t file_shift = 0;
    if (merged) {
        const std::vector<LineId> searched = base.sy_known ? std::vector<LineId>() : collect_lines(merged, KIND_SY);
        const std::vector<LineId> &merged_sy = base.sy_known ? base.sy_lines : searched;
        if (merged_sy.empty() || report_sy.empty())
            unexpected_end();
        // Named by a loader only once the order is active: otherwise none.
        base.rendezvous.take_names(file.rd_names,
                                   file.rd_names.empty() ? 0 : line_at(file.body_rd.front()).file);
        Sides sides{base, merged, report, file, merged_sy, report_sy};
        align_resolution(sides);
        if (!align_by_clock(sides) && !align_by_rendezvous(sides))
            align_by_first_event(sides);
        file_shift = sides.file_shift;
    }
    if (!base.sy_known)
        return file_shift;
    if (!file.sy_in_first_part) {
        base.sy_known = false;
        base.sy_lines.clear();
        base.sy_clocks.clear();
        return file_shift;
    }
    for (LineId sy : report_sy)
        base.sy_clocks.emplace_back(text_field(sy, 1));
    base.sy_lines.insert(base.sy_lines.end(), report_sy.begin(), report_sy.end());
    return file_shift;
}

void store_times_as_merged(const TimeBase &base, const FileLines &file, uint32_t file_shift)
{
    const uint32_t change = file_shift - base.offset;
    if (!change)
        return;
    // The records were written on a loader's core: fetched ahead, their
    // transfers overlap.
    constexpr std::size_t AHEAD = 16;
    const std::size_t count = file.lines.size();
    for (std::size_t at = 0; at < count; ++at) {
        if (at + AHEAD < count)
            __builtin_prefetch(&line_at(file.lines[at + AHEAD]), 1);
        const LineId line = file.lines[at];
        const int kind = line_at(line).kind;
        if (kind == KIND_SY)
            continue;
        if (const int position = time_field_position(kind))
            set_number_field(line, position, unsigned_field(line, position) + change);
    }
}
