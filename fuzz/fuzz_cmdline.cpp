// Command-line decoder: the input is an argument vector, words separated by
// NUL bytes. A decoded command line must also give a consistent record.
#include "harness.h"

#include "cmdline.h"
#include "cmdptro.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr std::size_t MAX_WORDS = 1100; // room for the 1000-file limit and options

void decode(std::string_view data)
{
    const std::vector<std::string_view> words = split_input(data, std::string_view("\0", 1), MAX_WORDS);
    std::vector<std::string> storage{"zovizeve"};
    for (std::string_view word : words)
        storage.emplace_back(word);
    std::vector<char *> argv;
    for (std::string &word : storage)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(storage.size());

    std::string postpro_options;
    MergeSettings settings;
    if (!merge_options_decode(argc, argv.data(), postpro_options, settings))
        return;
    cmdline_read(argc, argv.data());
    const CmdLine &record = cmdline_record();
    if (record.files.empty() || record.files.size() > MAX_INPUT_FILES)
        std::abort();
    if (record.dest_present != (cmdline_rdd_name(record) != nullptr))
        std::abort();
    (void)merge_options();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    harness_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    run_guarded([&] { decode(std::string_view(reinterpret_cast<const char *>(data), size)); });
    return 0;
}
