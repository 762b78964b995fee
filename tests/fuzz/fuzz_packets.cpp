// Fuzz target: the packet receiver's stages. The bytes are signed 8-bit I/Q pairs at
// 20 MS/s, after a valid preamble and SIGNAL field when the first byte is odd (so the
// demodulator and decoder see them), and also soft values for the decoder and a PSDU
// for the MAC parser. Any input ends in packets whose fields are consistent, never a
// crash, a hang or a leak.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "analysis/reference_tx.h"
#include "analysis.h"
#include "rx.h"
#include "rx_packets.h"
#include "rx_viterbi.h"

namespace {
namespace rx = orv::analysis::rx;

// The preamble and SIGNAL field of a 24 Mbit/s frame of 300 bytes (its first 400 samples).
const std::vector<std::complex<double>>& preamble() {
    static const std::vector<std::complex<double>> p = [] {
        std::vector<std::complex<double>> f = reftx::frame(24, std::vector<int>(8 * 300, 0), 300, 1);
        f.resize(400);
        return f;
    }();
    return p;
}

void check_packets(const std::vector<std::complex<double>>& x, size_t piece) {
    const orv::analysis::Options opt;
    bool truncated = false;
    const auto packets = orv::analysis::receive_packets(x.data(), static_cast<int64_t>(x.size()), 1, opt, &truncated);
    for (const orv::analysis::PacketResult& p : packets) {
        if (p.start < -400 || p.start > static_cast<int64_t>(x.size())) std::abort();
        if (p.decoded && p.test_pattern.empty() && p.psdu.size() != static_cast<size_t>(p.length)) std::abort();
        if (p.fcs_ok && !p.decoded) std::abort();
        if (p.leakage_db && !(*p.leakage_db <= 1e3)) std::abort();
    }
    // The same samples fed piece by piece (small windows) give the same packets.
    orv::analysis::PacketStream stream(1, opt, 0, static_cast<int64_t>(x.size()), 64);
    for (size_t at = 0; at < x.size(); at += piece) stream.push(x.data() + at, std::min(piece, x.size() - at));
    const auto pieces = stream.finish(nullptr);
    if (pieces.size() != packets.size()) std::abort();
    for (size_t i = 0; i < pieces.size(); ++i)
        if (pieces[i].start != packets[i].start || pieces[i].psdu != packets[i].psdu) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    std::vector<std::complex<double>> x;
    if (data[0] & 1) x = preamble();
    for (size_t i = 1; i + 1 < size; i += 2)
        x.emplace_back(static_cast<int8_t>(data[i]) / 128.0, static_cast<int8_t>(data[i + 1]) / 128.0);
    check_packets(x, 1 + data[size - 1] % 97);

    // The decoder on soft values from the bytes, at the rate and LENGTH the first bytes give.
    static const int kRates[8] = {6, 9, 12, 18, 24, 36, 48, 54};
    const orv::analysis::RateInfo* rate = orv::analysis::rate_by_mbps(kRates[data[0] >> 5]);
    const int length = 1 + (data[1] % 64);
    std::vector<double> soft;
    for (size_t i = 2; i < size; ++i) soft.push_back(static_cast<int8_t>(data[i]));
    const rx::Decoded d = rx::decode_data(soft, *rate, length);
    if (!d.psdu.empty() && d.psdu.size() != static_cast<size_t>(length)) std::abort();
    if (d.scrambler_init < 0 || d.scrambler_init > 127) std::abort();

    // The 16-bit decoder's two loops decide alike on any soft values.
    const std::vector<int16_t> pairs = rx::coded_pairs(soft, *rate);
    if (rx::viterbi_decode_q(pairs.data(), pairs.size() / 2, false, rx::AcsKernel::best) !=
        rx::viterbi_decode_q(pairs.data(), pairs.size() / 2, false, rx::AcsKernel::plain))
        std::abort();

    // The decoder without a search, on a codeword of the bytes' bits with magnitudes, one sign
    // flipped and the A (or B) values of some steps zero where the bytes say: whatever it accepts, the Viterbi decoder decodes alike.
    std::vector<int> u;
    for (size_t i = 0; i < size; ++i)
        for (int k = 0; k < 8; ++k) u.push_back(data[i] >> k & 1);
    const std::vector<int> ab = reftx::encode(u);
    std::vector<int16_t> q(ab.size());
    for (size_t i = 0; i < q.size(); ++i) {
        const int mag = data[i / 2 % size] % 7 == 0 && (i & 1) == (data[0] & 1u) ? 0 : 1 + data[i % size] % 200;
        q[i] = static_cast<int16_t>(ab[i] ? mag : -mag);
    }
    if (data[1] & 1) q[data[0] % q.size()] = static_cast<int16_t>(-q[data[0] % q.size()]);
    for (bool terminated : {false, true}) {
        std::vector<uint8_t> bits;
        if (rx::decode_if_codeword(q.data(), q.size() / 2, terminated, bits) &&
            bits != rx::viterbi_decode_q(q.data(), q.size() / 2, terminated, rx::AcsKernel::plain))
            std::abort();
    }

    const rx::MacFrame m = rx::parse_mac(std::vector<uint8_t>(data, data + size));
    if (m.addresses.size() > 3) std::abort();
    return 0;
}
