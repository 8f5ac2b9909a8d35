// Merging of report trees: each ROD file's tree is folded into the report
// built from the files before it. Everything kept is moved, never copied;
// what is not taken stays in the file's tree and is not written.
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

#include <cstdint>
#include <memory>

#include "rodmodel.h"
#include "rodsync.h"
#include "rodtri.h"

// What one merge over many files keeps from one file to the next, so that
// no step walks what earlier files brought: which XI, DS, DT and XE lines
// each merged group holds, the time-order records of every merged group
// that took items and of the -TIME body, an index of every merged run list
// (its runs in order, scenario identities, first run lacking the file,
// first scenario with a greater order key), and the ends of the heads and
// tails lists. Only the merge may change the merged report's structure
// while it is kept.
struct MergeMemo {
    struct Indexes;
    std::unique_ptr<Indexes> indexes;
    MergeMemo();
    MergeMemo(const MergeMemo &) = delete;
    MergeMemo &operator=(const MergeMemo &) = delete;
    ~MergeMemo();
};

// Default merge: matches the file's scenario and instance runs with the
// merged ones and joins them part by part. `merged` is 0 for the first
// file; returns the merged report. The merged report's time fields hold
// their real values minus `frame.offset` (see TimeBase); the file's lines
// must come in that form. `points`, when given, is told every item linked
// into the merged body.
CellId merge_report(MergeMemo &memo, CellId merged, CellId report, const TimeFrame &frame, RendezvousOrder *points);
// -TIME merge: interleaves the body items of the file with the merged ones
// in time order.
CellId merge_report_by_time(MergeMemo &memo, CellId merged, CellId report, const TimeFrame &frame,
                            RendezvousOrder *points);
