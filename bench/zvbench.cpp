// Google Benchmark of the engine's hot passes on generated campaign files:
// the file check, scan, load (scan and structure), merge (default and
// -TIME, which is the time-ordered insertion at work) and write.
#include "cstsyst.h"
#include "extgest.h"
#include "rodgen.h"
#include "rodinser.h"
#include "rodload.h"
#include "rodmodel.h"
#include "rodprd.h"
#include "rodsync.h"
#include "rodtrait.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t FILE_BYTES = 1 << 20;

GenParams params_of(GenScenario scenario, std::size_t bytes)
{
    GenParams params;
    params.scenario = scenario;
    params.bytes_per_file = bytes;
    return params;
}

// A copy the model can take, as a loading reads it.
char *bytes_of(const std::string &text)
{
    char *bytes = rod_bytes_new(text.size());
    std::memcpy(bytes, text.data(), text.size());
    return bytes;
}

std::vector<RodFile> make_trees(GenScenario scenario, int files, std::size_t bytes, bool time_mode)
{
    const GenParams params = params_of(scenario, bytes);
    std::vector<RodFile> trees;
    for (int file = 0; file < files; ++file) {
        const std::string text = gen_rod_text(params, file);
        trees.push_back(rod_load_bytes(bytes_of(text), text.size(), file + 1, time_mode, file == 0));
    }
    return trees;
}

// As the loading loop does it, the CF lines aside.
MergedReport merge_all(const std::vector<RodFile> &files, bool time_mode)
{
    MergedReport report;
    TimeBase base;
    MergeMemo memo;
    for (const RodFile &file : files) {
        const CellId tree = file.tree;
        const uint32_t file_shift = synchronise(base, report.tree, tree, file.lines);
        store_times_as_merged(base, file.lines, file_shift);
        const TimeFrame frame{base.offset, base.scalings};
        RendezvousOrder *points = base.rendezvous.active() ? &base.rendezvous : nullptr;
        report.tree = time_mode ? merge_report_by_time(memo, report.tree, tree, frame, points)
                                : merge_report(memo, report.tree, tree, frame, points);
    }
    report.time_offset = base.offset;
    return report;
}

void BM_Scan(benchmark::State &state)
{
    const std::string text = gen_rod_text(params_of(GenScenario::SameClock, FILE_BYTES), 0);
    std::string header;
    for (auto _ : state) {
        benchmark::DoNotOptimize(rod_scan_bytes(bytes_of(text), text.size(), 1, false, true, header));
        state.PauseTiming();
        model_release();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// The check of a whole ROD file, folded and by the tables.
void BM_Crc16(benchmark::State &state)
{
    const std::string text = gen_rod_text(params_of(GenScenario::SameClock, FILE_BYTES), 0);
    crc16_tables_only(state.range(0) == 0);
    for (auto _ : state)
        benchmark::DoNotOptimize(crc16_kermit(reinterpret_cast<const unsigned char *>(text.data()), text.size()));
    crc16_tables_only(false);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_Load(benchmark::State &state)
{
    const std::string text = gen_rod_text(params_of(GenScenario::SameClock, FILE_BYTES), 0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(rod_load_bytes(bytes_of(text), text.size(), 1, false, true).tree);
        state.PauseTiming();
        model_release();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// Structuring a big file's scanned lines on one thread (0) or, cut in
// two parts, on two at once (1).
void BM_StructureBig(benchmark::State &state)
{
    const std::string text = gen_rod_text(params_of(GenScenario::HugeFile, 32 << 20), 0);
    std::string header;
    for (auto _ : state) {
        state.PauseTiming();
        ScratchVector<LineId> lines = rod_scan_bytes(bytes_of(text), text.size(), 1, false, true, header);
        const std::size_t cut = state.range(0) ? structure_cut(lines) : 0;
        state.ResumeTiming();
        benchmark::DoNotOptimize(structure_lines(std::move(lines), cut).tree);
        state.PauseTiming();
        model_release();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// Merging K files of 64 KB: near-linear means time per file stays flat as K grows.
void merge_benchmark(benchmark::State &state, GenScenario scenario, bool time_mode)
{
    const int files = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        const std::vector<RodFile> trees = make_trees(scenario, files, 64 << 10, time_mode);
        state.ResumeTiming();
        benchmark::DoNotOptimize(merge_all(trees, time_mode).tree);
        state.PauseTiming();
        model_release();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * files);
}

void BM_Merge(benchmark::State &state) { merge_benchmark(state, GenScenario::SameClock, false); }
void BM_MergeMixedClocks(benchmark::State &state) { merge_benchmark(state, GenScenario::MixedClocks, false); }
void BM_MergeEarlierOrigin(benchmark::State &state) { merge_benchmark(state, GenScenario::EarlierOrigin, false); }
void BM_InsertByTime(benchmark::State &state) { merge_benchmark(state, GenScenario::TimeMode, true); }

constexpr int WRITE_FILES = 8;
constexpr std::size_t WRITE_FILE_BYTES = 128 << 10;

// Made once: the writer alone is timed, over a report that stays in the caches.
void BM_Write(benchmark::State &state)
{
    FILE *null_file = std::fopen("/dev/null", "w");
    const MergedReport merged =
        merge_all(make_trees(GenScenario::SameClock, WRITE_FILES, WRITE_FILE_BYTES, false), false);
    for (auto _ : state)
        write_rdd_lines(null_file, "KORVA", merged.tree, merged.time_offset);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * WRITE_FILES * WRITE_FILE_BYTES));
    model_release();
    std::fclose(null_file);
}

// The same writing over a merged report of 300 MB, whose cells, lines and
// bytes lie far beyond the caches: beside BM_Write, how the writer's cost
// per byte grows with the report. Made once (it takes seconds).
constexpr int WRITE_LARGE_FILES = 300;

void BM_WriteLarge(benchmark::State &state)
{
    FILE *null_file = std::fopen("/dev/null", "w");
    const MergedReport merged =
        merge_all(make_trees(GenScenario::SameClock, WRITE_LARGE_FILES, FILE_BYTES, false), false);
    for (auto _ : state)
        write_rdd_lines(null_file, "KORVA", merged.tree, merged.time_offset);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * WRITE_LARGE_FILES * FILE_BYTES));
    model_release();
    std::fclose(null_file);
}

} // namespace

BENCHMARK(BM_Scan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc16)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StructureBig)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Merge)->RangeMultiplier(2)->Range(8, 64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MergeMixedClocks)->RangeMultiplier(2)->Range(8, 64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MergeEarlierOrigin)->RangeMultiplier(2)->Range(8, 64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InsertByTime)->RangeMultiplier(2)->Range(8, 64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteLarge)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
