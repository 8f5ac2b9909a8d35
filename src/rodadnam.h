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
bool field_number(std::string_view field, int32_t &value);

// The number of numeric field k of a line (its kind must have it).
int32_t line_number_field(LineId line, int k);
void line_set_number_field(LineId line, int k, int32_t value);
