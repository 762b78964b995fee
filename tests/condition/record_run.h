// Helpers for the conditioning tests that go through orv_11a_actual: a record
// with a burst-off gap, and a CSV run read back into two sample vectors.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "orvasynth.h"
#include "support/files.h"

namespace orv_test {

// DATA-only burst of 10 symbols at oversampling 4 (N = 3200 samples), then a
// 100 us gap (T = 3200 + 8000); filter and every impairment off.
constexpr int32_t kGapBurst = 3200;
constexpr int32_t kGapTotal = 11200;

inline WaveParams gap_record() {
    WaveParams p{};
    p.burst_off_time = 1e-4;
    p.filter_rolloff = 0.25;
    p.frame_format = 1;
    p.burst_enable = 1;
    p.rate_index = 4;
    p.ofdm_symbols = 10;
    p.pn_seed = 0x1FF;
    p.oversampling = 4;
    p.filter_taps = 191;
    return p;
}

struct Samples {
    std::vector<double> i, q;
};

// Parses the "I,Q" lines of a CSV sample file; false on any malformed line.
inline bool parse_csv(const std::string& text, Samples* out) {
    const char* p = text.data();
    const char* end = p + text.size();
    auto number = [&](double* v) {
        while (p < end && *p == ' ') ++p;
        auto r = std::from_chars(p, end, *v);
        if (r.ec != std::errc()) return false;
        p = r.ptr;
        return true;
    };
    while (p < end) {
        double i, q;
        if (!number(&i) || p == end || *p++ != ',' || !number(&q) || p == end || *p++ != '\n')
            return false;
        out->i.push_back(i);
        out->q.push_back(q);
    }
    return true;
}

using EntryPoint = decltype(&orv_11a_actual);

// Runs p in output mode 1 and reads the samples back; returns the result code.
inline int32_t run_csv(WaveParams p, Samples* out, EntryPoint entry = &orv_11a_actual) {
    TempDir dir;
    const std::string path = dir.file("run.csv");
    const int32_t rc = entry(&p, 1, path.c_str());
    if (rc != 0) return rc;
    *out = Samples{};
    EXPECT_TRUE(parse_csv(read_file(path), out)) << "malformed CSV";
    return rc;
}

// True when the first n samples of both channels are exactly zero.
inline bool silent(const Samples& s, size_t n) {
    for (size_t k = 0; k < n && k < s.i.size(); ++k)
        if (s.i[k] != 0.0 || s.q[k] != 0.0) return false;
    return true;
}

}  // namespace orv_test
