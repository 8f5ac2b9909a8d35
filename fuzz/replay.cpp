// Replays inputs through a fuzz target's code without libFuzzer: every
// file of the given directories (or the given files), in name order. The
// normal suite replays each target's seeds this way, so that a finding once
// fixed stays fixed. A target reports a finding by crashing or aborting;
// an argument without any input is an error too.
//
//   replay_TARGET DIRECTORY_OR_FILE...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> inputs_of(const fs::path &argument)
{
    if (!fs::is_directory(argument))
        return fs::is_regular_file(argument) ? std::vector<fs::path>{argument} : std::vector<fs::path>{};
    std::vector<fs::path> files;
    for (const fs::directory_entry &entry : fs::directory_iterator(argument))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY_OR_FILE...\n", argv[0]);
        return 2;
    }
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    for (int i = 1; i < argc; ++i) {
        const std::vector<fs::path> files = inputs_of(argv[i]);
        if (files.empty()) {
            std::fprintf(stderr, "replay: no input in %s\n", argv[i]);
            return 1;
        }
        for (const fs::path &file : files) {
            std::ifstream in(file, std::ios::binary);
            const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
        }
        std::printf("replayed %zu input(s) of %s\n", files.size(), argv[i]);
    }
    return 0;
}
