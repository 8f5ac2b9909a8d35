// Tool runner: post-processor runs, the UML tool, and the pairing tables.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct MergeSettings;

constexpr int PAIR_TABLE_SIZE = 1000;
// Stored first lines, CF lines and ROD names keep at most this many characters.
constexpr std::size_t HEADER_TEXT_LIMIT = 2047;

// One TDC or RIO file found on the command line.
struct FileRecord {
    int16_t file_index = -1;  // position in cmdline_record().files; -1 = empty or dropped
    int16_t count = 0;        // RIO files paired (TDC record) or TDC files matched (RIO record)
    std::string first_line;   // masked first line
    std::string cf_line;      // first header line beginning with "CF" (TDC records only)
};

// Filled by verify_input_files in command-line order of each kind of file.
extern std::array<FileRecord, PAIR_TABLE_SIZE> tdc_table;
extern std::array<FileRecord, PAIR_TABLE_SIZE> rio_table;
// Per TDC record: the RIO record indices paired with it, in pairing order.
extern std::array<std::vector<int16_t>, PAIR_TABLE_SIZE> pair_lists;

// Runs that ended with status 3 (read by the driver's end-of-run message).
extern uint32_t postpro_status3_count;

void clear_pair_tables();

// The ROD file made from RIO record `slot` (0..999); empty when there is none.
// The engine loads the non-empty slots in slot order, as file number slot + 1.
const std::string &rod_name(int slot);
void set_rod_name(int slot, std::string name);

// Names derived from a RIO file name exactly as typed: the ROD file the
// post-processor writes, and the output argument it is given.
std::string rod_file_name(std::string_view rio_name);
std::string postpro_output_argument(std::string_view rio_name);

// The first two of `rod_files` (by position) that name one file: the same
// path written two ways (a.rio and a.RIO both give a.rod; ./x and x), or
// two names of one existing file.
std::optional<std::pair<std::size_t, std::size_t>> first_shared_rod_file(const std::vector<std::string> &rod_files);

// Argument vectors of the POSIX runner, argv[0] being the tool's path.
std::vector<std::string> postpro_arguments(const std::string &tool_dir, const std::string &rio_name,
                                           const std::string &output_argument,
                                           std::string_view postpro_options, const std::string &tdc_name,
                                           bool log);
std::vector<std::string> uml_arguments(const std::string &tool_dir, const std::string &directory,
                                       const std::string &file_name);

// The RDD file-name part as the UML tool gets it (".RDD" becomes ".rdd");
// empty when the name is not fit for it.
std::string uml_file_name(std::string_view file_part);

// Starts arguments[0] with `arguments` (no shell) and waits for it. Returns
// its exit status, 128 + the signal that ended it, or -1 when it could not
// be started.
int run_tool(const std::vector<std::string> &arguments);

constexpr int MAX_POSTPRO_JOBS = 64;

// How many post-processor runs may proceed at once, from the value of
// ZV_JOBS: empty (or unset) one; "0" or "auto" the number of cores; else 1 to
// MAX_POSTPRO_JOBS. No value when it is none of these.
std::optional<int> postpro_jobs(std::string_view value, int cores);

// Told of the post-processor runs as they go, for work done beside them.
struct RunListener {
    // The ROD file table is filled and no run has started yet. Called with
    // the interrupt signals held back, which a thread started here keeps.
    void (*planned)(void *context) = nullptr;
    // The run that writes ROD slot `slot` ended well (status 0 or 3): the
    // file is as complete as it will be.
    void (*rod_written)(void *context, int slot) = nullptr;
    void *context = nullptr;
};

// Runs the post-processor on every pair, up to `jobs` runs at once; whatever
// `jobs` is, the user sees what the one-at-a-time run shows, in pair order.
// Returns only when every run succeeded.
void run_postprocessors(const std::string &tool_dir, const std::string &postpro_options,
                        const MergeSettings &settings, int jobs, const RunListener &listener = {});
void run_uml_tool(const char *rdd_name, const std::string &tool_dir);
