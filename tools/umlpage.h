// The page that the stand-in UML tool makes from an RDD file: one
// self-contained HTML file whose script (page.js) renders the report from a
// JSON data block that this module writes (the fields are described in
// page/data-format.md).
//
// The RDD file is read once. What a reader needs to see why scenarios
// failed comes first: the runs' own verdicts from their ROD files, and each
// scenario's runs compared step by step. Below DETAIL_LIMIT bytes of RDD
// every scenario is given in full; above it the page keeps one budget for
// detail and spends it on the scenarios that did not pass, giving the rest as
// RDD line ranges.
#pragma once

#include "rddread.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct PageLimits {
    uint64_t detail_limit = uint64_t(64) << 20;   // RDD bytes below which every scenario is detailed
    std::size_t detail_budget = std::size_t(10) << 20; // JSON bytes of detail above that
    std::size_t mark_budget = 150000;   // exact timeline marks in the whole page
    std::size_t runs_shown = 8;         // runs that did not pass given per scenario in budget mode
    std::size_t items = 100000;         // items of a -TIME report
};

struct PageData {
    std::string json; // the data block
    std::string plan; // the test plan, for the page's title
};

// Reads `rdd_path` into the data block; false with `error` when the file
// cannot be read. `display_name` is the RDD file's name on the page,
// `page_name` the page's own. ROD files are looked for relative to the RDD
// file's directory, then in their absolute directories.
bool page_data(const std::string &rdd_path, const std::string &display_name, const std::string &page_name,
               const PageLimits &limits, RddDiagnostics &diagnostics, PageData &data, std::string &error);

// The same for RDD text in memory; ROD files are looked for relative to
// `rdd_directory`.
PageData page_data_of_text(std::string_view text, const std::string &rdd_directory, const std::string &display_name,
                           const std::string &page_name, const PageLimits &limits, RddDiagnostics &diagnostics);

// The page is its head, the data block and its tail, written one after the
// other (a large report's block is not copied again).
std::string page_head(std::string_view plan, std::string_view rdd_name);
std::string page_tail();
