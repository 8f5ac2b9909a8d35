// Behaviour corpus: runs the staged zovizeve on every case of
// tests/corpus/cases.txt and compares what can be observed (exit status,
// RDD bytes, message lines) with tests/corpus/expected.txt, or records it.
//
//   corpus_run STAGE CORPUS --check [--shard I/N] [--time-limit-ms N]
//       compare (exit 1 on a difference, a record without its case, or a
//       case running past the limit, 60 s by default)
//   corpus_run STAGE CORPUS --record                rewrite expected.txt
//
// A case is a set of ROD files handed to the program through do-nothing
// sibling tools, so that any bytes (empty, missing, damaged files) reach the
// engine as they stand. Lines of cases.txt:
//   gen NAME [scenario=a..e] [files=N] [bytes=N] [seed=N] [time_base=N]
//       [mutations=N] [scrambled] [variety] [time|normal]
//     a set made by the benchmark generator (scenario e runs with -TIME)
//   input NAME PATH
//     a file in the engine fuzz target's format: a first byte whose bit 0
//     asks for -TIME, then ROD files separated by a line "@@@@"; a file that
//     is exactly "@@MISSING@@" is not written, "@@DIRECTORY@@" is a directory
// The scratch directory and the run's time stamp are replaced by @DIR@ and
// @TIME@ before the RDD file and standard error are compared.
#include "e2e_util.h"
#include "rodgen.h"

#include <QCryptographicHash>
#include <QByteArray>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t SHOWN_LINE_LENGTH = 160;
// A case that runs longer hangs, or has become far too slow: it fails.
constexpr int CASE_TIME_LIMIT_MS = 60000;

struct Case {
    std::string name;
    std::vector<std::string> rod_files; // contents, or the markers below
    bool time_mode = false;
};

const std::string MISSING = "@@MISSING@@";
const std::string DIRECTORY = "@@DIRECTORY@@";

struct Outcome {
    bool timed_out = false;
    int status = -1;
    std::string rdd_hash = "none";
    std::string err_hash;
    std::vector<std::string> err_lines;
};

std::vector<std::string> words_of(const std::string &line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

Case generated_case(const std::vector<std::string> &words)
{
    GenParams params;
    params.files = 2;
    params.bytes_per_file = 4000;
    Case c{words.at(1), {}, false};
    bool mode_given = false;
    for (std::size_t i = 2; i < words.size(); ++i) {
        const std::string &word = words[i];
        const std::size_t equal = word.find('=');
        const std::string key = word.substr(0, equal);
        const std::string value = equal == std::string::npos ? "" : word.substr(equal + 1);
        if (key == "scenario") {
            if (!gen_scenario_from_text(value, params.scenario))
                throw std::runtime_error("bad scenario in " + c.name);
        } else if (key == "files") {
            params.files = std::stoi(value);
        } else if (key == "bytes") {
            params.bytes_per_file = std::stoul(value);
        } else if (key == "seed") {
            params.seed = static_cast<uint32_t>(std::stoul(value));
        } else if (key == "time_base") {
            params.time_base = static_cast<uint32_t>(std::stoul(value));
        } else if (key == "mutations") {
            params.mutations = std::stoi(value);
        } else if (key == "scrambled") {
            params.scrambled = true;
        } else if (key == "variety") {
            params.variety = true;
        } else if (key == "time" || key == "normal") {
            c.time_mode = key == "time";
            mode_given = true;
        } else {
            throw std::runtime_error("unknown word " + word + " in " + c.name);
        }
    }
    if (!mode_given)
        c.time_mode = params.scenario == GenScenario::TimeMode;
    for (int file = 0; file < params.files; ++file)
        c.rod_files.push_back(gen_rod_text(params, file));
    return c;
}

Case input_case(const std::vector<std::string> &words, const fs::path &corpus)
{
    Case c{words.at(1), {}, false};
    const std::string data = read_file(corpus / words.at(2));
    if (data.empty())
        return c;
    c.time_mode = (static_cast<unsigned char>(data[0]) & 1) != 0;
    const std::string separator = "\n@@@@\n";
    std::size_t at = 1;
    for (;;) {
        const std::size_t next = data.find(separator, at);
        if (next == std::string::npos) {
            c.rod_files.push_back(data.substr(at));
            break;
        }
        c.rod_files.push_back(data.substr(at, next - at));
        at = next + separator.size();
    }
    return c;
}

std::vector<Case> read_cases(const fs::path &corpus)
{
    std::vector<Case> cases;
    std::ifstream in(corpus / "cases.txt");
    if (!in)
        throw std::runtime_error("cannot read " + (corpus / "cases.txt").string());
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> words = words_of(line);
        if (words.empty() || words[0].starts_with("#"))
            continue;
        if (words[0] == "gen")
            cases.push_back(generated_case(words));
        else if (words[0] == "input")
            cases.push_back(input_case(words, corpus));
        else
            throw std::runtime_error("unknown case kind: " + line);
    }
    if (cases.empty())
        throw std::runtime_error("no case in " + (corpus / "cases.txt").string());
    return cases;
}

// The RDD header's last field is the run's time stamp.
void hide_time_stamp(std::string &rdd)
{
    const std::size_t end = rdd.find('\n');
    const std::size_t close = rdd.rfind('"', end);
    const std::size_t open = close == std::string::npos || close == 0 ? std::string::npos : rdd.rfind('"', close - 1);
    if (open != std::string::npos)
        rdd.replace(open, close - open + 1, "\"@TIME@\"");
}

std::string sha256(const std::string &text)
{
    return QCryptographicHash::hash(QByteArray(text.data(), qsizetype(text.size())), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

// Writes the case's TDC, RIO and ROD files into `dir`; returns the
// arguments of the run.
std::vector<std::string> write_case_files(const Case &c, const fs::path &dir)
{
    write_file(dir / "plan.tdc", "KORVA Probeworks \"v2.6a\" \"BENCH\" \"TDC file\" \"campaign\"\n"
                                "CF \"BENCH\" \"campaign.tds\" \"3.1\" \"B\" \"D\"\n");
    std::vector<std::string> args = {"plan.tdc"};
    for (std::size_t i = 0; i < c.rod_files.size(); ++i) {
        const std::string stem = "r" + std::to_string(i + 1);
        write_file(dir / (stem + ".rio"), "KORVA Probeworks \"v2.6a\" \"BENCH\" \"RIO file\" \"campaign\"\n");
        args.push_back(stem + ".rio");
        if (c.rod_files[i] == DIRECTORY)
            fs::create_directories(dir / (stem + ".rod"));
        else if (c.rod_files[i] != MISSING)
            write_file(dir / (stem + ".rod"), c.rod_files[i]);
    }
    if (c.time_mode)
        args.push_back("-TIME");
    args.push_back("-RDD=out.rdd");
    return args;
}

Outcome run_case(const Case &c, const fs::path &stage, const fs::path &root, const fs::path &tools,
                 int time_limit_ms = CASE_TIME_LIMIT_MS)
{
    const fs::path dir = root / "case";
    fs::remove_all(dir);
    fs::create_directories(dir);
    RunOptions options{.cwd = dir.string(),
                       .env = {{"MOLVEXDIR", stage.string()}, {"ZRM_DIR", tools.string()}, {"PATH", "/usr/bin:/bin"},
                               {"ZV_JOBS", std::nullopt}, {"ZV_PHASE_LOG", std::nullopt}},
                       .timeout_ms = time_limit_ms};
    const RunResult run = run_program((stage / "bin" / "zovizeve").string(), write_case_files(c, dir), options);
    const std::string dir_text = fs::canonical(dir).string();
    Outcome outcome;
    outcome.timed_out = run.timed_out;
    outcome.status = run.status;
    const std::string err = replace_all(run.err, dir_text, "@DIR@");
    if (fs::is_regular_file(dir / "out.rdd")) {
        std::string rdd = read_file(dir / "out.rdd");
        hide_time_stamp(rdd);
        outcome.rdd_hash = sha256(replace_all(rdd, dir_text, "@DIR@"));
    }
    outcome.err_hash = sha256(err);
    for (const std::string &line : split_lines(err))
        outcome.err_lines.push_back(line.size() > SHOWN_LINE_LENGTH ? line.substr(0, SHOWN_LINE_LENGTH) + "..." : line);
    return outcome;
}

std::string format_outcome(const std::string &name, const Outcome &outcome)
{
    std::string text = "== " + name + "\nstatus " + std::to_string(outcome.status) + "\nrdd " + outcome.rdd_hash +
                       "\nstderr " + outcome.err_hash + "\n";
    for (const std::string &line : outcome.err_lines)
        text += "| " + line + "\n";
    return text;
}

// expected.txt: blocks starting with "== NAME", as format_outcome writes them.
std::map<std::string, std::string> read_expected(const fs::path &path)
{
    std::map<std::string, std::string> blocks;
    std::ifstream in(path);
    std::string name;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("== "))
            name = line.substr(3);
        if (!name.empty())
            blocks[name] += line + "\n";
    }
    return blocks;
}

int usage()
{
    std::cerr << "usage: corpus_run STAGE CORPUS --check [--shard I/N] [--time-limit-ms N] | --record\n";
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4)
        return usage();
    const fs::path stage = fs::absolute(argv[1]);
    const fs::path corpus = fs::absolute(argv[2]);
    const std::string action = argv[3];
    std::size_t shard = 0, shards = 1;
    int time_limit_ms = CASE_TIME_LIMIT_MS;
    for (int i = 4; i < argc; i += 2) {
        const std::string option = argv[i];
        if (i + 1 == argc)
            return usage();
        if (option == "--shard" && std::sscanf(argv[i + 1], "%zu/%zu", &shard, &shards) == 2 && shard < shards)
            continue;
        if (option == "--time-limit-ms" && std::sscanf(argv[i + 1], "%d", &time_limit_ms) == 1 && time_limit_ms > 0)
            continue;
        return usage();
    }
    std::vector<Case> cases;
    try {
        cases = read_cases(corpus);
    } catch (const std::exception &error) {
        std::cerr << "corpus_run: " << error.what() << "\n";
        return 1;
    }
    const fs::path root = make_temp_dir();
    const fs::path tools = make_idle_tool_dir((root / "tools").string());
    const struct RemoveAtEnd {
        fs::path dir;
        ~RemoveAtEnd() { fs::remove_all(dir); }
    } scratch{root};
    if (action == "--record") {
        std::string text = "# Recorded by tests/corpus/record.sh; do not edit by hand.\n";
        for (const Case &c : cases)
            text += format_outcome(c.name, run_case(c, stage, root, tools));
        write_file(corpus / "expected.txt", text);
        std::cout << cases.size() << " cases recorded\n";
        return 0;
    }
    if (action != "--check")
        return usage();
    const std::map<std::string, std::string> expected = read_expected(corpus / "expected.txt");
    int failures = 0;
    if (shard == 0) {
        // A record without its case checks nothing: the corpus lost a case.
        std::set<std::string> names;
        for (const Case &c : cases)
            names.insert(c.name);
        for (const auto &[name, record] : expected) {
            if (!names.contains(name)) {
                ++failures;
                std::cout << "NO CASE: " << name << " is recorded in expected.txt but not in cases.txt\n";
            }
        }
    }
    std::size_t checked = 0;
    for (std::size_t i = shard; i < cases.size(); i += shards) {
        const Case &c = cases[i];
        const Outcome outcome = run_case(c, stage, root, tools, time_limit_ms);
        ++checked;
        if (outcome.timed_out) {
            ++failures;
            std::cout << "TIMED OUT: " << c.name << " ran longer than " << time_limit_ms << " ms\n";
            continue;
        }
        const std::string got = format_outcome(c.name, outcome);
        const auto found = expected.find(c.name);
        if (found == expected.end() || found->second != got) {
            ++failures;
            std::cout << "DIFFERS: " << c.name << "\n--- expected\n"
                      << (found == expected.end() ? std::string("(no record)\n") : found->second) << "--- got\n"
                      << got;
        }
    }
    std::cout << checked << " cases, " << failures << " differ\n";
    return failures ? 1 : 0;
}
