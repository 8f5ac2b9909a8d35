#include "e2e_util.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

std::string stage_dir() { return ZV_STAGE_DIR; }
std::string source_dir() { return ZV_SOURCE_DIR; }
std::string zovizeve_path() { return stage_dir() + "/bin/zovizeve"; }

std::string make_temp_dir()
{
    std::string pattern = "/tmp/zvtest.XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

std::string make_idle_tool_dir(const std::string &dir)
{
    std::filesystem::create_directories(dir);
    for (const char *name : {"/zrmpostpro", "/zrmuml"}) {
        write_file(dir + name, "#!/bin/sh\nexit 0\n");
        std::filesystem::permissions(dir + name, std::filesystem::perms::owner_all);
    }
    return dir;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary);
    out << content;
}

bool file_exists(const std::string &path) { return std::filesystem::exists(path); }

std::vector<std::string> directory_names(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

StartedProgram start_program(const std::string &program, const std::vector<std::string> &args,
                             const RunOptions &options)
{
    std::map<std::string, std::optional<std::string>> env;
    for (char **entry = environ; *entry; ++entry) {
        const char *equal = std::strchr(*entry, '=');
        if (equal)
            env[std::string(static_cast<const char *>(*entry), equal)] = std::string(equal + 1);
    }
    env["MOLVEXDIR"] = stage_dir();
    env["ZRM_DIR"] = stage_dir() + "/bin";
    env["LANG"] = "C";
    env["LC_ALL"] = std::nullopt;
    env["LANGUAGE"] = std::nullopt;
    for (const auto &[name, value] : options.env)
        env[name] = value;

    std::vector<std::string> env_texts;
    for (const auto &[name, value] : env)
        if (value)
            env_texts.push_back(name + "=" + *value);
    std::vector<char *> envp;
    for (auto &text : env_texts)
        envp.push_back(text.data());
    envp.push_back(nullptr);

    std::vector<std::string> words{options.argv0.value_or(program)};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    StartedProgram started;
    started.capture = make_temp_dir();
    started.timeout_ms = options.timeout_ms;
    const std::string out_path = started.capture + "/out", err_path = started.capture + "/err";
    started.pid = fork();
    if (started.pid == 0) {
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = ::open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(options.one_output ? out : err, 2);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(126);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    return started;
}

RunResult finish_program(const StartedProgram &started)
{
    int status = 0;
    RunResult result;
    if (started.timeout_ms > 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(started.timeout_ms);
        while (waitpid(started.pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(started.pid, SIGKILL);
                waitpid(started.pid, &status, 0);
                result.timed_out = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    } else {
        waitpid(started.pid, &status, 0);
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const std::string out_path = started.capture + "/out", err_path = started.capture + "/err";
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    ::rmdir(started.capture.c_str());
    return result;
}

std::vector<std::string> lines_after_banner(const std::string &err)
{
    std::vector<std::string> lines;
    for (const std::string &line : split_lines(err))
        if (!line.starts_with("Molvex-I-STARTEXEC") && !line.starts_with("Molvex-I-COPYRIGHT"))
            lines.push_back(line);
    return lines;
}

RunResult run_program(const std::string &program, const std::vector<std::string> &args, const RunOptions &options)
{
    return finish_program(start_program(program, args, options));
}

RunResult run_zovizeve(const std::vector<std::string> &args, const RunOptions &options)
{
    return run_program(zovizeve_path(), args, options);
}

RunResult run_in(const std::string &dir, const std::vector<std::string> &args, const std::string &tool_dir)
{
    RunOptions options;
    options.cwd = dir;
    if (!tool_dir.empty())
        options.env["ZRM_DIR"] = tool_dir;
    return run_zovizeve(args, options);
}

std::string korva_header(const std::string &kind, const std::string &script, const std::string &plan)
{
    return "KORVA Probeworks \"v2.6a\" \"" + plan + "\" \"" + kind + "\" \"" + script + "\"\n";
}

std::string example_body(const std::string &rio_name)
{
    const std::string text = read_file(source_dir() + "/examples/" + rio_name);
    return text.substr(text.find('\n') + 1);
}

std::string copy_examples(const std::vector<std::string> &names)
{
    const std::string dir = make_temp_dir();
    for (const std::string &name : names)
        write_file(dir + "/" + name, read_file(source_dir() + "/examples/" + name));
    return dir;
}
