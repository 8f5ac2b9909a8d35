// The report model: records across chunk borders and the release of a run.
#include "rodmodel.h"

#include "cstsyst.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(Model, RecordsCrossChunkBordersAndARunReleasesThemAll)
{
    std::set<LineId> lines;
    std::set<CellId> cells;
    for (uint32_t k = 0; k < 70000; ++k) {
        const LineId line = line_new();
        line_at(line).number = k;
        lines.insert(line);
        cells.insert(cell_new(line_item(line), static_cast<CellId>(k)));
        cells.insert(cell_new(NO_ITEM, static_cast<CellId>(k + 1)));
    }
    EXPECT_EQ(lines.size(), 70000u);
    EXPECT_EQ(cells.size(), 140000u);
    EXPECT_EQ(lines.count(0), 0u); // id 0 means none
    EXPECT_EQ(cells.count(0), 0u);
    uint32_t k = 0;
    for (LineId line : lines)
        EXPECT_EQ(line_at(line).number, k++);
    model_release();
    EXPECT_EQ(line_new(), 1u); // a released run starts afresh
    EXPECT_EQ(cell_new(), 1u);
    model_release();
}

// A merged line gathers its pairs file after file, and whole lists of them
// from lines that gathered before: they come back in that order, across
// full nodes, and a visit can stop the walk.
TEST(Model, GatheredOriginPairsKeepTheirOrderAcrossNodes)
{
    const auto made = [](LineKind kind, int file) {
        const LineId line = line_new();
        Line &record = line_at(line);
        record.kind = kind;
        record.has_origin = 1;
        record.file = static_cast<uint16_t>(file);
        record.number = static_cast<uint32_t>(100 + file);
        return line;
    };
    const LineId into = made(KIND_XI, 1);
    std::vector<int> expected{1};
    for (int file = 2; file <= 10; ++file) {
        line_gather_origins(into, made(KIND_EV, file));
        expected.push_back(file);
    }
    const LineId other = made(KIND_XI, 11); // a line with gathered pairs of its own
    for (int file = 12; file <= 20; ++file)
        line_gather_origins(other, made(KIND_XI, file));
    line_gather_origins(into, other);
    for (int file = 11; file <= 21; ++file)
        expected.push_back(file);
    line_gather_origins(into, made(KIND_DS, 21));

    std::vector<int> files;
    EXPECT_FALSE(line_any_origin(into, [&files](OriginPair pair) {
        files.push_back(pair.file);
        EXPECT_EQ(pair.number, 100 + pair.file);
        return false;
    }));
    EXPECT_EQ(files, expected);
    EXPECT_FALSE(line_any_origin(other, [](OriginPair) { return true; })); // its pairs moved on
    int visited = 0;
    EXPECT_TRUE(line_any_origin(into, [&visited](OriginPair pair) { return ++visited, pair.file == 15; }));
    EXPECT_EQ(visited, 15);
    model_release();
}

TEST(Model, RecycledRecordsAreMadeAgainOnTheirThreadUntilTheRunIsReleased)
{
    const ScratchVector<LineId> lines{line_new(), line_new()};
    const ScratchVector<CellId> cells{cell_new()};
    line_at(lines[0]).number = 7;
    lines_mark_recycled(lines);
    lines_recycle(lines);
    cells_recycle(cells);
    EXPECT_TRUE(line_at(lines[0]).recycled);
    std::set<LineId> made{line_new(), line_new()};
    EXPECT_EQ(made, std::set<LineId>(lines.begin(), lines.end()));
    EXPECT_FALSE(line_at(lines[0]).recycled); // made again: a zeroed record
    EXPECT_EQ(line_at(lines[0]).number, 0u);
    EXPECT_EQ(cell_new(), cells[0]);
    EXPECT_EQ(made.count(line_new()), 0u); // none left: fresh room

    // A second file's pruned records join those still free: none is lost.
    const LineId first_batch = line_new();
    const ScratchVector<LineId> second_batch{line_new(), line_new()};
    lines_recycle(ScratchVector<LineId>{first_batch});
    lines_recycle(second_batch);
    const std::set<LineId> both{line_new(), line_new(), line_new()};
    EXPECT_EQ(both, std::set<LineId>({first_batch, second_batch[0], second_batch[1]}));

    // Another thread makes its own records, not this thread's recycled ones.
    lines_recycle(ScratchVector<LineId>{line_new()});
    LineId other = 0;
    std::thread([&other] { other = line_new(); }).join();
    EXPECT_EQ(made.count(other), 0u);

    // After a release the ids recycled before it are never handed out.
    lines_recycle(ScratchVector<LineId>{line_new(), line_new(), line_new()});
    model_release();
    EXPECT_EQ(line_new(), 1u);
    EXPECT_EQ(line_new(), 2u);
    model_release();
}

// The flags the kernel shows for the mapping that holds `address`.
std::string page_flags_at(const void *address)
{
    std::ifstream smaps("/proc/self/smaps");
    const auto wanted = reinterpret_cast<std::uintptr_t>(address);
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        unsigned long start = 0, end = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx", &start, &end) == 2) // a mapping's first line
            inside = wanted >= start && wanted < end;
        else if (inside && line.rfind("VmFlags:", 0) == 0)
            return line;
    }
    return {};
}

// Line records, most of a large merge's fresh memory, and cells, which the
// merge and the writer chase at random, are on huge pages: a fault per 2 MB
// instead of one per 4 KB, each of which traps to the hypervisor here.
TEST(Model, LinesAndCellsLieOnHugePages)
{
    const std::string line_flags = page_flags_at(&line_at(line_new()));
    const std::string cell_flags = page_flags_at(&cell_at(cell_new()));
    EXPECT_NE(line_flags.find(" hg"), std::string::npos) << line_flags;
    EXPECT_NE(cell_flags.find(" hg"), std::string::npos) << cell_flags;
    model_release();
}

// A big file's scratch arrays start on a huge page, advised as such, and
// keep their contents as they grow; small ones are plain heap blocks (the
// sanitizer run checks that each block goes back the way it came).
TEST(Model, BigScratchArraysLieOnWholeHugePages)
{
    ScratchVector<uint32_t> values;
    bool every_big_block_aligned = true;
    for (uint32_t i = 0; i < 3 * HUGE_PAGE / sizeof(uint32_t); ++i) {
        values.push_back(i * 7);
        if (values.capacity() * sizeof(uint32_t) >= SCRATCH_HUGE_MIN)
            every_big_block_aligned &= reinterpret_cast<std::uintptr_t>(values.data()) % HUGE_PAGE == 0;
    }
    EXPECT_TRUE(every_big_block_aligned);
    const std::string flags = page_flags_at(values.data());
    EXPECT_NE(flags.find(" hg"), std::string::npos) << flags;
    bool kept = true;
    for (uint32_t i = 0; i < values.size(); ++i)
        kept &= values[i] == i * 7;
    EXPECT_TRUE(kept);
    values.resize(10);
    values.shrink_to_fit();
    EXPECT_EQ(values.back(), 63u);
}

bool resident_and_zero(char *page)
{
    std::vector<unsigned char> small_pages(HUGE_PAGE / 4096);
    return ::mincore(page, HUGE_PAGE, small_pages.data()) == 0 &&
           std::all_of(small_pages.begin(), small_pages.end(), [](unsigned char flags) { return flags & 1; }) &&
           std::all_of(page, page + HUGE_PAGE, [](char byte) { return byte == 0; });
}

std::size_t ready_after_a_while(std::size_t wanted)
{
    for (int wait = 0; wait < 3000 && warm_huge_pages_ready() < wanted; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return warm_huge_pages_ready();
}

void take_pages(std::size_t count)
{
    for (std::size_t taken = 0; taken < count; ++taken) {
        void *raw = nullptr;
        char *page = warm_huge_page(raw, true);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(page) % HUGE_PAGE, 0u);
        EXPECT_EQ(page[0] | page[HUGE_PAGE - 1], 0);
        std::memset(page, 'x', HUGE_PAGE); // the whole page is ours
        xfree(raw);
    }
}

// Huge pages come faulted in and zeroed ahead by a helper, an eighth of
// those taken so far at most; a test hook counting allocations sees each
// one made where it is taken. A fork copies no helper thread (under the
// sanitizer a child's leak check would meet one it cannot stop): the helper
// goes first and comes again on either side.
TEST(Model, HugePagesAreFaultedInAheadInProportionToTheirUse)
{
    take_pages(80);
    const std::size_t wanted = warm_huge_pages_wanted();
    EXPECT_GE(wanted, 11u); // 1 + 80 / 8, and the few pages the other tests here took
    EXPECT_LE(wanted, 12u);
    // Once the helper has them all ready, a take watched by a hook leaves them.
    ASSERT_EQ(ready_after_a_while(wanted), wanted);
    set_allocation_failure_after(1000000);
    take_pages(1);
    EXPECT_EQ(warm_huge_pages_ready(), wanted);
    set_allocation_failure_after(-1);
    void *raw = nullptr;
    EXPECT_TRUE(resident_and_zero(warm_huge_page(raw, false)));
    xfree(raw);

    const pid_t child = fork();
    if (child == 0) {
        take_pages(warm_huge_pages_ready() + 16);
        std::_Exit(ready_after_a_while(1) >= 1 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    take_pages(warm_huge_pages_ready() + 16);
    EXPECT_GE(ready_after_a_while(1), 1u);
}

TEST(Model, MappedFilesThatChangeUnderTheRunAreTold)
{
    const std::string dir = std::filesystem::temp_directory_path() / ("rodmodel_" + std::to_string(::getpid()));
    std::filesystem::create_directory(dir);
    const auto map_file = [&dir](const std::string &name, int file) {
        std::ofstream(dir + "/" + name) << std::string(3 * 4096, 'x');
        const int fd = ::open((dir + "/" + name).c_str(), O_RDONLY);
        struct stat status {};
        ::fstat(fd, &status);
        char *bytes = rod_bytes_map(fd, status, file);
        ::close(fd);
        return bytes;
    };
    const std::string cut = dir + "/cut.rod";
    const std::string grown = dir + "/grown.rod";
    const std::string replaced = dir + "/replaced.rod";
    const char *cut_bytes = map_file("cut.rod", 1);
    const char *grown_bytes = map_file("grown.rod", 2);
    const char *replaced_bytes = map_file("replaced.rod", 3);
    ASSERT_TRUE(cut_bytes && grown_bytes && replaced_bytes);
    EXPECT_EQ(std::string(cut_bytes + 9000, 2), "xx");
    EXPECT_FALSE(rod_bytes_changed(1, cut.c_str()));

    ASSERT_EQ(::truncate(cut.c_str(), 100), 0);
    EXPECT_EQ(cut_bytes[9000], '\0'); // a lost page reads as zeros
    EXPECT_TRUE(rod_bytes_changed(1, cut.c_str()));

    std::ofstream(grown, std::ios::app) << "y";
    EXPECT_TRUE(rod_bytes_changed(2, grown.c_str()));

    std::ofstream(dir + "/new.rod") << "other";
    std::filesystem::rename(dir + "/new.rod", replaced);
    EXPECT_FALSE(rod_bytes_changed(3, replaced.c_str()));
    EXPECT_EQ(std::string(replaced_bytes + 9000, 2), "xx");
    EXPECT_FALSE(rod_bytes_changed(4, replaced.c_str())); // never mapped

    // A bus error elsewhere goes on to the handling there was before (the
    // default action, or a sanitizer's report): it is not taken for a lost page.
    EXPECT_EXIT(
        {
            std::ofstream(dir + "/other") << std::string(3 * 4096, 'x');
            const int fd = ::open((dir + "/other").c_str(), O_RDONLY);
            const auto *bytes = static_cast<const volatile char *>(mmap(nullptr, 3 * 4096, PROT_READ, MAP_SHARED, fd, 0));
            if (::ftruncate(::open((dir + "/other").c_str(), O_WRONLY), 0) == 0)
                std::printf("%d", bytes[9000]);
            std::exit(0);
        },
        [](int status) { return !(WIFEXITED(status) && WEXITSTATUS(status) == 0); }, "");

    rod_mapping_off(true);
    EXPECT_EQ(map_file("off.rod", 5), nullptr);
    rod_mapping_off(false);
    model_release();
    EXPECT_FALSE(rod_bytes_changed(1, cut.c_str())); // released with the run
    std::filesystem::remove_all(dir);
}

} // namespace
