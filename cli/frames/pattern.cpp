// Payload patterns as octets: the shift registers of the DATA field's test
// pattern, bits packed LSB first.
#include <bit>
#include <cctype>
#include <cstring>
#include <string>

#include "frames.h"

namespace frames {

namespace {

// One register: its length n, the feedback taps and whether the output is complemented.
struct Register {
    int n;
    uint32_t taps;
    bool complemented;
};

constexpr uint32_t bit(int b) { return 1u << b; }

const Register kRegisters[] = {
    {9, bit(8) | bit(4), false},                   // PN9, x^9 + x^5 + 1
    {15, bit(14) | bit(13), true},                 // PN15, x^15 + x^14 + 1
    {19, bit(18) | bit(4) | bit(1) | bit(0), false},  // PN19, x^19 + x^5 + x^2 + x + 1
    {20, bit(19) | bit(2), false},                 // PN20, x^20 + x^3 + 1
    {23, bit(22) | bit(17), true},                 // PN23, x^23 + x^18 + 1
};

struct Name {
    const char* shown;
    const char* folded;
    Pattern pattern;
};

const Name kNames[] = {
    {"PN9", "pn9", Pattern::PN9},    {"PN15", "pn15", Pattern::PN15},
    {"PN19", "pn19", Pattern::PN19}, {"PN20", "pn20", Pattern::PN20},
    {"PN23", "pn23", Pattern::PN23}, {"ALL0", "all0", Pattern::All0},
    {"ALL1", "all1", Pattern::All1},
};

}  // namespace

std::optional<Pattern> parse_pattern(std::string_view text) {
    std::string folded;
    for (char c : text)
        if (c != ' ') folded += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const Name& n : kNames)
        if (folded == n.folded) return n.pattern;
    return std::nullopt;
}

const char* pattern_name(Pattern p) {
    for (const Name& n : kNames)
        if (n.pattern == p) return n.shown;
    return "?";
}

void pattern_octets(PatternStream& stream, uint8_t* out, size_t count) {
    if (stream.pattern == Pattern::All0 || stream.pattern == Pattern::All1) {
        std::memset(out, stream.pattern == Pattern::All1 ? 0xff : 0x00, count);
        return;
    }
    const Register& r = kRegisters[static_cast<int>(stream.pattern)];
    uint32_t s = stream.reg;
    for (size_t k = 0; k < count; ++k) {
        uint32_t octet = 0;
        for (int j = 0; j < 8; ++j) {
            const uint32_t b = (s >> (r.n - 1)) & 1u;
            octet |= (r.complemented ? 1u - b : b) << j;
            s = (s << 1) | (static_cast<uint32_t>(std::popcount(s & r.taps)) & 1u);
        }
        out[k] = static_cast<uint8_t>(octet);
    }
    stream.reg = s;
}

}  // namespace frames
