#include "rodgen.h"

#include <string_view>

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

std::string gen_rod_text(const GenParams &params, int file_index)
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

std::string gen_rio_text(const GenParams &params, int file_index)
{
    return std::string("KORVA Probeworks \"v2.6a\" \"BENCH\" \"RIO file\" \"") + SCRIPT +
           "\" \"Tue Feb 24 15:02:11 2026\"\n" + gen_rod_text(params, file_index);
}
