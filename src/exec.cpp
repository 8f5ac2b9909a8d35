#include "exec.h"

#include "cmdptro.h"

#include <array>

uint32_t postpro_status3_count = 0;

namespace {
std::array<std::string, ROD_SLOT_COUNT> rod_names;
}

const std::string &rod_name(int slot) { return rod_names[static_cast<size_t>(slot)]; }

void set_rod_name(int slot, const std::string &name) { rod_names[static_cast<size_t>(slot)] = name; }

void clear_pair_tables() {}

void run_postprocessors(const std::string &, const std::string &, const MergeSettings &) {}

void run_uml_tool(const char *, const std::string &) {}
