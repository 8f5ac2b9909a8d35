// Helpers for end-to-end tests: run the staged program and capture its output.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

struct RunResult {
    int status = -1;   // exit status, or 128 + signal
    std::string out;   // standard output
    std::string err;   // standard error
    bool timed_out = false; // ended with SIGKILL after the run's time limit
};

struct RunOptions {
    std::string cwd;                                            // empty: current directory
    std::map<std::string, std::optional<std::string>> env;      // nullopt: unset the variable
    std::optional<std::string> argv0;                           // replaces argv[0]
    bool one_output = false;                                    // standard error goes to standard output
    int timeout_ms = 0;                                         // > 0: the program is killed after this long
};

// A program started and not yet waited for (its output is captured).
struct StartedProgram {
    pid_t pid = -1;
    std::string capture;
    int timeout_ms = 0;
};

std::string stage_dir();                   // <build>/stage
std::string source_dir();                  // the project's source tree
std::string zovizeve_path();               // <build>/stage/bin/zovizeve

// Runs `program` with `args` (no shell). By default MOLVEXDIR and ZRM_DIR
// point at the stage, LANG is C and LC_ALL is unset.
RunResult run_program(const std::string &program, const std::vector<std::string> &args,
                      const RunOptions &options = {});
StartedProgram start_program(const std::string &program, const std::vector<std::string> &args,
                             const RunOptions &options = {});
RunResult finish_program(const StartedProgram &started);
RunResult run_zovizeve(const std::vector<std::string> &args, const RunOptions &options = {});
// Runs the program in `dir`, with ZRM_DIR set to `tool_dir` unless empty.
RunResult run_in(const std::string &dir, const std::vector<std::string> &args, const std::string &tool_dir = "");

// A fresh empty directory under the system's temporary directory.
std::string make_temp_dir();
// Makes `dir` hold sibling tools that do nothing, for runs whose ROD files
// are put in place beforehand; returns `dir`.
std::string make_idle_tool_dir(const std::string &dir);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);
// The names in directory `dir`, sorted.
std::vector<std::string> directory_names(const std::string &dir);
// `text` with every `from` replaced by `to`.
std::string replace_all(std::string text, const std::string &from, const std::string &to);
// Lines of `text` split at '\n' (a trailing empty piece is dropped).
std::vector<std::string> split_lines(const std::string &text);
// The lines of standard error after the banner's two message lines.
std::vector<std::string> lines_after_banner(const std::string &err);

// The first line of a TDC or RIO file of `script` (`kind`: "TDC file", "RIO file").
std::string korva_header(const std::string &kind, const std::string &script, const std::string &plan = "PLAN");
// The report text of an example RIO file: the file without its first line.
std::string example_body(const std::string &rio_name);
// A fresh directory holding copies of the named example files.
std::string copy_examples(const std::vector<std::string> &names);
