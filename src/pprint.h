// Printer: writes report lines in the report line format, the code, then
// each field followed by one blank, then a newline. Numbers come out as
// decimals in double quotes, like the fields read from a file.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "cstsyst.h"
#include "rodmodel.h"

// Brings what is written to a regular file to the disk on a helper
// thread, a step at a time while the writing goes on, so that the sync that
// completes the file has little left to wait for: on a virtual disk that
// sync takes time in proportion to the bytes not yet synced, even once
// they were written back (29 MB: 15 ms). A sync that fails is kept and
// told by finish: the file's later sync may no longer see that error.
class DiskWriteBack {
public:
    explicit DiskWriteBack(int fd) : fd_(fd) {}
    ~DiskWriteBack() { finish(); }
    DiskWriteBack(const DiskWriteBack &) = delete;
    DiskWriteBack &operator=(const DiskWriteBack &) = delete;

    // What is written so far is to reach the disk; without a helper thread,
    // its writing back is started.
    void request();
    // Waits for the helper; false when a sync failed.
    bool finish();

private:
    void sync_requested();
    int fd_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread helper_;
    bool helper_failed_to_start_ = false;
    bool wanted_ = false;
    bool stopping_ = false;
    bool failed_ = false;
};

// Output gathered in memory: written in large blocks to a stream, or kept
// whole for a caller that writes it later. Its room comes from the checked
// allocator, so running out of it ends the process as any allocation does.
class OutputBuffer {
public:
    explicit OutputBuffer(FILE *out) : out_(out) { grow(STREAM_CAPACITY); }
    // Kept in memory, growing as needed.
    OutputBuffer() { grow(MEMORY_CAPACITY); }
    OutputBuffer(const OutputBuffer &) = delete;
    OutputBuffer &operator=(const OutputBuffer &) = delete;

    void add(std::string_view bytes)
    {
        if (bytes.size() > capacity_ - used_) {
            add_large(bytes);
            return;
        }
        // An empty view may have no bytes at all (a field a changed file lost).
        if (!bytes.empty())
            std::memcpy(text_.get() + used_, bytes.data(), bytes.size());
        used_ += bytes.size();
    }
    void add(char c)
    {
        if (used_ == capacity_)
            make_room(1);
        text_[used_++] = c;
    }
    // "\"value\" ", as "%d" in double quotes followed by a blank.
    void add_number(int32_t value);
    // Writes what is gathered to the stream; false once any write failed.
    bool flush();
    // The last flush: also waits until what was brought to the disk on the
    // way is there; false once any write or sync failed.
    bool finish();
    // Writes what is gathered, then `bytes` as they stand (a stream's
    // large text needs no copy into the buffer).
    void write_through(std::string_view bytes);

    // What a buffer kept in memory holds.
    std::string_view text() const { return {text_.get(), used_}; }
    void clear() { used_ = 0; }
    // Exchanges what two buffers kept in memory hold, and their room.
    void swap_contents(OutputBuffer &other);

private:
    static constexpr std::size_t STREAM_CAPACITY = std::size_t{1} << 20;
    static constexpr std::size_t MEMORY_CAPACITY = std::size_t{1} << 16;
    // Room for `size` more bytes: the stream's buffer is written, a memory one grows.
    void make_room(std::size_t size);
    // Writes `bytes` to the stream, and has it brought to the disk every
    // WRITE_BACK_STEP bytes when the stream is a regular file's.
    void write_out(std::string_view bytes);
    static constexpr std::size_t WRITE_BACK_STEP = std::size_t{1} << 20;
    void grow(std::size_t capacity);
    void add_large(std::string_view bytes);
    FILE *out_ = nullptr;
    std::unique_ptr<char[], XFree> text_;
    std::size_t capacity_ = 0;
    std::size_t used_ = 0;
    bool failed_ = false;
    std::size_t unsynced_ = 0; // written since the last write-back step
    bool not_on_disk_ = false; // a pipe, a device: nothing to bring to a disk
    std::unique_ptr<DiskWriteBack> write_back_;
};

// Prints a line: its code and fields as read (those it lost left out: the
// last two it was read with, when `drop_last_two`), numeric fields from its
// values (its time field raised by `time_offset`), then its origin pairs.
void print_line(OutputBuffer &out, LineId line, bool drop_last_two, uint32_t time_offset);
