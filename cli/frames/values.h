// Values shared by the options and the description: the rates, the
// scrambler choice, hex seeds and locale-free numbers.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace frames::values {

// Rates in Mbit/s by rate index (17.3.2.3, Table 17-4).
inline constexpr int kRates[8] = {6, 9, 12, 18, 24, 36, 48, 54};
inline constexpr const char* kRateList = "6, 9, 12, 18, 24, 36, 48, 54";
inline constexpr const char* kPatternList = "PN9, PN15, PN19, PN20, PN23, ALL0, ALL1";
inline constexpr double kMaxIdleUs = 1e6;  // one second of silence after a packet
inline constexpr int kMaxDuration = 32767; // Duration/ID values above are not durations

// Rate index of a rate in Mbit/s, or -1.
inline int rate_index(long mbps) {
    for (int k = 0; k < 8; ++k)
        if (kRates[k] == mbps) return k;
    return -1;
}

// A whole decimal number (no sign, no blanks), or nothing.
inline std::optional<long long> whole(std::string_view t) {
    long long v = 0;
    if (t.empty() || t.size() > 18) return std::nullopt;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || end != t.data() + t.size() || v < 0) return std::nullopt;
    return v;
}

// A finite decimal number with '.' as decimal point, or nothing.
inline std::optional<double> number(std::string_view t) {
    double v = 0;
    if (t.empty()) return std::nullopt;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || end != t.data() + t.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

// A PN seed: one to eight hex digits, not zero; or nothing.
inline std::optional<uint32_t> hex_seed(std::string_view t) {
    uint32_t v = 0;
    if (t.empty() || t.size() > 8) return std::nullopt;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v, 16);
    if (ec != std::errc() || end != t.data() + t.size() || v == 0) return std::nullopt;
    return v;
}

// A number as short text with '.' ("0", "2", "1e+06"), independent of the locale.
inline std::string number_text(double v) {
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

}  // namespace frames::values
