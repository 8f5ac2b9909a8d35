// Merging of report trees: each ROD file's tree is folded into the report
// built from the files before it. Everything kept is moved, never copied; what
// is not taken stays in the file's tree, which the merge frees.
//
// Merged report: three top-level cells
//   heads list: item = the chain of every file's first-part cell, in file order
//   merged body: default mode, its item is E, whose item is the merged list of
//                runs and whose next is the first file's rest of the body;
//                with -TIME, its item is the merged chain of body items
//   tails list: item = the chain of every file's last-part cell, in file order
//
// Structural faults in what the merge reads end the run with UNEXPTEOF; a
// merged run with neither an XI nor a DS group is an internal fault
// (ERRINTERN).
#pragma once

#include "objet.h"

#include <cstdint>
#include <memory>

// What one merge over many files keeps from one file to the next, so that
// no step walks what earlier files brought: the time-order records of every
// merged group it inserted into and of the -TIME body, which part lines each
// such group holds, the index of every merged run list, and the tail of
// every merged line that gathers origin pairs. It is cleared with the first
// file. Only the merge may change the merged report while a memo is in use:
// after anything else rewrote it (the synchronisation scaling its times or
// shifting them at once), call merge_memo_forget.
//
// The merged report's time fields may hold their real values minus
// `time_offset` (shifts not yet written into them, see MergedClockLines);
// the merge then compares real values, and the file's lines must come in
// the same form.
struct MergeMemo {
    struct Indexes;
    std::unique_ptr<Indexes> indexes;
    uint32_t time_offset = 0;

    MergeMemo();
    MergeMemo(const MergeMemo &) = delete;
    MergeMemo &operator=(const MergeMemo &) = delete;
    ~MergeMemo();
};
void merge_memo_forget(MergeMemo &memo);

// Default merge: matches scenario and instance runs with the merged ones and
// joins them part by part. `merged` is null for the first file. Takes
// ownership of `report`; returns the merged report.
Objet *merge_report(Objet *merged, Objet *report, MergeMemo *memo = nullptr);
// -TIME merge: interleaves the body items of the file with the merged ones
// in time order.
Objet *merge_report_by_time(Objet *merged, Objet *report, MergeMemo *memo = nullptr);

// The merge searches the merged runs through an index; with `reference`
// set it walks them from the start instead, as the straightforward
// algorithm does (the equivalence tests compare both).
void merge_use_reference(bool reference);
bool merge_uses_reference();

// Merges the run list `new_runs` into the run list held by `holder` (its
// item; null for an empty list), scenario runs by identity, instance runs by
// file contribution, inner runs of joined scenarios likewise.
void merge_body(Objet *holder, Objet *new_runs);
// Inserts every item of the chain `new_chain` into `merged_chain` in time
// order, clearing the cells it takes them from; returns the merged chain.
Objet *merge_body_by_time(Objet *merged_chain, Objet *new_chain);
// Moves the inner items of group `from` (between its opening and closing
// lines) into group `into` in time order; `into` keeps its opening line first
// and its closing line last.
void insert_group_contents(Objet *into, Objet *from);
