#include "num_format.h"

#include <bit>
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

#if defined(__SIZEOF_INT128__)
namespace {

constexpr uint64_t kPow10[20] = {1ull,
                                 10ull,
                                 100ull,
                                 1000ull,
                                 10000ull,
                                 100000ull,
                                 1000000ull,
                                 10000000ull,
                                 100000000ull,
                                 1000000000ull,
                                 10000000000ull,
                                 100000000000ull,
                                 1000000000000ull,
                                 10000000000000ull,
                                 100000000000000ull,
                                 1000000000000000ull,
                                 10000000000000000ull,
                                 100000000000000000ull,
                                 1000000000000000000ull,
                                 10000000000000000000ull};

// "00" "01" ... "99".
constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The 11 significant digits of |v| = m 2^e (m < 2^53, e < 0) rounded to
// nearest, ties to even, as the exact integer floor(m 10^s / 2^-e) and its
// remainder give them. Returns false when the product does not fit in 128
// bits or the shift is too long (the general formatter takes those).
bool digits_at(uint64_t m, int32_t e, int32_t s, uint64_t* q, bool* exact_half, bool* above_half) {
    if (s < 0 || s > 19 || e >= 0 || -e > 120) return false;
    const unsigned __int128 x = static_cast<unsigned __int128>(m) * kPow10[s];
    const int32_t shift = -e;
    const unsigned __int128 one = 1;
    const unsigned __int128 quotient = x >> shift;
    const unsigned __int128 rest = x & ((one << shift) - 1);
    const unsigned __int128 half = one << (shift - 1);
    if (quotient >= (static_cast<unsigned __int128>(1) << 64)) return false;
    *q = static_cast<uint64_t>(quotient);
    *exact_half = rest == half;
    *above_half = rest > half;
    return true;
}

// The 12 or 13 leading digits of |v| = m 2^e for the decimal exponent
// estimate E (exact or one too small): q = floor(m 10^(11 - E) / 2^-e) and
// whether any remainder is left. False where digits_at would refuse.
bool spare_digits(uint64_t m, int32_t e, int32_t E, uint64_t* q, bool* rest_nonzero) {
    const int32_t s = 11 - E;
    if (s < 0 || s > 19 || e >= 0 || -e > 120) return false;
    const unsigned __int128 x = static_cast<unsigned __int128>(m) * kPow10[s];
    const int32_t shift = -e;
    const unsigned __int128 quotient = x >> shift;
    if (quotient >= (static_cast<unsigned __int128>(1) << 64)) return false;
    *q = static_cast<uint64_t>(quotient);
    *rest_nonzero = (x & ((static_cast<unsigned __int128>(1) << shift) - 1)) != 0;
    return true;
}

// "%.10e" of a finite nonzero v in the range digits_at covers; 0 otherwise.
size_t sci10_exact(char* buf, double v) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    const int32_t biased = static_cast<int32_t>((bits >> 52) & 0x7FF);
    if (biased == 0 || biased == 0x7FF) return 0;  // subnormal, NaN, infinity
    const uint64_t m = (bits & ((1ull << 52) - 1)) | (1ull << 52);
    const int32_t e = biased - 1075;
    // Decimal exponent from the binary one, floor((biased - 1023) log10 2)
    // in integers (exact over the whole range): the exponent or one too small.
    int32_t E = ((biased - 1023) * 78913) >> 18;
    uint64_t q = 0;
    bool exact_half = false, above_half = false;
    // One product with a digit or two to spare: the 11 digits are its
    // quotient by 10 or 100, and that division's remainder, with the bits
    // below the product's unit, gives the rounding.
    uint64_t wide;
    bool rest_nonzero;
    const bool spare = spare_digits(m, e, E, &wide, &rest_nonzero);
    if (spare) {
        const bool two = wide >= kPow10[12];
        E += two ? 1 : 0;
        q = two ? wide / 100 : wide / 10;  // divisions by constants
        const uint64_t r = two ? wide % 100 : wide % 10, half = two ? 50 : 5;
        exact_half = r == half && !rest_nonzero;
        above_half = r > half || (r == half && rest_nonzero);
    }
    for (int tries = 0; !spare && tries < 3; ++tries) {
        if (!digits_at(m, e, 10 - E, &q, &exact_half, &above_half)) return 0;
        if (q < kPow10[10]) {
            --E;
        } else if (q >= kPow10[11]) {
            ++E;
        } else {
            break;
        }
    }
    if (q < kPow10[10] || q >= kPow10[11]) return 0;
    if (above_half || (exact_half && (q & 1) != 0)) ++q;
    if (q == kPow10[11]) {  // rounded up to the next power of ten
        q = kPow10[10];
        ++E;
    }
    char* p = buf;
    if (bits >> 63) *p++ = '-';
    // q < 10^11: the lead digit and two, then two groups of four, by pairs.
    const uint32_t head = static_cast<uint32_t>(q / 100000000);  // 100..999
    const uint32_t tail = static_cast<uint32_t>(q % 100000000);
    const uint32_t upper = tail / 10000, lower = tail % 10000;
    *p++ = static_cast<char>('0' + head / 100);
    *p++ = '.';
    std::memcpy(p, kDigitPairs + 2 * (head % 100), 2);
    std::memcpy(p + 2, kDigitPairs + 2 * (upper / 100), 2);
    std::memcpy(p + 4, kDigitPairs + 2 * (upper % 100), 2);
    std::memcpy(p + 6, kDigitPairs + 2 * (lower / 100), 2);
    std::memcpy(p + 8, kDigitPairs + 2 * (lower % 100), 2);
    p += 10;
    *p++ = 'e';
    *p++ = E < 0 ? '-' : '+';
    const int32_t a = E < 0 ? -E : E;
    if (a >= 100) *p++ = static_cast<char>('0' + a / 100);
    *p++ = static_cast<char>('0' + a / 10 % 10);
    *p++ = static_cast<char>('0' + a % 10);
    return static_cast<size_t>(p - buf);
}

}  // namespace
#endif

size_t format_sci10(char* buf, double v) {
    if (v == 0.0) {
        const char* text = std::signbit(v) ? "-0.0000000000e+00" : "0.0000000000e+00";
        const size_t n = std::signbit(v) ? 17 : 16;
        std::memcpy(buf, text, n);
        return n;
    }
#if defined(__SIZEOF_INT128__)
    const size_t n = sci10_exact(buf, v);
    if (n != 0) return n;
#endif
    return format_sci(buf, v, 10, 15);  // compilers without 128-bit integers: the general formatter
}

size_t format_int(char* buf, int64_t v) {
    auto r = std::to_chars(buf, buf + 24, v);
    return static_cast<size_t>(r.ptr - buf);
}
