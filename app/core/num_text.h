// Number reading and display formatting for the window's text fields.
// Every routine uses "." as the decimal point whatever the process locale.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// Leading number of a text: blanks, tabs and line feeds are skipped anywhere;
// an optional sign, digits with at most one ".", an optional exponent (e/E).
// Reading stops at the first other character; a text without digits gives 0.
// A number too large for a double gives +-HUGE_VAL.
double ReadLeadingNumber(std::string_view text);

// Reads a text that is a decimal number as a whole (outer blanks allowed).
// Returns false, with value 0, when it is not a number or too large for a double.
bool ReadStrictNumber(std::string_view text, double& value);

// Reads a text that is a number as a whole: decimal, with a fraction rounded to
// the nearest integer (halves to even), or "&H" and 1 to 8 hexadecimal digits
// taken as a 32-bit pattern. Returns false, with value 0, when it is not a
// number or does not fit a 32-bit signed integer.
bool ReadStrictInteger(std::string_view text, int32_t& value);

// A 32-bit pattern in upper-case hexadecimal without leading zeros ("80008000", "FF", "0").
std::string FormatHexUpper(uint32_t v);

// Nearest 32-bit integer, halves to the even neighbour; saturates outside the range.
int32_t RoundToInt32(double x);

// Writes v in a display pattern such as "###0", "##0.00", "###0.0#" or
// "###0.0#####": "0" after the point is a decimal always written, "#" one written
// only when not zero. At least one integer digit, no grouping, exact halves
// rounded away from zero, a "-" only when the written value is not zero.
std::string FormatPattern(double v, std::string_view pattern);
