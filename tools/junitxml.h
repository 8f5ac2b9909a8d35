// The scenarios of an RDD file as JUnit XML, the one format the CI servers
// show test results from: a suite per test script, a case per merged
// scenario, each case that did not pass saying why (which runs failed, on
// what values, with the lines that show it) and linking to the page.
//
// The RDD file is read once through to note every scenario, then the
// blocks of the cases that are shown in detail are read again where they
// lie, so that memory does not grow with the report. The lines quoted in
// the document share one budget, so that it stays within the size CI
// servers take however many cases fail.
#pragma once

#include "rddread.h"
#include "runcompare.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

enum class JunitOutcome : uint8_t { passed, failed, inconclusive, error };

// One merged scenario as noted on the first read: its name and key (kept in
// the report's store) and where its block lies, to read it again.
struct JunitCase {
    uint64_t text_at = 0;       // its name, then its key, in the store
    uint32_t name_size = 0, key_size = 0;
    uint64_t line = 0;          // of its DS line in the RDD file
    uint64_t block_at = 0, block_end = 0; // its block's bytes in the RDD text
    double seconds = 0;
    uint32_t suite = 0;         // the first file it was joined from, until the suites are made
    JunitOutcome outcome = JunitOutcome::passed;
    bool closed = false;        // an FS line closed it
};

struct JunitSuite {
    std::string name;            // the test script
    std::vector<uint32_t> files; // file numbers of its ROD files
    std::vector<uint32_t> cases; // indexes into the report's cases
};

struct JunitReport {
    RddHeader header;
    std::vector<RddFile> files; // in CF line order; RunSources maps numbers to them
    std::vector<JunitSuite> suites;
    std::vector<JunitCase> cases;
    std::string store;          // the cases' names and keys
    std::unordered_map<uint32_t, std::string> shown_names; // cases whose name repeats in their suite
    RddDiagnostics diagnostics;
    std::string_view text;      // the RDD text, read again for details
    std::unique_ptr<RddMappedFile> mapped;
    std::unique_ptr<RodChecks> rods;
    std::string rdd_directory;  // where the ROD files are looked for first
    RunSources sources;

    std::string_view name_of(const JunitCase &c) const { return std::string_view(store).substr(c.text_at, c.name_size); }
    std::string_view key_of(const JunitCase &c) const
    {
        return std::string_view(store).substr(c.text_at + c.name_size, c.key_size);
    }
    // The name the case is given in its suite.
    std::string shown_name(uint32_t index) const;
};

// Reads the RDD file at `path`; false with `error` (one line naming the
// file) when it cannot be read or is not an RDD file.
bool junit_collect(const std::string &path, JunitReport &report, std::string &error);
// The same from text that stays in memory while the report is used; `name`
// stands for the file in errors, ROD files are looked for in `rdd_directory`.
bool junit_collect_text(std::string_view text, const std::string &name, const std::string &rdd_directory,
                        JunitReport &report, std::string &error);

struct JunitOptions {
    std::string rdd_name;  // how texts name the RDD file
    std::string page;      // the page as links and attachments give it
    bool all_output = false; // passed cases get their output too
    uint64_t document_limit = 30'000'000; // GitLab refuses report files above 30 MB
    std::size_t quote_limit = std::size_t(64) << 10; // quoted lines per element
};

// Writes the document in pieces to `sink`; false when the sink refuses one.
bool junit_write(JunitReport &report, const JunitOptions &options,
                 const std::function<bool(std::string_view)> &sink);
// The whole document as one string (small reports, tests).
std::string junit_xml(JunitReport &report, const JunitOptions &options);

// Text fit for XML character data or an attribute value: markup characters
// escaped, bytes that are not UTF-8 and characters XML forbids replaced by
// U+FFFD. Element content keeps quotes, tabs and newlines as they are.
std::string xml_text(std::string_view text);
std::string xml_content(std::string_view text);
// "Mon Dec 07 00:25:09 2026" as "2026-12-07T00:25:09"; empty when the stamp
// does not read so.
std::string iso_timestamp(std::string_view stamp);
// Seconds as XML wants them: fixed notation, no trailing zeros ("0.3", "12").
std::string seconds_text(double seconds);
