// Printer: writes report lines in the report line format, the code, then
// each field followed by one blank, then a newline. Numbers come out as
// decimals in double quotes, like the fields read from a file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "rodmodel.h"

// Output gathered in memory and written in large blocks, to a stream or
// to the end of a string.
class OutputBuffer {
public:
    explicit OutputBuffer(FILE *out) : out_(out), text_(new char[CAPACITY]) {}
    explicit OutputBuffer(std::string &sink) : sink_(&sink), text_(new char[CAPACITY]) {}
    void add(std::string_view bytes)
    {
        if (bytes.size() > CAPACITY - used_) {
            add_large(bytes);
            return;
        }
        std::memcpy(text_.get() + used_, bytes.data(), bytes.size());
        used_ += bytes.size();
    }
    void add(char c)
    {
        if (used_ == CAPACITY)
            flush();
        text_[used_++] = c;
    }
    // "\"value\" ", as "%d" in double quotes followed by a blank.
    void add_number(int32_t value);
    // Writes what is gathered; false once any write failed.
    bool flush();

private:
    static constexpr std::size_t CAPACITY = std::size_t{1} << 20;
    void add_large(std::string_view bytes);
    void put(const char *bytes, std::size_t size);
    FILE *out_ = nullptr;
    std::string *sink_ = nullptr;
    std::unique_ptr<char[]> text_;
    std::size_t used_ = 0;
    bool failed_ = false;
};

// Prints a line: its code and fields as read (those it lost left out: the
// last two it was read with, when `drop_last_two`), numeric fields from its
// values (its time field raised by `time_offset`), then its origin pairs.
void print_line(OutputBuffer &out, LineId line, bool drop_last_two, uint32_t time_offset);
