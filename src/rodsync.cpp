#include "rodsync.h"

#include <array>
#include <cstring>
#include <vector>

#include "i18nerrgest.h"
#include "rodbase.h"
#include "rodtri.h"

namespace {

constexpr uint64_t WORD_MODULUS = uint64_t{1} << 32;

[[noreturn]] void unexpected_end() { report_fatal("UNEXPTEOF", QString(), QString()); }

// The merged report of the synchronisation under way, whether its stored
// times were rewritten (callers keep indexes over them), and the record
// whose pending shift takes its shifts, when it may.
const Objet *watched_tree = nullptr;
bool watched_tree_changed = false;
MergedClockLines *lazy_clocks = nullptr;

void note_times_changed(const Objet *tree)
{
    if (tree == watched_tree)
        watched_tree_changed = true;
}

// The record whose pending shift holds the shifts of `tree`, if any.
MergedClockLines *waiting_clocks_of(const Objet *tree) { return tree == watched_tree ? lazy_clocks : nullptr; }

// The pending shift to add to a stored time of `tree`.
uint32_t pending_shift_of(const Objet *tree)
{
    const MergedClockLines *clocks = waiting_clocks_of(tree);
    return clocks ? clocks->pending_shift : 0;
}

int32_t kind_of(const Objet *line) { return line->head.item->tag; }

// Calls visit on every line of the tree, depth first, items before next.
// Cells without item and non-list items are passed over; a line's own
// items are never entered. Explicit stack: trees nest deeply.
template <typename Visit> void for_each_line(Objet *tree, Visit visit)
{
    std::vector<Objet *> pending;
    if (tree)
        pending.push_back(tree);
    while (!pending.empty()) {
        Objet *cell = pending.back();
        pending.pop_back();
        for (; cell && cell->kind == OBJ_LIST; cell = cell->link.next) {
            Objet *item = cell->head.item;
            if (!item || item->kind != OBJ_LIST)
                continue;
            if (is_line(item)) {
                visit(item);
                continue;
            }
            if (cell->link.next)
                pending.push_back(cell->link.next);
            pending.push_back(item);
            break;
        }
    }
}

// Numeric field k of a line; a line too short or not converted is rejected.
Objet *long_field(Objet *line, int k)
{
    Objet *field = line_field(line, k);
    if (!field || field->kind != OBJ_LONG)
        unexpected_end();
    return field;
}

uint32_t unsigned_field(Objet *line, int k) { return static_cast<uint32_t>(long_field(line, k)->link.value); }

void set_unsigned_field(Objet *line, int k, uint32_t value)
{
    long_field(line, k)->link.value = static_cast<int32_t>(value);
}

Objet *text_field(Objet *line, int k)
{
    Objet *field = line_field(line, k);
    if (!field || field->kind != OBJ_STRING)
        unexpected_end();
    return field;
}

Objet *first_item(Objet *list) { return list->head.item; }

// A list made by collect_lines, released however the scope is left (a fatal
// report may leave by an exception in a test harness).
struct CollectedLines {
    Objet *list; // null once handed over
    explicit CollectedLines(Objet *lines) : list(lines) {}
    CollectedLines(const CollectedLines &) = delete;
    CollectedLines &operator=(const CollectedLines &) = delete;
    ~CollectedLines() { release_collected(list); }
};

SyOrigin sy_origin(Objet *sy)
{
    return {long_field(sy, 2)->link.value, long_field(sy, 3)->link.value, long_field(sy, 4)->link.value};
}

// The body cell (second top-level cell) of a report tree, or null.
Objet *body_cell(Objet *tree) { return tree && tree->kind == OBJ_LIST ? tree->link.next : nullptr; }

// The lines of code `kind` in the body of the tree only.
Objet *collect_body_lines(Objet *tree, LineKind kind)
{
    Objet *body = body_cell(tree);
    if (!body)
        return nullptr;
    Objet view = *body; // the body cell without what follows it
    view.link.next = nullptr;
    return collect_lines(&view, keyword_string(kind));
}

// Clock alignment: d is the merged side's origin minus the new side's; the
// side with the later origin is shifted so both count from the earlier one.
void shift_later_side(Objet *merged, Objet *report, int32_t d)
{
    if (d > 0)
        shift_times(merged, static_cast<uint32_t>(d));
    else if (d < 0)
        shift_times(report, 0u - static_cast<uint32_t>(d));
}

// Event alignments: d is the merged side's reference time minus the new
// side's; the side whose event comes earlier in its own times is shifted, so
// that the two events meet.
void shift_earlier_side(Objet *merged, Objet *report, int32_t d)
{
    if (d > 0)
        shift_times(report, static_cast<uint32_t>(d));
    else if (d < 0)
        shift_times(merged, 0u - static_cast<uint32_t>(d));
}

uint32_t wrapping_difference(int32_t a, int32_t b)
{
    return static_cast<uint32_t>(a) - static_cast<uint32_t>(b);
}

} // namespace

std::span<const int> scaled_fields(int32_t kind)
{
    static constexpr std::array<int, 1> one{1};
    static constexpr std::array<int, 1> two{2};
    static constexpr std::array<int, 1> five{5};
    static constexpr std::array<int, 2> one_two{1, 2};
    static constexpr std::array<int, 2> three_five{3, 5};
    static constexpr std::array<int, 2> four_five{4, 5};
    static constexpr std::array<int, 2> five_seven{5, 7};
    static constexpr std::array<int, 3> three_to_five{3, 4, 5};
    static constexpr std::array<int, 3> four_to_six{4, 5, 6};
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

// The shifted field of a kind is its time field.
int shifted_field(int32_t kind) { return time_field_position(kind); }

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

Objet *collect_lines(Objet *tree, Objet *code)
{
    Objet *first = nullptr;
    Objet *last = nullptr;
    // Every line's code string carries the kind named from its first two
    // letters, so kind and length decide equality with a keyword's code
    // without reading the text (a cache miss per line on a large report).
    for_each_line(tree, [&](Objet *line) {
        const Objet *line_code = first_item(line);
        if (line_code->tag != code->tag || line_code->link.length != code->link.length)
            return;
        list_push_back(first, last, line);
    });
    return first;
}

void release_collected(Objet *lines)
{
    for (Objet *cell = lines; cell; cell = cell->link.next)
        cell->head.item = nullptr;
    obj_free(lines);
}

void scale_times(Objet *tree, uint32_t k)
{
    note_times_changed(tree);
    // (stored + pending) * k = stored * k + pending * k
    if (MergedClockLines *clocks = waiting_clocks_of(tree))
        clocks->pending_shift *= k;
    for_each_line(tree, [k](Objet *line) {
        const int32_t kind = kind_of(line);
        if (kind == KIND_SY) {
            set_unsigned_field(line, 4, unsigned_field(line, 4) * k);
            set_unsigned_field(line, 3, unsigned_field(line, 3) * k);
            set_unsigned_field(line, 5, unsigned_field(line, 5) / k);
            return;
        }
        for (int position : scaled_fields(kind))
            set_unsigned_field(line, position, unsigned_field(line, position) * k);
    });
}

namespace {

void move_origin_back(Objet *sy, uint32_t d)
{
    const auto moved = origin_moved_back(sy_origin(sy), d);
    if (!moved)
        unexpected_end();
    long_field(sy, 2)->link.value = moved->high;
    long_field(sy, 3)->link.value = moved->low;
}

enum class SyLines { Moved, LeftAlone };

// Adds d to the time field of every line of the tree; an SY line has its
// origin moved back by d instead, or is left alone.
void add_to_time_fields(Objet *tree, uint32_t d, SyLines sy_lines)
{
    for_each_line(tree, [d, sy_lines](Objet *line) {
        const int32_t kind = kind_of(line);
        if (kind == KIND_SY) {
            if (sy_lines == SyLines::Moved)
                move_origin_back(line, d);
            return;
        }
        if (const int position = shifted_field(kind))
            set_unsigned_field(line, position, unsigned_field(line, position) + d);
    });
}

} // namespace

void shift_times(Objet *tree, uint32_t d)
{
    if (MergedClockLines *clocks = waiting_clocks_of(tree)) {
        // Every line but an SY line has its time field (the structure passes
        // saw to it), so nothing is lost by writing the shift later.
        for (Objet *cell = clocks->first; cell; cell = cell->link.next)
            move_origin_back(cell->head.item, d);
        clocks->pending_shift += d;
        return;
    }
    note_times_changed(tree);
    add_to_time_fields(tree, d, SyLines::Moved);
}

void store_times_as_merged(Objet *report, const MergedClockLines &clocks)
{
    if (clocks.pending_shift)
        add_to_time_fields(report, 0u - clocks.pending_shift, SyLines::LeftAlone);
}

void settle_pending_shift(Objet *merged, MergedClockLines &clocks)
{
    if (clocks.pending_shift)
        add_to_time_fields(merged, clocks.pending_shift, SyLines::LeftAlone);
    clocks.pending_shift = 0;
}

void copy_unit_label(Objet *source, Objet *targets)
{
    const char *label = text_field(source, 6)->head.text;
    for (Objet *cell = targets; cell; cell = cell->link.next) {
        Objet *target = cell->head.item;
        text_field(target, 6);
        obj_free(line_set_field(target, 6, str_new(label, std::strlen(label))));
    }
}

void align_resolution(Objet *merged, Objet *merged_sy, Objet *report, Objet *report_sy)
{
    Objet *a_line = first_item(merged_sy);
    Objet *b_line = first_item(report_sy);
    const uint32_t a = unsigned_field(a_line, 5);
    const uint32_t b = unsigned_field(b_line, 5);
    if (a == b)
        return;
    if (b < a) {
        if (b == 0)
            unexpected_end();
        scale_times(merged, a / b);
        copy_unit_label(b_line, merged_sy);
    } else {
        if (a == 0)
            unexpected_end();
        scale_times(report, b / a);
        copy_unit_label(a_line, report_sy);
    }
}

bool align_by_clock(Objet *merged, Objet *merged_sy, Objet *report, Objet *report_sy)
{
    Objet *b_line = first_item(report_sy);
    Objet *clock = text_field(b_line, 1);
    for (Objet *cell = merged_sy; cell; cell = cell->link.next)
        if (!obj_equal(text_field(cell->head.item, 1), clock))
            return false;
    first_body_line(merged);
    first_body_line(report);
    const auto d = clock_offset(sy_origin(first_item(merged_sy)), sy_origin(b_line));
    if (!d)
        unexpected_end();
    shift_later_side(merged, report, *d);
    return true;
}

bool align_by_rendezvous(Objet *merged, Objet *report)
{
    const CollectedLines merged_points(collect_body_lines(merged, KIND_RD));
    const CollectedLines new_points(collect_body_lines(report, KIND_RD));
    int32_t sum = 0;
    int32_t count = 0;
    // Matching moves forward only: a rendezvous met again matches the next
    // one of that name on the merged side.
    Objet *from = merged_points.list;
    for (Objet *q = new_points.list; q; q = q->link.next) {
        Objet *name = text_field(q->head.item, 1);
        for (Objet *p = from; p; p = p->link.next) {
            if (!obj_equal(text_field(p->head.item, 1), name))
                continue;
            ++count;
            const uint32_t gap =
                wrapping_difference(long_field(p->head.item, 4)->link.value, long_field(q->head.item, 4)->link.value);
            sum = static_cast<int32_t>(static_cast<uint32_t>(sum) +
                                       static_cast<uint32_t>(static_cast<int32_t>(gap) / 28));
            from = p->link.next;
            break;
        }
    }
    if (count == 0)
        return false;
    shift_earlier_side(merged, report, sum / count);
    return true;
}

void align_by_first_event(Objet *merged, Objet *report)
{
    const int32_t a =
        static_cast<int32_t>(static_cast<uint32_t>(event_time(first_body_line(merged))) + pending_shift_of(merged));
    const int32_t b = event_time(first_body_line(report));
    shift_earlier_side(merged, report, static_cast<int32_t>(wrapping_difference(a, b)));
}

Objet *first_body_line(Objet *tree)
{
    Objet *cell = body_cell(tree);
    if (!cell)
        unexpected_end();
    while (cell->head.item && cell->head.item->kind == OBJ_LIST)
        cell = cell->head.item;
    return cell;
}

int32_t event_time(Objet *line)
{
    if (!is_line(line))
        unexpected_end();
    switch (kind_of(line)) {
    case KIND_XI:
        return long_field(line, 1)->link.value;
    case KIND_DS:
        return long_field(line, 5)->link.value;
    default:
        unexpected_end();
    }
}

namespace {

// The report's SY lines in tree order, and whether they all lie in its
// first part.
struct ReportClockLines {
    Objet *lines;
    bool all_in_first_part;
};

ReportClockLines collect_report_clock_lines(Objet *report)
{
    Objet *code = keyword_string(KIND_SY);
    if (!report || report->kind != OBJ_LIST)
        return {collect_lines(report, code), true};
    Objet first_part = *report; // the first top-level cell without what follows it
    first_part.link.next = nullptr;
    Objet *lines = collect_lines(&first_part, code);
    Objet *elsewhere = collect_lines(report->link.next, code);
    if (!lines)
        return {elsewhere, !elsewhere};
    Objet *last = lines;
    while (last->link.next)
        last = last->link.next;
    last->link.next = elsewhere;
    return {lines, !elsewhere};
}

// Hands the report's SY lines over to the merged side's record, or gives the
// record up when they do not all lie in the report's first part.
void remember_clock_lines(MergedClockLines &clocks, CollectedLines &report_sy, bool all_in_first_part)
{
    if (!clocks.known)
        return;
    if (!all_in_first_part) {
        release_collected(clocks.first);
        clocks.first = clocks.last = nullptr;
        clocks.known = false;
        return;
    }
    Objet *taken = report_sy.list;
    report_sy.list = nullptr;
    if (!taken)
        return;
    if (clocks.last)
        clocks.last->link.next = taken;
    else
        clocks.first = taken;
    clocks.last = taken;
    while (clocks.last->link.next)
        clocks.last = clocks.last->link.next;
}

} // namespace

bool synchronise(Objet *merged, Objet *report, MergedClockLines *clocks)
{
    const ReportClockLines found = collect_report_clock_lines(report);
    CollectedLines report_sy(found.lines);
    watched_tree = merged;
    watched_tree_changed = false;
    // Shifts wait only while the merged SY lines are known (they are moved at once).
    if (clocks && !clocks->known && clocks->pending_shift) {
        settle_pending_shift(merged, *clocks);
        watched_tree_changed = true;
    }
    lazy_clocks = clocks && clocks->known ? clocks : nullptr;
    if (merged) {
        const bool remembered = clocks && clocks->known;
        const CollectedLines searched(remembered ? nullptr : collect_lines(merged, keyword_string(KIND_SY)));
        Objet *merged_sy = remembered ? clocks->first : searched.list;
        if (!merged_sy || !report_sy.list)
            unexpected_end();
        align_resolution(merged, merged_sy, report, report_sy.list);
        if (!align_by_clock(merged, merged_sy, report, report_sy.list) && !align_by_rendezvous(merged, report))
            align_by_first_event(merged, report);
    }
    if (clocks)
        remember_clock_lines(*clocks, report_sy, found.all_in_first_part);
    watched_tree = nullptr;
    lazy_clocks = nullptr;
    return watched_tree_changed;
}
