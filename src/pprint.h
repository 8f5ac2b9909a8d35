// Printer: writes report lines in the report line format, the code, then
// each field followed by one blank, then a newline. Numbers come out as
// decimals in double quotes, like the fields read from a file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "rodmodel.h"

// Output gathered in memory and written in large blocks.
class OutputBuffer {
public:
    explicit OutputBuffer(FILE *out) : out_(out) { text_.reserve(CAPACITY + 8192); }
    void add(std::string_view bytes)
    {
        text_.append(bytes);
        if (text_.size() >= CAPACITY)
            flush();
    }
    void add(char c) { text_.push_back(c); }
    void add_number(int32_t value);
    // Writes what is gathered; false once any write failed.
    bool flush();

private:
    static constexpr std::size_t CAPACITY = std::size_t{1} << 20;
    FILE *out_;
    std::string text_;
    bool failed_ = false;
};

// Prints a line: its code and fields as read (those it lost left out: the
// last two it was read with, when `drop_last_two`), numeric fields from its
// values (its time field raised by `time_offset`), then its origin pairs.
void print_line(OutputBuffer &out, LineId line, bool drop_last_two, uint32_t time_offset);
