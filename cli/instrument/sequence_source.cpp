#include <cmath>
#include <memory>

#include "burst_source.h"
#include "noise.h"

namespace orv::instrument {

namespace {

// The library's taker of a sequence: nothing may escape it as an exception.
int32_t ORV_CALL take_block(void* context, int64_t first, int32_t n, const double* i, const double* q) {
    (void)first;
    try {
        return (*static_cast<const BlockSink*>(context))(n, i, q) ? 0 : 1;
    } catch (...) {
        return 1;
    }
}

int32_t ORV_CALL stop_at_once(void*, int64_t, int32_t, const double*, const double*) { return 1; }

// DATA symbols of a PSDU of length octets at a rate (17.3.5.4: SERVICE, PSDU, tail).
int64_t data_symbols(int32_t rate_index, int32_t length) {
    static const int64_t kNdbps[8] = {24, 36, 48, 72, 96, 144, 192, 216};
    const int64_t ndbps = kNdbps[rate_index >= 0 && rate_index < 8 ? rate_index : 0];
    return (16 + 8 * static_cast<int64_t>(length) + 6 + ndbps - 1) / ndbps;
}

// The packets on air, each from its start over its fields (preamble, SIGNAL,
// DATA). With a sample clock d ppm fast, output sample n is the waveform at
// n (1 + d 1e-6): a packet's end moves as its start does, to the nearest
// sample of its nominal end over 1 + d 1e-6. False when the nominal layout
// could not be made.
bool on_air_intervals(const OrvSequenceParams& params, const OrvImpairments* imp,
                      const std::vector<OrvPacket>& packets, const std::vector<int64_t>& starts,
                      std::vector<Interval>& on_air) {
    const bool clock = imp != nullptr && imp->clock_ppm != 0.0;
    std::vector<int64_t> nominal(packets.size(), 0);
    if (clock) {
        OrvSequenceParams p = params;
        if (orv_11a_sequence_impaired_blocks(&p, nullptr, packets.data(), static_cast<int32_t>(packets.size()),
                                             stop_at_once, nullptr, nominal.data()) != ORV_STOPPED)
            return false;
    }
    const double ratio = clock ? 1.0 + imp->clock_ppm * 1e-6 : 1.0;
    on_air.clear();
    for (size_t k = 0; k < packets.size(); ++k) {
        const OrvPacket& pk = packets[k];
        int64_t length = (400 + 80 * data_symbols(pk.rate_index, pk.psdu_length)) * params.oversampling;
        if (clock) length = std::llround(static_cast<double>(nominal[k] + length) / ratio) - starts[k];
        on_air.push_back({starts[k], length});
    }
    return true;
}

}  // namespace

int32_t sequence_source(const OrvSequenceParams& params, const std::vector<OrvPacket>& packets,
                        const OrvImpairments* imp, SampleSource& src, std::vector<int64_t>& starts,
                        std::string& error) {
    auto p = std::make_shared<OrvSequenceParams>(params);
    // The record is copied; its arrays stay the caller's.
    auto impairments = imp ? std::make_shared<OrvImpairments>(*imp) : nullptr;
    auto list = std::make_shared<std::vector<OrvPacket>>(packets);
    const auto count = static_cast<int32_t>(list->size());
    starts.assign(list->size(), 0);
    // The layout without the samples: the call stops before its first block
    // (the noise generator's table stays as it was).
    const int32_t rc = orv_11a_sequence_impaired_blocks(p.get(), impairments.get(), list->data(), count, stop_at_once,
                                                        nullptr, starts.data());
    if (rc != ORV_STOPPED) {
        error = "the sequence could not be laid out (library result " + std::to_string(rc) + ")";
        return rc == 0 ? 1 : rc;
    }
    src.count = p->total_samples;
    src.fs = 20000000.0 * p->oversampling * (p->channel_mhz / 20.0);
    if (!on_air_intervals(*p, impairments.get(), *list, starts, src.on_air)) {
        error = "the sequence could not be laid out without its clock offset";
        return 1;
    }
    // Every run starts the noise generator where it stood before the first.
    struct NoiseStart {
        bool saved = false;
        int32_t table[kNoiseTableSize + 1];
    };
    auto start = std::make_shared<NoiseStart>();
    src.run = [p, impairments, list, start, count](const BlockSink& sink) -> int32_t {
        if (start->saved)
            noise_table_restore(start->table);
        else
            noise_table_copy(start->table);
        start->saved = true;
        return orv_11a_sequence_impaired_blocks(p.get(), impairments.get(), list->data(), count, take_block,
                                                const_cast<BlockSink*>(&sink), nullptr);
    };
    return 0;
}

}  // namespace orv::instrument
