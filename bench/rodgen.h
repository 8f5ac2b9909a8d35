// Input sets for the benchmark and the equivalence tests: one test campaign
// seen by K RIO files of one test script, with the ROD text each RIO file
// carries for the stand-in post-processor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class GenScenario : char {
    SameClock = 'a',     // one clock, origins close together, the first file earliest
    MixedClocks = 'b',   // three clocks, aligned by rendezvous
    EarlierOrigin = 'c', // each new file starts before the merged report
    HugeFile = 'd',      // one file of the given size
    TimeMode = 'e',      // as SameClock, merged with -TIME
};

struct GenParams {
    GenScenario scenario = GenScenario::SameClock;
    int files = 2;                     // RIO files
    std::size_t bytes_per_file = 4096; // ROD text per file, roughly
    uint32_t seed = 1;
    // Order keys at random and scenario names taken in a different cycle by
    // each file (repeated identities, unsorted keys): for the equivalence tests.
    bool scrambled = false;
    // Added to every campaign time (wrapping): close below 2^32, the times
    // of the merged report wrap past it when files are aligned.
    uint32_t time_base = 0;
    // Every line kind the engine reads and every structure it builds: the
    // members of the RE run, CF lines, deleted codes, selected and dropped
    // DA and PP blocks, comments, nested DB and DS blocks, runs without XI
    // or DS group, several time units and clocks (some files sharing a
    // clock, some aligned by rendezvous, some by their first event) and
    // repeated IE names. With scenario e the body stays fit for -TIME (no
    // line without a time on its top level); the scenario letter otherwise
    // only picks the time base as usual.
    bool variety = false;
    // Damage applied to each file's text after it is made: so many lines
    // deleted, repeated, swapped, recoded, cut or given odd fields.
    int mutations = 0;
};

// Parses "a".."e"; false for anything else.
bool gen_scenario_from_text(const std::string &text, GenScenario &scenario);

std::string gen_tdc_name();
std::string gen_rio_name(int file_index);
std::string gen_tdc_text();
// The ROD text of file `file_index` (0-based): header line, RE block, runs,
// last element.
std::string gen_rod_text(const GenParams &params, int file_index);
// The RIO file: its first line, then the ROD text.
std::string gen_rio_text(const GenParams &params, int file_index);
