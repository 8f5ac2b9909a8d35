// Synchronisation of time bases: before a file's tree is merged, its times
// and those of the merged report are brought to one time unit (the finer of
// the two) and one origin, using the SY lines (clock description) of both
// sides, else the RD lines (rendezvous) of the bodies, else the first event
// of each body.
//
// Numbers are the OBJ_LONG fields of the lines, computed as 32-bit values
// that wrap. Every fault (a side without SY line, a unit or period of 0
// where it would be divided by or looped on, a missing field, no event to
// align) ends the run with UNEXPTEOF.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "objet.h"

// A new list whose items are the lines of the tree (depth first, items
// before next, empty cells passed over) whose code equals `code`, a keyword
// string, on named lines; null when none. The lines are not copied: free the
// list with release_collected.
Objet *collect_lines(Objet *tree, Objet *code);
// Frees a list made by collect_lines without the lines it points to.
void release_collected(Objet *lines);

// The merged report's SY lines in tree order, kept from file to file so that
// the whole merged report is not searched for them each time. It holds while
// every file's SY lines lie in its first part, which the merge keeps in file
// order at the head of the merged report; after a file with SY lines
// elsewhere the merged report is searched again.
//
// While the record holds, shifts of the merged report are not written into
// its time fields at once (a walk of the whole report for every file):
// they add up in `pending_shift`, and the real value of a time field of the
// merged report (the field shift_times moves; SY lines excepted, which are
// always moved at once) is its stored value plus pending_shift, wrapping.
// Lines join the merged report in that stored form (store_times_as_merged)
// and settle_pending_shift writes the sum into every time field at the end.
struct MergedClockLines {
    Objet *first = nullptr; // a collected list (see collect_lines)
    Objet *last = nullptr;
    bool known = true;
    uint32_t pending_shift = 0;

    MergedClockLines() = default;
    MergedClockLines(const MergedClockLines &) = delete;
    MergedClockLines &operator=(const MergedClockLines &) = delete;
    ~MergedClockLines() { release_collected(first); }
};

// Aligns the two trees; does nothing to them when merged is null (first
// file). With `clocks`, one record lives across the whole merge: it must
// start empty with the first file and see every file before it is merged.
// True when the stored times of the merged report changed (a scaling, or a
// shift written at once); a shift added to clocks->pending_shift is not such
// a change.
bool synchronise(Objet *merged, Objet *report, MergedClockLines *clocks = nullptr);
// Subtracts the pending shift from the time fields of a report about to be
// merged (SY lines excepted), so that they are in the merged report's form.
void store_times_as_merged(Objet *report, const MergedClockLines &clocks);
// Writes the pending shift into the time fields of the merged report.
void settle_pending_shift(Objet *merged, MergedClockLines &clocks);

// Brings both sides to the finer time unit: the coarser side is multiplied
// by the truncated ratio of the units and takes the other side's label.
void align_resolution(Objet *merged, Objet *merged_sy, Objet *report, Objet *report_sy);
// Aligns the origins when every SY line of merged names the clock of the
// report's first SY line; false when it does not apply.
bool align_by_clock(Objet *merged, Objet *merged_sy, Objet *report, Objet *report_sy);
// Aligns on the RD lines of the two bodies that share a name; false when
// none match.
bool align_by_rendezvous(Objet *merged, Objet *report);
// Aligns the first XI or DS line of each body.
void align_by_first_event(Objet *merged, Objet *report);

// Adds d (d > 0) to every time of the tree and moves its SY origins back by d.
void shift_times(Objet *tree, uint32_t d);
// Multiplies the times of the tree by k (k > 0) and divides its SY time unit by k.
void scale_times(Objet *tree, uint32_t k);
// Field 6 of every SY line of `targets` becomes a copy of the source's field 6.
void copy_unit_label(Objet *source, Objet *targets);

// The line reached from the tree's body (second top-level cell) by always
// taking the first item; the body cell itself when its item is empty.
Objet *first_body_line(Objet *tree);
// Field 1 of an XI line, field 5 of a DS line.
int32_t event_time(Objet *line);

// The field positions that scale_times multiplies, by line kind (SY, whose
// fields are handled apart, and kinds without times give an empty span).
std::span<const int> scaled_fields(int32_t kind);
// The field position that shift_times moves, by line kind; 0 for none.
int shifted_field(int32_t kind);

// An SY origin: high * period + low, in the report's units.
struct SyOrigin {
    int32_t high;   // field 2
    int32_t low;    // field 3
    int32_t period; // field 4
};

// Origin of `a` minus origin of `b` (both on one clock):
// (a.high - b.high) * (a.period / b.period) * b.period + (a.low - b.low),
// the division unsigned, the rest wrapping. Null when either period is 0.
std::optional<int32_t> clock_offset(SyOrigin a, SyOrigin b);

// The origin moved back by d: while low < d (unsigned), low += period and
// high -= 1; then low -= d (all wrapping). Computed in closed form; null
// when that loop would never end.
std::optional<SyOrigin> origin_moved_back(SyOrigin origin, uint32_t d);

// Smallest n >= 0 with (step * n) mod modulus in [low, high], for
// 0 <= low <= high < modulus <= 2^32 and step < modulus; null when none.
std::optional<uint64_t> first_multiple_in_range(uint64_t step, uint64_t modulus, uint64_t low, uint64_t high);
