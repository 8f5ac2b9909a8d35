#include "rodgen.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <string_view>
#include <vector>

namespace {

constexpr const char *SCRIPT = "campaign";

// Small deterministic generator: the same params always gives the same bytes.
struct Random {
    uint64_t state;
    uint32_t next()
    {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state >> 33);
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

// Writes lines with their two trailing internal fields (line number, 0).
struct RodWriter {
    std::string text;
    uint32_t line_number = 1;

    void raw(std::string_view line)
    {
        text += line;
        text += '\n';
        ++line_number;
    }
    void begin(std::string_view code) { text += code; }
    void field(std::string_view value)
    {
        text += " \"";
        text += value;
        text += '"';
    }
    // Written as the signed 32-bit number the engine reads back.
    void field(uint32_t value) { field(std::to_string(static_cast<int32_t>(value))); }
    void end_internal()
    {
        field(line_number);
        field("0");
        end();
    }
    // Closing lines of runs carry the line number alone.
    void end_numbered()
    {
        field(line_number);
        end();
    }
    void end()
    {
        text += '\n';
        ++line_number;
    }
};

struct FileShape {
    std::string clock;
    uint32_t origin;   // SY field 3
    uint32_t skew;     // local time = campaign time + skew
};

FileShape shape_of(const GenParams &params, int file)
{
    switch (params.scenario) {
    case GenScenario::MixedClocks: {
        static const char *const clocks[] = {"CAR_CLOCK", "SHAFT_CLOCK", "PANEL_CLOCK"};
        return {clocks[file % 3], 0, static_cast<uint32_t>((file % 3) * 500)};
    }
    case GenScenario::EarlierOrigin:
        return {"BENCH_CLOCK", static_cast<uint32_t>(2000000 - 10 * file), 0};
    default:
        return {"BENCH_CLOCK", static_cast<uint32_t>(10 * (file % 7)), 0};
    }
}

// One inner item of a scenario or instance block: a line or a small block of
// the kinds the engine structures there, at local time t.
void inner_item(RodWriter &w, Random &random, uint32_t t, uint32_t unique)
{
    switch (random.below(14)) {
    case 0:
        w.begin("EV"), w.field("SIGNAL_" + std::to_string(unique % 17)), w.field("CTRL"), w.field(random.below(100)),
            w.field("in"), w.field(t), w.end_internal();
        w.begin("CH"), w.field("value"), w.field(random.below(1000)), w.end_internal();
        break;
    case 1:
        w.begin("DW"), w.field("WAIT"), w.field("CTRL"), w.field(t), w.field(random.below(5) + 1), w.field(t),
            w.end_internal();
        w.begin("DX"), w.field("step"), w.end_internal();
        w.begin("CH"), w.field("ready"), w.field("TRUE"), w.end_internal();
        break;
    case 2:
        w.begin("CO"), w.field("operator note " + std::to_string(unique)), w.end_internal();
        w.begin("SN"), w.field("BUTTON"), w.field("PANEL"), w.field("open"), w.field("2"), w.field("0"), w.field(t),
            w.end_internal();
        w.begin("CH"), w.field("state"), w.field("PRESSED"), w.end_internal();
        break;
    case 3:
        w.begin("XX"), w.field("free text " + std::to_string(unique)), w.end_internal();
        break;
    case 4:
        w.begin("ER"), w.field("error " + std::to_string(unique % 5)), w.end_internal();
        break;
    case 5:
        w.begin("EX"), w.field("exception"), w.end_internal();
        break;
    case 6:
        w.begin("PP"), w.field("PARAMS"), w.end_internal();
        w.begin("PQ"), w.field("speed"), w.end_internal();
        w.begin("PQ"), w.field("load"), w.end_internal();
        break;
    case 7:
        w.begin("DA"), w.field("ARRAY"), w.field("CTRL"), w.field("0"), w.field("2"), w.field(t), w.end_internal();
        w.begin("PA"), w.field("first"), w.end_internal();
        w.begin("PA"), w.field("second"), w.end_internal();
        break;
    case 8:
        w.begin("RD"), w.field("LOCAL_MARK"), w.field("CTRL"), w.field("0"), w.field("1"), w.field(t),
            w.end_internal();
        break;
    case 9:
        w.begin("FT"), w.field("3"), w.field(t), w.end_internal();
        break;
    case 10:
        w.begin("TN"), w.field("4"), w.field(t), w.end_internal();
        break;
    case 11:
        w.begin("TF"), w.field("5"), w.field(t), w.end_internal();
        break;
    case 12:
        w.begin("FB"), w.field("6"), w.field(t), w.end_internal();
        break;
    default:
        if (random.below(2)) {
            w.begin("IC"), w.field("a"), w.field("b"), w.field("c"), w.field("d"), w.field("7"), w.field("f"),
                w.field(t), w.end_internal();
        } else {
            w.begin("ID"), w.field("a"), w.field("b"), w.field("c"), w.field("8"), w.field(t), w.end_internal();
        }
        break;
    }
}

// Inner items from local time t on; returns the time after the last one.
uint32_t inner_items(RodWriter &w, Random &random, uint32_t t, int count, uint32_t &unique)
{
    for (int k = 0; k < count; ++k) {
        t += 1 + random.below(3);
        inner_item(w, random, t, unique++);
    }
    return t + 1;
}

void rendezvous(RodWriter &w, int scenario, uint32_t local_time, uint32_t campaign_time)
{
    w.begin("RD"), w.field("RDV_" + std::to_string(scenario)), w.field("CTRL"), w.field("0"),
        w.field(campaign_time * 28), w.field(local_time), w.end_internal();
}

} // namespace

bool gen_scenario_from_text(const std::string &text, GenScenario &scenario)
{
    if (text.size() != 1 || text[0] < 'a' || text[0] > 'e')
        return false;
    scenario = static_cast<GenScenario>(text[0]);
    return true;
}

std::string gen_tdc_name() { return std::string(SCRIPT) + ".tdc"; }

std::string gen_rio_name(int file_index) { return std::string(SCRIPT) + "_" + std::to_string(file_index + 1) + ".rio"; }

std::string gen_tdc_text()
{
    return std::string("KORVA Probeworks \"v2.6a\" \"BENCH\" \"TDC file\" \"") + SCRIPT +
           "\" \"Tue Feb 24 15:02:11 2026\"\n"
           "CF \"BENCH\" \"campaign.tds\" \"3.1\" \"CABIN_BENCH\" \"Mon Feb 23 17:40:05 2026\"\n"
           "TS \"campaign\" \"Long test campaign\"\n"
           "IN \"CTRL\" \"controller\"\n"
           "IN \"PANEL\" \"panel\"\n";
}

namespace {

std::string plain_rod_text(const GenParams &params, int file_index)
{
    Random random{params.seed * 0x9E3779B97F4A7C15ULL + static_cast<uint64_t>(file_index) * 7919 + 1};
    const FileShape shape = shape_of(params, file_index);
    RodWriter w;
    w.text.reserve(params.bytes_per_file + 4096);
    w.raw(std::string("KORVA Probeworks \"v2.6a\" \"BENCH\" \"ROD file\" \"") + SCRIPT +
          "\" \"Fri Feb 27 09:12:44 2026\"");
    w.raw("RE \"campaign\" \"Long test campaign\" \"campaign.tds\" \"3.1\"");
    w.begin("SY"), w.field(shape.clock), w.field("0"), w.field(shape.origin), w.field("1000000"), w.field("1000"),
        w.field("ms"), w.end();
    w.raw("IE \"0\" \"CTRL\" \"controller\"");
    w.raw("IE \"0\" \"PANEL\" \"panel\"");

    // Scenario j takes campaign times [j * 400, j * 400 + 400); local times add the file's skew.
    uint32_t unique = 0;
    const std::size_t body_bytes = params.bytes_per_file > 600 ? params.bytes_per_file - 600 : 0;
    for (int j = 0; w.text.size() < body_bytes || j < 2; ++j) {
        const uint32_t campaign = static_cast<uint32_t>(j) * 400 + 100 + params.time_base;
        uint32_t t = campaign + shape.skew + random.below(20);
        const bool instance_only = j % 11 == 5;
        w.begin("XI"), w.field(t), w.end_internal();
        t = inner_items(w, random, t, 2 + static_cast<int>(random.below(4)), unique);
        w.begin("YI"), w.field(t), w.end_numbered();
        if (!instance_only) {
            // Most scenarios are shared by all files (DS fields 1 and 4); a few are this file's own.
            const bool own = j % 7 == 3;
            const int shared = params.scrambled ? (j + file_index * 5) % 17 : j;
            const std::string name =
                own ? "SC_F" + std::to_string(file_index) + "_" + std::to_string(j) : "SC_" + std::to_string(shared);
            const uint32_t order_key = params.scrambled ? random.below(30) : static_cast<uint32_t>(j);
            t += 2;
            w.begin("DS"), w.field(name), w.field("scenario " + std::to_string(j)), w.field("campaign.tds"),
                w.field(own ? "2" : "1"), w.field(t), w.field("300"), w.field(order_key), w.end();
            const uint32_t start = t;
            t = inner_items(w, random, t, 6 + static_cast<int>(random.below(12)), unique);
            if (params.scenario == GenScenario::MixedClocks)
                rendezvous(w, j, t, campaign + (t - start)), t += 1;
            t = inner_items(w, random, t, 2 + static_cast<int>(random.below(6)), unique);
            w.begin("FS"), w.field(name), w.field(t), w.field(random.below(40) == 0 ? "1" : "0"), w.field("passed"),
                w.end_numbered();
        }
        if (j % 3 == 2) {
            t += 2;
            w.begin("DT"), w.field(t), w.end_internal();
            t = inner_items(w, random, t, 2 + static_cast<int>(random.below(3)), unique);
            w.begin("YT"), w.field(t), w.end_numbered();
        } else if (j % 13 == 12) {
            t += 2;
            w.begin("XE"), w.field(t), w.end_internal();
            t = inner_items(w, random, t, 2, unique);
            w.begin("FE"), w.field(t), w.end_numbered();
        }
    }
    // DB blocks are nested on the top level only: a trace dump follows the runs.
    w.raw("DB \"TRACE\" \"dump\"");
    w.begin("FT"), w.field("2"), w.field(unique), w.end_internal();
    w.raw("BF \"TRACE\" \"end\"");
    w.raw("DB \"SUMMARY\" \"campaign\"");
    w.raw("BC \"scenarios\" \"many\"");
    w.raw("BF \"SUMMARY\" \"end\"");
    return w.text;
}

// How file f of a varied set keeps time: its clock, unit and whether it
// carries rendezvous lines. Files 0 to 2 share a clock and unit; later ones
// mix units (rescaled, some by a ratio that is no whole number), other
// clocks with rendezvous, and a clock without any (first event alignment).
struct VariedClock {
    std::string name;
    uint32_t unit;
    std::string label;
    uint32_t origin;
    bool rendezvous;
};

VariedClock varied_clock(int file)
{
    static const VariedClock clocks[] = {
        {"CLOCK_A", 1000, "ms", 40, true},   {"CLOCK_A", 1000, "ms", 10, true},  {"CLOCK_A", 1000, "ms", 70, true},
        {"CLOCK_B", 1000, "ms", 0, true},    {"CLOCK_A", 10, "cs", 20, true},    {"CLOCK_C", 1000, "ms", 5, false},
        {"CLOCK_A", 15, "u15", 30, true},    {"CLOCK_D", 100, "ds", 0, true},    {"CLOCK_A", 1000, "ms", 0, true},
    };
    return clocks[file % std::size(clocks)];
}

// Lines of the varied files: a line is its code and fields, written with
// the two internal fields (line number, 0) when `internal`.
struct VariedWriter {
    RodWriter &w;
    Random &random;

    void line(std::string_view code, std::initializer_list<std::string> fields, bool internal = true)
    {
        w.begin(code);
        for (const std::string &field : fields)
            w.field(field);
        if (internal)
            w.end_internal();
        else
            w.end();
    }
    std::string number(uint32_t value) { return std::to_string(static_cast<int32_t>(value)); }
    // A first field that selects its DA or PP block, or not.
    std::string selection() { return random.below(3) ? "1" : "0"; }
};

// One inner item of a varied scenario at local time t. Items without a time
// (the last five kinds) come only where `untimed` allows: the merge joins
// a later file's blocks item by item in time order, and ends the run on an
// item without a time, as it does for a -TIME body.
void varied_inner_item(VariedWriter &v, uint32_t t, uint32_t unique, bool untimed)
{
    RodWriter &w = v.w;
    const std::string now = v.number(t);
    switch (v.random.below(untimed ? 16 : 11)) {
    case 0: // selected or dropped DA block, its PA lines selecting it or not
        v.line("DA", {v.selection(), "CTRL", "0", "3", now});
        v.line("PA", {v.selection(), "first"});
        v.line("PA", {"0", "second"});
        break;
    case 1:
        v.line("PP", {v.selection(), "PARAMS"});
        v.line("PQ", {v.selection(), "speed"});
        break;
    case 2: // comments before a DW run, its DX, CH and EV lines
        v.line("CO", {"note " + std::to_string(unique)});
        v.line("CO", {"more"});
        v.line("DW", {"WAIT", "CTRL", now, v.number(v.random.below(9) + 1), now});
        v.line("DX", {"step"});
        v.line("CH", {"ready", "TRUE"});
        v.line("EV", {"SIG", "CTRL", "1", "in", now});
        v.line("CH", {"v", "2"});
        break;
    case 3: // comments dropped before a line that is no DW or SN
        v.line("CO", {"dropped"});
        v.line("XX", {"free " + std::to_string(unique)});
        break;
    case 4:
        v.line("SN", {"BTN", "PANEL", "open", "2", "0", now});
        v.line("CH", {"state", "ON"});
        break;
    case 5: // deleted codes
        v.line("DP", {"x", now});
        v.line("UN", {"unknown"});
        v.line("PT", {"point"});
        v.line("FP", {"y"});
        w.raw("SE \"skip\"");
        v.line("FT", {"3", now});
        break;
    case 6:
        v.line("RD", {"LOCAL_MARK", "CTRL", "0", v.number(v.random.below(5)), now});
        break;
    case 7:
        v.line("TN", {"4", now});
        v.line("TF", {"5", now});
        break;
    case 8:
        v.line("IC", {"a", "b", "c", "d", "7", "f", now});
        v.line("ID", {"a", "b", "c", "8", now});
        break;
    case 9:
        v.line("ER", {"error " + std::to_string(unique % 3)});
        v.line("EX", {"exception"});
        break;
    case 10:
        v.line("EV", {"SIGNAL_" + std::to_string(unique % 5), "CTRL", "1", "in", now, "extra"});
        v.line("CH", {"value", v.number(v.random.below(100))});
        break;
    case 11: // DB blocks nest on the top level only: inside a block these stay lines
        v.line("DB", {"TRACE", "inner"});
        v.line("FB", {"6", now});
        v.line("BC", {"count", "1"});
        v.line("BF", {"TRACE", "end"});
        break;
    case 12:
        v.line("BC", {"loose", "1"});
        break;
    case 13:
        v.line("CF", {"kept", "after", "the", "first", "XI"});
        break;
    case 14:
        v.line("IE", {"0", "CTRL", "inner"});
        break;
    default:
        v.line("DB", {"EMPTY", "x"});
        v.line("BF", {"EMPTY", "y"});
        break;
    }
}

uint32_t varied_inner_items(VariedWriter &v, uint32_t t, int count, uint32_t &unique, bool untimed)
{
    for (int k = 0; k < count; ++k) {
        t += 1 + v.random.below(3);
        varied_inner_item(v, t, unique++, untimed);
    }
    return t + 1;
}

// A scenario block; with `inner_runs` its body starts with an instance block
// and holds inner scenarios, which the engine regroups and merges as runs.
uint32_t varied_scenario(VariedWriter &v, const std::string &name, uint32_t key, uint32_t t, uint32_t &unique,
                         bool untimed, bool inner_runs, const VariedClock &clock, uint32_t campaign)
{
    v.line("DS", {name, "scenario", "campaign.tds", "1", v.number(t), "300", v.number(key)}, false);
    const uint32_t start = t;
    if (inner_runs) {
        v.line("XI", {v.number(t + 1), "1", "0"});
        t = varied_inner_items(v, t + 1, 2, unique, untimed);
        v.line("YI", {v.number(t), "x"});
        for (int k = 0; k < 2; ++k) {
            t = varied_scenario(v, name + "_IN" + std::to_string(k), k, t + 2, unique, untimed, false, clock,
                                campaign + (t - start));
        }
    }
    t = varied_inner_items(v, t, 2 + static_cast<int>(v.random.below(5)), unique, untimed);
    if (clock.rendezvous) {
        v.line("RD", {"RDV_" + name, "CTRL", "0", v.number((campaign + (t - start)) * 28), v.number(t)});
        t += 1;
    }
    t = varied_inner_items(v, t, 1 + static_cast<int>(v.random.below(3)), unique, untimed);
    static const char *const verdicts[] = {"0", "0", "0", "1", "2", "3"};
    v.line("FS", {name, v.number(t), verdicts[v.random.below(6)], "passed"}, false);
    return t + 1;
}

std::string varied_rod_text(const GenParams &params, int file_index)
{
    Random random{params.seed * 0x9E3779B97F4A7C15ULL + static_cast<uint64_t>(file_index) * 104729 + 7};
    const VariedClock clock = varied_clock(file_index);
    // The first file's blocks become the merged ones, which take the later
    // files' items: only they may hold items without a time, unless the
    // body is a -TIME one.
    const bool untimed = file_index == 0 && params.scenario != GenScenario::TimeMode;
    RodWriter w;
    VariedWriter v{w, random};
    w.raw(std::string("KORVA Probeworks \"v2.6a\" \"BENCH\" \"ROD file\" \"") + SCRIPT +
          "\" \"Fri Feb 27 09:12:44 2026\"");
    v.line("RE", {"campaign", "Varied campaign", "campaign.tds", "3.1"}, false);
    v.line("SC", {"script", "campaign"}, false);
    v.line("IT", {"iteration", "1"}, false);
    v.line("DE", {"description"}, false);
    v.line("PR", {"procedure"}, false);
    v.line("PE", {"period"}, false);
    v.line("RU", {"run", std::to_string(file_index)}, false);
    v.line("SY", {clock.name, "0", v.number(clock.origin), "1000000", v.number(clock.unit), clock.label}, false);
    v.line("PO", {"post"}, false);
    v.line("CF", {"stale", "cf", "line"}, false);
    v.line("IE", {"0", "CTRL", "controller"}, false);
    v.line("IE", {"1", "panel", "PANEL"}, false);
    v.line("IE", {"0", "CTRL", "again"}, false);
    v.line("IE", {"0", "CTRL 2", "renamed"}, false);

    uint32_t unique = 0;
    const std::size_t body_bytes = params.bytes_per_file > 600 ? params.bytes_per_file - 600 : 0;
    for (int j = 0; w.text.size() < body_bytes || j < 3; ++j) {
        const uint32_t campaign = static_cast<uint32_t>(j) * 500 + 100 + params.time_base;
        uint32_t t = campaign + clock.origin + random.below(10);
        const uint32_t shape = random.below(20);
        const bool has_xi = shape != 0;                   // a scenario alone in its run
        const bool has_ds = shape != 1 && shape != 2;     // instance blocks alone
        if (has_xi) {
            v.line("XI", {v.number(t), v.number(random.below(9)), "0"});
            t = varied_inner_items(v, t, 1 + static_cast<int>(random.below(3)), unique, untimed);
            if (j == 1 && untimed)
                v.line("CF", {"body", "cf"});
            v.line("YI", {v.number(t), "y"}, false);
        }
        if (has_ds) {
            const bool own = random.below(6) == 0;
            const std::string name = own ? "OWN_" + std::to_string(file_index) + "_" + std::to_string(j)
                                         : "SC_" + std::to_string(j);
            const uint32_t key = random.below(4) == 0 ? random.below(40) : static_cast<uint32_t>(j);
            // A scenario holds inner scenarios in every file or in none: the
            // merge cannot join inner runs with a scenario that has none.
            const bool inner_runs = j % 6 == 4;
            t = varied_scenario(v, name, key, t + 2, unique, untimed || (own && params.scenario != GenScenario::TimeMode),
                                inner_runs, clock, campaign);
        }
        if (shape % 4 == 1) {
            v.line("DT", {v.number(t + 1)});
            t = varied_inner_items(v, t + 1, 2, unique, untimed);
            v.line("YT", {v.number(t), "z"}, false);
        } else if (shape % 5 == 2) {
            v.line("XE", {v.number(t + 1)});
            t = varied_inner_items(v, t + 1, 1, unique, untimed);
            v.line("FE", {v.number(t), "w"}, false);
        }
    }
    v.line("DB", {"TRACE", "dump"}, false);
    v.line("FT", {"2", v.number(unique)});
    v.line("BF", {"TRACE", "end"}, false);
    v.line("DB", {"SUMMARY", "campaign"}, false);
    v.line("BC", {"scenarios", "many"}, false);
    v.line("BF", {"SUMMARY", "end"}, false);
    return w.text;
}

std::vector<std::string> split_text_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        const std::size_t stop = end == std::string::npos ? text.size() : end;
        lines.push_back(text.substr(at, stop - at));
        at = stop + 1;
    }
    return lines;
}

// Codes a damaged file may carry instead of its own: known, made, deleted,
// unknown, too short, too long and blank-led ones.
const char *const DAMAGED_CODES[] = {"XI", "YI", "DS", "FS", "DT", "YT", "XE", "FE", "DW", "EV", "SN", "CO",
                                     "RE", "DB", "BF", "PP", "DA", "RD", "SY", "IE", "CF", "FQ", "FF", "TP",
                                     "ZQ", "X",  "XIZ", "DSX", " XI", "CH", "SE", "FW"};

std::string damaged_field(Random &random)
{
    static const char *const fields[] = {"\"??\"", "\"\"", "\"99999999999\"", "\"-5\"", "\" 7\"", "\"1\"",
                                         "\"4294967295\"", "\"a\"\"b\"", "\"2147483647\""};
    return fields[random.below(static_cast<uint32_t>(std::size(fields)))];
}

// Replaces the k-th double-quoted field of a line (counted from 0).
std::string with_field(const std::string &line, uint32_t k, const std::string &field)
{
    std::size_t open = line.find('"', 2);
    for (uint32_t i = 0; open != std::string::npos; ++i) {
        std::size_t close = open + 1;
        while (close < line.size() && !(line[close] == '"' && (close + 1 >= line.size() || line[close + 1] != '"')))
            close += line[close] == '"' ? 2 : 1;
        if (close >= line.size())
            break;
        if (i == k)
            return line.substr(0, open) + field + line.substr(close + 1);
        open = line.find('"', close + 1);
    }
    return line + " " + field;
}

void mutate_once(std::vector<std::string> &lines, Random &random)
{
    if (lines.size() < 3)
        return;
    // The header line (0) is left alone but for the rarest damage.
    const uint32_t at = 1 + random.below(static_cast<uint32_t>(lines.size() - 1));
    std::string &line = lines[at];
    switch (random.below(11)) {
    case 0:
        lines.erase(lines.begin() + at);
        break;
    case 1:
        lines.insert(lines.begin() + at, line);
        break;
    case 2:
        if (at + 1 < lines.size())
            std::swap(lines[at], lines[at + 1]);
        break;
    case 3:
    case 4:
        line = DAMAGED_CODES[random.below(static_cast<uint32_t>(std::size(DAMAGED_CODES)))] +
               line.substr(std::min<std::size_t>(2, line.size()));
        break;
    case 5:
    case 6:
        line = with_field(line, random.below(8), damaged_field(random));
        break;
    case 7:
        line = line.substr(0, random.below(static_cast<uint32_t>(line.size()) + 1));
        break;
    case 8:
        line += '\r';
        break;
    case 9:
        line = "CH \"" + std::string(5200 + random.below(1000), 'x') + "\" \"1\" \"2\"";
        break;
    default: {
        const std::size_t last_quote = line.rfind('"');
        const std::size_t open = last_quote == std::string::npos ? std::string::npos : line.rfind('"', last_quote - 1);
        if (open != std::string::npos && open > 2)
            line = line.substr(0, open);
        break;
    }
    }
}

std::string mutated(const std::string &text, const GenParams &params, int file_index)
{
    Random random{params.seed * 0xD1B54A32D192ED03ULL + static_cast<uint64_t>(file_index) * 65537 + 3};
    std::vector<std::string> lines = split_text_lines(text);
    for (int k = 0; k < params.mutations; ++k)
        mutate_once(lines, random);
    std::string result;
    for (const std::string &line : lines)
        result += line + '\n';
    return result;
}

} // namespace

std::string gen_rod_text(const GenParams &params, int file_index)
{
    const std::string text = params.variety ? varied_rod_text(params, file_index) : plain_rod_text(params, file_index);
    return params.mutations > 0 ? mutated(text, params, file_index) : text;
}

std::string gen_rio_text(const GenParams &params, int file_index)
{
    return std::string("KORVA Probeworks \"v2.6a\" \"BENCH\" \"RIO file\" \"") + SCRIPT +
           "\" \"Tue Feb 24 15:02:11 2026\"\n" + gen_rod_text(params, file_index);
}
