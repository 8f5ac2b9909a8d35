#include "harness.h"

#include "cmdline.h"
#include "cmdptro.h"
#include "cstsyst.h"
#include "exec.h"
#include "i18n_zrm_msg.h"
#include "rodmodel.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <unordered_set>

namespace {

[[noreturn]] void throw_process_end(int status) { throw ProcessEnd{status}; }

std::unordered_set<void *> &tracked_blocks()
{
    static std::unordered_set<void *> blocks;
    return blocks;
}

std::unordered_set<FILE *> &tracked_streams()
{
    static std::unordered_set<FILE *> streams;
    return streams;
}

void block_allocated(void *block) { tracked_blocks().insert(block); }
void block_released(void *block) { tracked_blocks().erase(block); }
void stream_opened(FILE *stream) { tracked_streams().insert(stream); }
void stream_closed(FILE *stream) { tracked_streams().erase(stream); }

} // namespace

void harness_init()
{
    static int argc = 1;
    static char name[] = "zovizeve";
    static char *argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    catalog_fill();
    option_language_init();
    set_exit_hook(throw_process_end);
    set_resource_tracker({block_allocated, block_released, stream_opened, stream_closed});
}

void tracked_resources_forget()
{
    tracked_blocks().clear();
    tracked_streams().clear();
}

void tracked_resources_release()
{
    std::unordered_set<FILE *> streams;
    streams.swap(tracked_streams());
    for (FILE *stream : streams)
        std::fclose(stream);
    std::unordered_set<void *> blocks;
    blocks.swap(tracked_blocks());
    for (void *block : blocks)
        std::free(block);
}

void harness_reset()
{
    set_allocation_failure_after(-1);
    model_release();
    clear_pair_tables();
    cmdline_record() = CmdLine{};
    postpro_status3_count = 0;
}

std::vector<std::string_view> split_input(std::string_view data, std::string_view separator, std::size_t max_parts)
{
    std::vector<std::string_view> parts;
    while (parts.size() + 1 < max_parts) {
        const std::size_t at = data.find(separator);
        if (at == std::string_view::npos)
            break;
        parts.push_back(data.substr(0, at));
        data.remove_prefix(at + separator.size());
    }
    parts.push_back(data);
    return parts;
}

const std::string &work_dir()
{
    static const std::string dir = [] {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/zv-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        return pattern;
    }();
    return dir;
}

void write_whole_file(const std::string &path, std::string_view content)
{
    FILE *file = std::fopen(path.c_str(), "wb");
    if (!file)
        std::abort();
    if (!content.empty() && std::fwrite(content.data(), 1, content.size(), file) != content.size())
        std::abort();
    std::fclose(file);
}
