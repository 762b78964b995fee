// Fuzz target: the waveform readers and the analysis behind orvcheck. Any bytes
// must end in a result or a ReadError / AnalysisError, never a crash, a hang or
// a leak; a result's burst lies inside the samples read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "analysis.h"

namespace {

class NullSink : public orv::analysis::SampleSink {
public:
    int64_t n = 0;
    void block(const std::complex<double>*, size_t count, const uint16_t* ci, const uint16_t* cq) override {
        for (size_t k = 0; ci && k < count; ++k)
            if (ci[k] > orv::analysis::kAwgCodeMax || cq[k] > orv::analysis::kAwgCodeMax) std::abort();
        n += static_cast<int64_t>(count);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    for (int reader = 0; reader < 2; ++reader) {
        std::istringstream in(bytes);
        NullSink sink;
        try {
            const auto info = reader == 0 ? orv::analysis::read_awg(in, sink) : orv::analysis::read_csv(in, sink);
            if (info.samples != sink.n) std::abort();
        } catch (const orv::analysis::ReadError&) {
        }
    }
    // The whole analysis, with the oversampling factor given or found.
    for (int os : {0, 4}) {
        std::istringstream in(bytes);
        orv::analysis::Options opt;
        if (os) opt.oversample = os;
        try {
            const orv::analysis::Result r = orv::analysis::analyse_stream(in, "fuzz", opt);
            if (r.burst.start < -1000000 || r.burst.length < 0) std::abort();
            (void)orv::analysis::format_report(r);
            (void)orv::analysis::format_json(r);
        } catch (const orv::analysis::ReadError&) {
        } catch (const orv::analysis::AnalysisError&) {
        }
    }
    return 0;
}
