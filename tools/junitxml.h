// The scenarios of an RDD file as JUnit XML, the one format the CI servers
// show test results from: a suite per test script, a case per merged
// scenario, failures and skipped cases from the merged verdicts.
#pragma once

#include "rddread.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class JunitOutcome { passed, failed, inconclusive, unknown };

struct JunitCase {
    std::string name;          // DS field 1
    std::string description;   // DS field 2
    uint64_t line = 0;         // of its DS line in the RDD file
    JunitOutcome outcome = JunitOutcome::passed;
    std::string verdict_text;  // FS field 3 as written (quotes off)
    double seconds = 0;
    std::vector<uint32_t> files; // the files it was joined from, in merge order
};

struct JunitSuite {
    std::string name;            // the test script
    std::vector<uint32_t> files; // file numbers of its ROD files
    std::vector<JunitCase> cases;
};

struct JunitReport {
    RddHeader header;
    std::vector<std::optional<RddFile>> files; // by file number
    std::vector<JunitSuite> suites;
    RddDiagnostics diagnostics;
};

// Reads the RDD file at `path`; false with `error` (one line naming the
// file) when it cannot be read or is not an RDD file.
bool junit_collect(const std::string &path, JunitReport &report, std::string &error);
// The same from text already in memory; `name` stands for the file in errors.
bool junit_collect_text(std::string_view text, const std::string &name, JunitReport &report, std::string &error);

// The JUnit XML document; `rdd_name` is how failures name the RDD file.
std::string junit_xml(const JunitReport &report, const std::string &rdd_name);

// Text fit for XML character data or an attribute value: markup characters
// escaped, bytes that are not UTF-8 and characters XML forbids replaced by
// U+FFFD.
std::string xml_text(std::string_view text);
// "Mon Dec 07 00:25:09 2026" as "2026-12-07T00:25:09"; empty when the stamp
// does not read so.
std::string iso_timestamp(std::string_view stamp);
// Seconds as XML wants them: fixed notation, no trailing zeros ("0.3", "12").
std::string seconds_text(double seconds);
