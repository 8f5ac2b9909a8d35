// Replacing files: a file written whole before it takes its target's place,
// so that no ending of the process (a signal, a fatal error, SIGKILL) leaves
// a partial or temporary file, and an earlier target stays whole until the
// new one is complete.
//
// The file has no name while it is written (O_TMPFILE in the target's
// directory). Once complete it is made durable, given a name and renamed
// over the target, whose mode it keeps. Where the file system has no unnamed
// files, it is written as TARGET.XXXXXX, a name removed by every ending the
// process sees: SIGINT, SIGTERM, SIGHUP and SIGPIPE (the process then ends
// as the signal would have ended it), exit, and the unwinding of the record.
#pragma once

#include <string>
#include <string_view>

struct ReplacingFile {
    int fd = -1;
    std::string target;
    std::string temp_name; // the fallback's name; empty while the file has none
    bool direct = false;   // writing the target itself: it exists and is no regular file (a device, a pipe)

    ReplacingFile() = default;
    ReplacingFile(const ReplacingFile &) = delete;
    ReplacingFile &operator=(const ReplacingFile &) = delete;
    // A file neither committed nor abandoned is abandoned.
    ~ReplacingFile();
};

// Opens a file that is to replace `target`; false with the reason in
// `error` (the system's text, as strerror gives it).
bool replacing_open(ReplacingFile &file, const std::string &target, std::string &error);
// Makes what was written durable and puts it in the target's place; false
// with the reason in `error` (the target is then unchanged, nothing is left).
bool replacing_commit(ReplacingFile &file, std::string &error);
// Closes and removes what was written; the target is unchanged.
void replacing_abandon(ReplacingFile &file);

// Writes all of `bytes` to descriptor `fd`, resuming after interruptions;
// false on an error (errno tells it).
bool write_all(int fd, std::string_view bytes);

// Test hook: false makes replacing_open use the named fallback.
void replacing_use_unnamed_files(bool use);
