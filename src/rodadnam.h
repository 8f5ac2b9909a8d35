// Numeric fields of the line kinds: which fields hold numbers, how a field
// is read as one, how many fields a line of a kind must have, and the
// accessors of the numbers a line keeps.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "rodmodel.h"

// Positions of the numeric fields of a kind, in the order of its value slots.
std::span<const int> numeric_fields(int kind);
// The value slot of field `position` of a kind; -1 when it holds text.
int numeric_slot(int kind, int position);

// Kinds written without the last two fields they were read with.
bool loses_last_two_fields(int kind);
// Fields a line of the kind must have been read with: its last numeric
// field, and two for the kinds that lose their last two.
int fields_needed(int kind);

// Reads a field (quotes included) as a number, as "\"%ld\"" scans it:
// blanks, a sign and decimal digits after the opening quote; 0 for the
// unknown value "??" and for a field without digits. False when the number
// does not fit in 32 signed bits.
bool field_number_general(std::string_view field, int32_t &value);

// field_number_general, with the field the scan meets most inline: up to
// nine digits between the quotes (which cannot overflow).
inline bool field_number(std::string_view field, int32_t &value)
{
    if (field.size() >= 3 && field.size() <= 11 && field.back() == '"') {
        uint32_t number = 0;
        std::size_t at = 1;
        for (; at + 1 < field.size(); ++at) {
            const auto digit = static_cast<uint32_t>(field[at] - '0');
            if (digit > 9)
                break;
            number = number * 10 + digit;
        }
        if (at + 1 == field.size()) {
            value = static_cast<int32_t>(number);
            return true;
        }
    }
    return field_number_general(field, value);
}

// The number of numeric field k of a line (its kind must have it).
int32_t line_number_field(LineId line, int k);
void line_set_number_field(LineId line, int k, int32_t value);
