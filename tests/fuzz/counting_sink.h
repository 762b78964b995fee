// A sample sink for the reader fuzz targets: counts the samples handed over
// and aborts at the first one that Check rejects.
#pragma once
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "reader.h"

namespace orv_fuzz {

// Accepts every sample.
struct AnySample {
    bool operator()(const std::complex<double>&) const { return true; }
};

template <class Check = AnySample>
class CountingSink : public orv::analysis::SampleSink {
  public:
    int64_t n = 0;
    void block(const std::complex<double>* x, size_t count, const uint16_t*, const uint16_t*) override {
        for (size_t k = 0; k < count; ++k)
            if (!Check{}(x[k])) std::abort();
        n += static_cast<int64_t>(count);
    }
};

}  // namespace orv_fuzz
