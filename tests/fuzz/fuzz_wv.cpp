// Fuzz target: the R&S WV reader behind orvcheck. Any bytes must end in a
// result or a ReadError, never a crash, a hang or a leak; a result's samples
// are those handed over, its markers inside them, its figures finite.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "counting_sink.h"
#include "instrument_reader.h"

namespace {

// A sample within full scale of a 16-bit code (NaN fails).
struct WithinFullScale {
    bool operator()(const std::complex<double>& x) const {
        return std::fabs(x.real()) <= 32768.0 / 32767.0 && std::fabs(x.imag()) <= 32768.0 / 32767.0;
    }
};
using CountingSink = orv_fuzz::CountingSink<WithinFullScale>;

void check_spans(const std::vector<orv::analysis::MarkerSpan>& spans, int64_t samples) {
    int64_t end = 0;
    for (const auto& s : spans) {
        if (s.length <= 0 || s.start < end || s.start + s.length > samples) std::abort();
        end = s.start + s.length;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    CountingSink sink;
    try {
        const auto info = orv::analysis::read_wv(in, sink);
        if (info.samples != sink.n || !(info.sample_rate_hz > 0)) std::abort();
        check_spans(info.marker1, info.samples);
        check_spans(info.marker2, info.samples);
        (void)orv::analysis::level_offsets_agree(info);
    } catch (const orv::analysis::ReadError&) {
    }
    return 0;
}
