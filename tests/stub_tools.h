// Stub sibling tools for the tool-runner tests: shell scripts that record
// their arguments (one "[word]" per argument) on standard error and in the
// file `calls` of their directory, and exit with a chosen status.
#pragma once

#include <fstream>
#include <string>
#include <sys/stat.h>

inline void write_script(const std::string &path, const std::string &body)
{
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ::chmod(path.c_str(), 0755);
}

// The post-processor stub also writes the ROD file as the stand-in does:
// the RIO file without its first line. Its status for RIO file NAME is read
// from the file status.NAME (0 when missing); "kill" makes it end by SIGKILL.
inline void write_stub_postpro(const std::string &dir)
{
    write_script(dir + "/zrmpostpro", R"sh(here=$(dirname "$0")
line="postpro [$0]"; for a in "$@"; do line="$line [$a]"; done
echo "$line" >&2; echo "$line" >> "$here/calls"
out="$2"; tail -n +2 "$1" > "${out%.*}.rod"
status=$(cat "$here/status.$(basename "$1")" 2>/dev/null || echo 0)
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
