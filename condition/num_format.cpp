#include "num_format.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace {

// Writes printf's spelling of a NaN or an infinity ("nan", "-nan", "inf", "-inf").
size_t format_special(char* buf, double v) {
    const char* text = std::isnan(v) ? (std::signbit(v) ? "-nan" : "nan")
                                     : (v < 0 ? "-inf" : "inf");
    size_t n = std::strlen(text);
    std::memcpy(buf, text, n);
    return n;
}

// Right-justifies the n characters at buf to width with leading blanks.
size_t pad_left(char* buf, size_t n, int width) {
    if (width <= 0 || n >= static_cast<size_t>(width)) return n;
    size_t pad = static_cast<size_t>(width) - n;
    std::memmove(buf + pad, buf, n);
    std::memset(buf, ' ', pad);
    return static_cast<size_t>(width);
}

}  // namespace

size_t format_fixed(char* buf, double v, int precision, int width) {
    size_t n;
    if (!std::isfinite(v)) {
        n = format_special(buf, v);
    } else {
        auto r = std::to_chars(buf, buf + kFixedBufferSize, v, std::chars_format::fixed, precision);
        n = static_cast<size_t>(r.ptr - buf);
    }
    return pad_left(buf, n, width);
}

size_t format_sci(char* buf, double v, int precision, int width) {
    size_t n;
    if (!std::isfinite(v)) {
        n = format_special(buf, v);
    } else {
        auto r = std::to_chars(buf, buf + precision + 32, v, std::chars_format::scientific,
                               precision);
        n = static_cast<size_t>(r.ptr - buf);
    }
    return pad_left(buf, n, width);
}

size_t format_int(char* buf, int64_t v) {
    auto r = std::to_chars(buf, buf + 24, v);
    return static_cast<size_t>(r.ptr - buf);
}
