#include "geometry.h"

#include "status.h"

int32_t burst_geometry(int32_t frame_format, int32_t burst_enable, double burst_off_time,
                       double window_tr, int32_t ofdm_symbols, int32_t os, BurstGeometry* g) {
    const int64_t os64 = os;
    g->fs = 20000000.0 * os;
    const int64_t P = frame_format == 0 ? 320 * os64 : 0;
    const int64_t S = frame_format == 0 ? 80 * os64 : 0;
    const int64_t D = 80 * static_cast<int64_t>(ofdm_symbols) * os64;
    const int64_t N = P + S + D;
    if (os < 1 || ofdm_symbols < 0 || N > INT32_MAX) return kStatusNoMemory;
    double total = static_cast<double>(N);
    if (burst_enable == 1) {
        total = static_cast<double>(N) + burst_off_time * g->fs;
        if (!(total >= 0.0 && total < 2147483647.0)) return kStatusNoMemory;
    }
    double transition = 0.0;
    if (window_tr > 1e-12) {
        transition = window_tr * g->fs;
        if (!(transition < 2147483647.0)) return kStatusNoMemory;
    }
    g->preamble = static_cast<int32_t>(P);
    g->signal = static_cast<int32_t>(S);
    g->data = static_cast<int32_t>(D);
    g->burst = static_cast<int32_t>(N);
    g->total = static_cast<int32_t>(total);  // truncation toward zero
    g->transition = static_cast<int32_t>(transition);
    return kStatusOk;
}
