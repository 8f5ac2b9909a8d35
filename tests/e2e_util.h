// Helpers for end-to-end tests: run the staged program and capture its output.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

struct RunResult {
    int status = -1;   // exit status, or 128 + signal
    std::string out;   // standard output
    std::string err;   // standard error
};

struct RunOptions {
    std::string cwd;                                            // empty: current directory
    std::map<std::string, std::optional<std::string>> env;      // nullopt: unset the variable
    std::optional<std::string> argv0;                           // replaces argv[0]
};

std::string stage_dir();                   // <build>/stage
std::string source_dir();                  // the project's source tree
std::string zovizeve_path();               // <build>/stage/bin/zovizeve

// Runs `program` with `args` (no shell). By default MOLVEXDIR and ZRM_DIR
// point at the stage, LANG is C and LC_ALL is unset.
RunResult run_program(const std::string &program, const std::vector<std::string> &args,
                      const RunOptions &options = {});
RunResult run_zovizeve(const std::vector<std::string> &args, const RunOptions &options = {});

// A fresh empty directory under the system's temporary directory.
std::string make_temp_dir();
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);
// Lines of `text` split at '\n' (a trailing empty piece is dropped).
std::vector<std::string> split_lines(const std::string &text);
