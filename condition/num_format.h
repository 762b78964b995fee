// Locale-free number formatting, byte for byte as printf in the C locale,
// whatever locale the calling program has set.
#pragma once
#include <cstddef>
#include <cstdint>

// Longest text format_fixed can produce with precision <= 20 (DBL_MAX has 309 digits).
constexpr size_t kFixedBufferSize = 352;

// printf("%*.*f", width, precision, v); returns the length (no NUL written).
size_t format_fixed(char* buf, double v, int precision, int width = 0);
// printf("%*.*e", width, precision, v); buf needs precision + 32 bytes.
size_t format_sci(char* buf, double v, int precision, int width = 0);
// printf("%15.10e", v), the CSV number: for the values of a waveform
// (|v| from about 1e-9 to 1e11) the digits come from exact integer
// arithmetic (where the compiler has 128-bit integers), the rest goes to
// format_sci. buf needs 42 bytes.
size_t format_sci10(char* buf, double v);
// printf("%d").
size_t format_int(char* buf, int64_t v);
