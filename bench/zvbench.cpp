// Google Benchmark of the engine's hot passes on generated campaign files:
// scan, load, structure, merge (default and -TIME, which is insert_by_time
// at work) and write.
#include "objet.h"
#include "rodbase.h"
#include "rodgen.h"
#include "rodinser.h"
#include "rodload.h"
#include "rodprd.h"
#include "rodsync.h"
#include "rodtri.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <string_view>
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

// The numbered lines of a ROD text after its header line.
Objet *load_body(const std::string &text, int file_number)
{
    FILE *file = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    Objet *stream = obj_new(OBJ_STREAM);
    stream->link.stream = file;
    Objet *lines = rod_read_lines(stream);
    stream_close(stream);
    obj_free(stream);
    Objet *rest = lines->link.next;
    lines->link.next = nullptr;
    obj_free(lines);
    Objet *number = int_new(file_number);
    number_lines(number, rest);
    obj_free(number);
    return rest;
}

std::vector<Objet *> make_trees(GenScenario scenario, int files, std::size_t bytes, bool time_mode)
{
    const GenParams params = params_of(scenario, bytes);
    std::vector<Objet *> trees;
    for (int file = 0; file < files; ++file)
        trees.push_back(rod_structure_lines(load_body(gen_rod_text(params, file), file + 1), time_mode));
    return trees;
}

// As the loading loop does it, with what it keeps from file to file.
Objet *merge_all(const std::vector<Objet *> &trees, bool time_mode)
{
    Objet *merged = nullptr;
    MergeState state;
    for (Objet *tree : trees) {
        synchronise_next(state, merged, tree);
        merged = merge_next(state, merged, tree, time_mode);
    }
    finish_merge(state, merged);
    return merged;
}

void setup()
{
    keywords_init();
    time_key_init();
}

void BM_Scan(benchmark::State &state)
{
    setup();
    const std::string text = gen_rod_text(params_of(GenScenario::SameClock, FILE_BYTES), 0);
    for (auto _ : state) {
        std::size_t from = 0;
        while (from < text.size()) {
            std::size_t end = text.find('\n', from);
            end = end == std::string::npos ? text.size() : end + 1;
            obj_free(rod_scan_line(std::string_view(text).substr(from, end - from)));
            from = end;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_Load(benchmark::State &state)
{
    setup();
    const std::string text = gen_rod_text(params_of(GenScenario::SameClock, FILE_BYTES), 0);
    for (auto _ : state)
        obj_free(load_body(text, 1));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_Structure(benchmark::State &state)
{
    setup();
    const std::string text = gen_rod_text(params_of(GenScenario::SameClock, FILE_BYTES), 0);
    for (auto _ : state) {
        state.PauseTiming();
        Objet *lines = load_body(text, 1);
        state.ResumeTiming();
        Objet *tree = rod_structure_lines(lines, false);
        state.PauseTiming();
        obj_free(tree);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// Merging K files of 64 KB: near-linear means time per file stays flat as K grows.
void merge_benchmark(benchmark::State &state, GenScenario scenario, bool time_mode)
{
    setup();
    const int files = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        const std::vector<Objet *> trees = make_trees(scenario, files, 64 << 10, time_mode);
        state.ResumeTiming();
        Objet *merged = merge_all(trees, time_mode);
        state.PauseTiming();
        obj_free(merged);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * files);
}

void BM_Merge(benchmark::State &state) { merge_benchmark(state, GenScenario::SameClock, false); }
void BM_MergeMixedClocks(benchmark::State &state) { merge_benchmark(state, GenScenario::MixedClocks, false); }
void BM_MergeEarlierOrigin(benchmark::State &state) { merge_benchmark(state, GenScenario::EarlierOrigin, false); }
void BM_InsertByTime(benchmark::State &state) { merge_benchmark(state, GenScenario::TimeMode, true); }

void BM_Write(benchmark::State &state)
{
    setup();
    FILE *null_file = std::fopen("/dev/null", "w");
    Objet *stream = obj_new(OBJ_STREAM);
    stream->link.stream = null_file;
    for (auto _ : state) {
        state.PauseTiming();
        Objet *merged = merge_all(make_trees(GenScenario::SameClock, 8, 128 << 10, false), false);
        state.ResumeTiming();
        write_rdd_lines(stream, merged);
        state.PauseTiming();
        obj_free(merged);
        state.ResumeTiming();
    }
    stream_close(stream);
    obj_free(stream);
}

} // namespace

BENCHMARK(BM_Scan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Structure)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Merge)->RangeMultiplier(2)->Range(8, 64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MergeMixedClocks)->RangeMultiplier(2)->Range(8, 64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MergeEarlierOrigin)->RangeMultiplier(2)->Range(8, 64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InsertByTime)->RangeMultiplier(2)->Range(8, 64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
