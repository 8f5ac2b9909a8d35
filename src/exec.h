// Tool runner: post-processor runs, the UML tool, and the pairing tables.
#pragma once

#include <cstdint>
#include <string>

struct MergeSettings;

// Runs that ended with status 3 (read by the driver's end-of-run message).
extern uint32_t postpro_status3_count;

// ROD file table: one slot per RIO record, the name of the ROD file the
// post-processor makes from it; empty when the slot is not used.
constexpr int ROD_SLOT_COUNT = 1000;
const std::string &rod_name(int slot);
void set_rod_name(int slot, const std::string &name);

void clear_pair_tables();
// Returns only when every post-processor run succeeded.
void run_postprocessors(const std::string &tool_dir, const std::string &postpro_options,
                        const MergeSettings &settings);
void run_uml_tool(const char *rdd_name, const std::string &tool_dir);
