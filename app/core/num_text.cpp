#include "num_text.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Blanks that the leading-number reading skips wherever they stand.
bool IsSkippedBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

int32_t HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A decimal number taken apart: its digits, how many of them stand before the
// point, and the exponent (saturated far beyond the double range).
struct DecimalParts {
    bool negative = false;
    std::string digits;
    int64_t int_digits = 0;
    int64_t exponent = 0;
};

void AddExponentDigit(int64_t& exponent, char c) {
    if (exponent < 1000000000) exponent = exponent * 10 + (c - '0');
}

// Converts the parts to a double; beyond the double range gives +-HUGE_VAL
// (value too large) or +-0 (value too small). Returns false in the first case.
bool PartsToDouble(const DecimalParts& p, double& value) {
    std::string clean = p.digits.substr(0, static_cast<size_t>(p.int_digits));
    if (clean.empty()) clean.push_back('0');
    if (static_cast<size_t>(p.int_digits) < p.digits.size()) {
        clean += '.';
        clean += p.digits.substr(static_cast<size_t>(p.int_digits));
    }
    clean += 'e';
    clean += std::to_string(p.exponent);
    double v = 0.0;
    auto r = std::from_chars(clean.data(), clean.data() + clean.size(), v, std::chars_format::general);
    bool in_range = true;
    if (r.ec == std::errc::result_out_of_range) {
        // Power of ten of the first nonzero digit decides between the two ends.
        size_t first = p.digits.find_first_not_of('0');
        int64_t power = p.int_digits - 1 - static_cast<int64_t>(first) + p.exponent;
        if (first != std::string::npos && power > 0) {
            v = HUGE_VAL;
            in_range = false;
        } else {
            v = 0.0;
        }
    } else if (r.ec != std::errc()) {
        v = 0.0;
    }
    value = p.negative ? -v : v;
    return in_range;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// Rounds the magnitude digits "int.frac" (exact expansion) to max_dec decimals,
// halves away from zero; returns integer and fraction digits.
void RoundDigits(std::string& int_part, std::string& frac_part, size_t max_dec) {
    bool up = frac_part.size() > max_dec && frac_part[max_dec] >= '5';
    frac_part.resize(max_dec, '0');
    if (!up) return;
    for (size_t i = frac_part.size(); i-- > 0;) {
        if (frac_part[i] != '9') {
            ++frac_part[i];
            return;
        }
        frac_part[i] = '0';
    }
    for (size_t i = int_part.size(); i-- > 0;) {
        if (int_part[i] != '9') {
            ++int_part[i];
            return;
        }
        int_part[i] = '0';
    }
    int_part.insert(int_part.begin(), '1');
}

}  // namespace

double ReadLeadingNumber(std::string_view text) {
    DecimalParts p;
    size_t i = 0;
    auto skip = [&] {
        while (i < text.size() && IsSkippedBlank(text[i])) ++i;
    };
    skip();
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        p.negative = text[i] == '-';
        ++i;
    }
    bool seen_point = false;
    for (;; ++i) {
        skip();
        if (i >= text.size()) break;
        char c = text[i];
        if (IsDigit(c)) {
            p.digits += c;
            if (!seen_point) ++p.int_digits;
        } else if (c == '.' && !seen_point) {
            seen_point = true;
        } else {
            break;
        }
    }
    if (p.digits.empty()) return 0.0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        while (j < text.size() && IsSkippedBlank(text[j])) ++j;
        bool exp_negative = false;
        if (j < text.size() && (text[j] == '-' || text[j] == '+')) {
            exp_negative = text[j] == '-';
            ++j;
        }
        int64_t exponent = 0;
        bool any = false;
        for (; j < text.size(); ++j) {
            if (IsSkippedBlank(text[j])) continue;
            if (!IsDigit(text[j])) break;
            AddExponentDigit(exponent, text[j]);
            any = true;
        }
        if (any) p.exponent = exp_negative ? -exponent : exponent;
    }
    double v = 0.0;
    PartsToDouble(p, v);
    return v;
}

bool ReadStrictNumber(std::string_view text, double& value) {
    value = 0.0;
    text = TrimBlanks(text);
    DecimalParts p;
    size_t i = 0;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        p.negative = text[i] == '-';
        ++i;
    }
    bool seen_point = false;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (IsDigit(c)) {
            p.digits += c;
            if (!seen_point) ++p.int_digits;
        } else if (c == '.' && !seen_point) {
            seen_point = true;
        } else {
            break;
        }
    }
    if (p.digits.empty()) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool exp_negative = false;
        if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
            exp_negative = text[i] == '-';
            ++i;
        }
        int64_t exponent = 0;
        size_t start = i;
        for (; i < text.size() && IsDigit(text[i]); ++i) AddExponentDigit(exponent, text[i]);
        if (i == start) return false;
        p.exponent = exp_negative ? -exponent : exponent;
    }
    if (i != text.size()) return false;
    double v = 0.0;
    if (!PartsToDouble(p, v)) return false;
    value = v;
    return true;
}

int32_t RoundToInt32(double x) {
    if (std::isnan(x)) return 0;
    double fl = std::floor(x);
    double diff = x - fl;
    double r = fl;
    if (diff > 0.5 || (diff == 0.5 && std::fmod(fl, 2.0) != 0.0)) r = fl + 1.0;
    if (r >= 2147483647.0) return INT32_MAX;
    if (r <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(r);
}

bool ReadStrictInteger(std::string_view text, int32_t& value) {
    value = 0;
    std::string_view t = TrimBlanks(text);
    if (t.size() >= 2 && t[0] == '&' && (t[1] == 'H' || t[1] == 'h')) {
        std::string_view hex = t.substr(2);
        if (hex.empty() || hex.size() > 8) return false;
        uint32_t pattern = 0;
        for (char c : hex) {
            int32_t d = HexDigitValue(c);
            if (d < 0) return false;
            pattern = pattern * 16u + static_cast<uint32_t>(d);
        }
        value = static_cast<int32_t>(pattern);
        return true;
    }
    double x = 0.0;
    if (!ReadStrictNumber(t, x)) return false;
    if (!(x >= -2147483648.5 && x <= 2147483647.5)) return false;
    double fl = std::floor(x);
    double diff = x - fl;
    double r = fl;
    if (diff > 0.5 || (diff == 0.5 && std::fmod(fl, 2.0) != 0.0)) r = fl + 1.0;
    if (r > 2147483647.0 || r < -2147483648.0) return false;
    value = static_cast<int32_t>(r);
    return true;
}

std::string FormatPattern(double v, std::string_view pattern) {
    size_t point = pattern.find('.');
    size_t min_dec = 0;
    size_t max_dec = 0;
    if (point != std::string_view::npos) {
        for (char c : pattern.substr(point + 1)) {
            if (c == '0') ++min_dec;
            if (c == '0' || c == '#') ++max_dec;
        }
    }
    if (!std::isfinite(v)) return std::isnan(v) ? "NaN" : (v < 0 ? "-Infinity" : "Infinity");

    // The exact decimal expansion of a double has at most 1074 decimals, so
    // this precision makes the rounding below act on the true value.
    static constexpr int kExactDecimals = 1080;
    char buf[1500];
    auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::fixed, kExactDecimals);
    std::string_view all(buf, static_cast<size_t>(r.ptr - buf));
    size_t dot = all.find('.');
    std::string int_part(all.substr(0, dot));
    std::string frac_part(dot == std::string_view::npos ? std::string_view() : all.substr(dot + 1));
    RoundDigits(int_part, frac_part, max_dec);
    while (frac_part.size() > min_dec && frac_part.back() == '0') frac_part.pop_back();

    bool zero = int_part.find_first_not_of('0') == std::string::npos &&
                frac_part.find_first_not_of('0') == std::string::npos;
    std::string out;
    if (v < 0 && !zero) out += '-';
    out += int_part;
    if (!frac_part.empty()) {
        out += '.';
        out += frac_part;
    }
    return out;
}

std::string FormatHexUpper(uint32_t v) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string hex;
    do {
        hex.insert(hex.begin(), kHex[v % 16u]);
        v /= 16u;
    } while (v != 0);
    return hex;
}
