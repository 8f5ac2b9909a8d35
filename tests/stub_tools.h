// Stub sibling tools for the tool-runner tests: shell scripts that record
// their arguments (one "[word]" per argument) on standard error and in the
// file `calls` of their directory, and exit with a chosen status.
#pragma once

#include "e2e_util.h"

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>

inline void write_script(const std::string &path, const std::string &body)
{
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ::chmod(path.c_str(), 0755);
}

// The post-processor stub also writes the ROD file as the stand-in does:
// the RIO file without its first line. For RIO file NAME, files of its
// directory choose: status.NAME its status (0 when missing; "kill" makes it
// end by SIGKILL), delay.NAME seconds to sleep first, stdout.NAME text for
// standard output, hang.NAME to write its process number there and wait for SIGTERM
// (which it notes in ended.NAME), norod.NAME to write no ROD file. Each run
// notes "start NAME" and "end NAME" in the file `order`.
inline void write_stub_postpro(const std::string &dir)
{
    write_script(dir + "/zrmpostpro", R"sh(here=$(dirname "$0"); name=$(basename "$1")
if [ -f "$here/hang.$name" ]; then
  trap 'echo "$name" > "$here/ended.$name"; exit 143' TERM
  echo $$ > "$here/hang.$name"; while :; do sleep 0.1; done
fi
echo "start $name" >> "$here/order"
[ -f "$here/delay.$name" ] && sleep "$(cat "$here/delay.$name")"
line="postpro [$0]"; for a in "$@"; do line="$line [$a]"; done
echo "$line" >&2; echo "$line" >> "$here/calls"
[ -f "$here/stdout.$name" ] && cat "$here/stdout.$name"
out="$2"; [ -f "$here/norod.$name" ] || tail -n +2 "$1" > "${out%.*}.rod"
echo "end $name" >> "$here/order"
status=$(cat "$here/status.$name" 2>/dev/null || echo 0)
[ "$status" = kill ] && kill -9 $$
exit "$status"
)sh");
}

inline void write_stub_uml(const std::string &dir, int status = 0)
{
    write_script(dir + "/zrmuml", R"sh(here=$(dirname "$0")
line="uml [$0]"; for a in "$@"; do line="$line [$a]"; done
echo "$line" >&2; echo "$line" >> "$here/calls"
exit )sh" + std::to_string(status) + "\n");
}

inline void set_stub_status(const std::string &dir, const std::string &rio_name, const std::string &status)
{
    std::ofstream(dir + "/status." + rio_name) << status << "\n";
}

// A directory with the stubs, a TDC file t.tdc and RIO files of its script.
struct StubPlan {
    std::string dir = make_temp_dir();
    std::string tool_dir = dir;

    explicit StubPlan(const std::vector<std::string> &rio_names = {"r1.rio", "r2.rio", "r3.res"})
    {
        write_stub_postpro(dir);
        write_stub_uml(dir);
        tdc("t");
        for (const std::string &name : rio_names)
            rio(name, "t");
    }
    void tdc(const std::string &script, const std::string &version = "1")
    {
        write_file(dir + "/" + script + ".tdc", korva_header("TDC file", script) + "CF \"PLAN\" \"" + script +
                                                    ".tds\" \"" + version + "\" \"B\" \"D\"\n");
    }
    void rio(const std::string &name, const std::string &script)
    {
        write_file(dir + "/" + name, korva_header("RIO file", script) + example_body("door_open_run1.rio"));
    }
    ~StubPlan() { std::system(("rm -rf " + dir + " " + (tool_dir == dir ? "" : tool_dir)).c_str()); }
    StubPlan(const StubPlan &) = delete;
    StubPlan &operator=(const StubPlan &) = delete;
    RunResult run(const std::vector<std::string> &args) { return run_in(dir, args, tool_dir); }
    std::vector<std::string> calls() { return split_lines(read_file(dir + "/calls")); }
};
