// DATA decoding of the packet receiver (17.3.5.4 to 17.3.5.6) and the MAC frame.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>

#include "rx.h"
#include "rx_viterbi.h"

namespace orv::analysis::rx {

std::vector<double> deinterleave(const std::vector<double>& soft, int n_cbps, int n_bpsc) {
    std::vector<int> pos(static_cast<size_t>(n_cbps));
    for (int k = 0; k < n_cbps; ++k) pos[static_cast<size_t>(k)] = interleave_position(k, n_cbps, n_bpsc);
    std::vector<double> out(soft.size() - soft.size() % static_cast<size_t>(n_cbps));
    for (size_t base = 0; base < out.size(); base += static_cast<size_t>(n_cbps))
        for (int k = 0; k < n_cbps; ++k) out[base + static_cast<size_t>(k)] = soft[base + static_cast<size_t>(pos[static_cast<size_t>(k)])];
    return out;
}

std::vector<double> depuncture(const std::vector<double>& soft, int mbps) {
    const bool r34 = mbps == 9 || mbps == 18 || mbps == 36 || mbps == 54;
    const bool r23 = mbps == 48;
    if (!r34 && !r23) return soft;
    std::vector<double> out;
    out.reserve(soft.size() * 2);
    // 3/4: A0 B0 A1 B2 -> A0 B0 A1 - - B2; 2/3: A0 B0 A1 -> A0 B0 A1 -.
    const size_t group = r34 ? 4 : 3;
    for (size_t i = 0; i + group <= soft.size(); i += group) {
        out.insert(out.end(), {soft[i], soft[i + 1], soft[i + 2], 0.0});
        if (r34) out.insert(out.end(), {0.0, soft[i + 3]});
    }
    return out;
}

int scrambler_state_from_service(const std::vector<int>& s) {
    // The register holds the last seven outputs: x_i = s(-i), s(n - 7) = s(n) ^ s(n - 4).
    int past[8] = {0};  // past[i] = s(-i)
    auto at = [&](int n) { return n >= 0 ? s[static_cast<size_t>(n)] : past[-n]; };
    for (int i = 1; i <= 7; ++i) past[i] = at(7 - i) ^ at(7 - i - 4);
    int state = 0;
    for (int i = 1; i <= 7; ++i) state |= past[i] << (7 - i);
    return state;
}

std::vector<int16_t> coded_pairs(const std::vector<double>& soft, const RateInfo& rate) {
    const size_t n_cbps = static_cast<size_t>(rate.n_cbps);
    std::vector<size_t> pos(n_cbps);
    for (size_t k = 0; k < n_cbps; ++k) pos[k] = static_cast<size_t>(interleave_position(static_cast<int>(k), rate.n_cbps, rate.n_bpsc));
    const size_t used = soft.size() - soft.size() % n_cbps;
    const double scale = soft_scale(soft.data(), used);
    std::vector<int16_t> in(used);
    for (size_t base = 0; base < used; base += n_cbps)
        for (size_t k = 0; k < n_cbps; ++k) in[base + k] = quantise_soft(soft[base + pos[k]], scale);
    const bool r34 = rate.mbps == 9 || rate.mbps == 18 || rate.mbps == 36 || rate.mbps == 54;
    if (!r34 && rate.mbps != 48) return in;
    // 3/4: A0 B0 A1 B2 -> A0 B0 A1 - - B2; 2/3: A0 B0 A1 -> A0 B0 A1 -.
    const size_t group = r34 ? 4 : 3;
    std::vector<int16_t> out((used / group) * (r34 ? 6 : 4), 0);
    int16_t* o = out.data();
    for (size_t i = 0; i + group <= used; i += group) {
        o[0] = in[i], o[1] = in[i + 1], o[2] = in[i + 2];
        if (r34) o[5] = in[i + 3];
        o += r34 ? 6 : 4;
    }
    return out;
}

namespace {

// One step of the descrambler (17.3.5.4) in state st (bit i: the output i + 1 steps back): its output.
inline int scrambler_step(int& st) {
    const int o = ((st >> 6) ^ (st >> 3)) & 1;
    st = ((st << 1) | o) & 0x7F;
    return o;
}

// The descrambler's next eight outputs (the first in bit 0) from each state, and the state after them.
struct ScramblerByte {
    uint8_t out, next;
};
const std::array<ScramblerByte, 128>& scrambler_bytes() {
    static const std::array<ScramblerByte, 128> t = [] {
        std::array<ScramblerByte, 128> b{};
        for (int s = 0; s < 128; ++s) {
            int st = s, out = 0;
            for (int k = 0; k < 8; ++k) out |= scrambler_step(st) << k;
            b[static_cast<size_t>(s)] = {static_cast<uint8_t>(out), static_cast<uint8_t>(st)};
        }
        return b;
    }();
    return t;
}

}  // namespace

Decoded decode_data(const std::vector<double>& soft, const RateInfo& rate, int length) {
    Decoded d;
    const std::vector<int16_t> pairs = coded_pairs(soft, rate);
    const std::vector<uint8_t> r = viterbi_decode_q(pairs.data(), pairs.size() / 2, false);
    const size_t need = 16 + 8 * static_cast<size_t>(length) + 6;
    if (r.size() < need) return d;
    // The first seven SERVICE bits are zero before scrambling: they are the scrambler's output.
    d.scrambler_init = scrambler_state_from_service(std::vector<int>(r.begin(), r.begin() + 7));
    int st = 0;
    for (size_t n = 0; n < 7; ++n) st = (st << 1) | r[n];
    d.service_ok = true;
    for (size_t n = 7; n < 16; ++n) d.service_ok = (r[n] == scrambler_step(st)) && d.service_ok;
    const std::array<ScramblerByte, 128>& bytes = scrambler_bytes();
    d.psdu.assign(static_cast<size_t>(length), 0);
    for (size_t i = 0; i < d.psdu.size(); ++i) {
        const uint8_t* b = &r[16 + 8 * i];
        const int v = b[0] | b[1] << 1 | b[2] << 2 | b[3] << 3 | b[4] << 4 | b[5] << 5 | b[6] << 6 | b[7] << 7;
        d.psdu[i] = static_cast<uint8_t>(v ^ bytes[static_cast<size_t>(st)].out);
        st = bytes[static_cast<size_t>(st)].next;
    }
    const size_t tail = 16 + 8 * static_cast<size_t>(length);
    d.tail_ok = std::all_of(r.begin() + static_cast<std::ptrdiff_t>(tail), r.begin() + static_cast<std::ptrdiff_t>(tail + 6),
                            [](int b) { return b == 0; });
    for (int k = 0; k < 6; ++k) scrambler_step(st);
    d.pad_ok = true;
    for (size_t n = tail + 6; n < r.size(); ++n) d.pad_ok = (r[n] == scrambler_step(st)) && d.pad_ok;
    return d;
}

namespace {
std::string mac_address(const uint8_t* a) {
    char b[18];
    std::snprintf(b, sizeof b, "%02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
    return b;
}
}  // namespace

MacFrame parse_mac(const std::vector<uint8_t>& psdu) {
    MacFrame m;
    if (psdu.size() < 14) return m;
    const size_t body = psdu.size() - 4;
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), psdu.data(), static_cast<uInt>(body));
    uLong fcs = 0;
    for (int i = 0; i < 4; ++i) fcs |= static_cast<uLong>(psdu[body + static_cast<size_t>(i)]) << (8 * i);
    m.fcs_ok = crc == fcs;
    m.type = (psdu[0] >> 2) & 3;
    m.subtype = (psdu[0] >> 4) & 15;
    static const char* const kNames[4] = {"management", "control", "data", "extension"};
    m.type_name = kNames[m.type];
    // Addresses 1..3 as far as the frame holds them (an ACK or CTS has one).
    for (size_t off = 4; off + 6 <= body && off < 22; off += 6) m.addresses.push_back(mac_address(&psdu[off]));
    if (m.type != 1 && body >= 24) m.seq = (psdu[22] | (psdu[23] << 8)) >> 4;
    return m;
}

}  // namespace orv::analysis::rx
