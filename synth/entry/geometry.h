// Burst geometry of a parameter record: the sample counts every stage works over.
#pragma once
#include <cstdint>

// Burst geometry of one record (all counts in samples at 20 MHz * os).
struct BurstGeometry {
    double fs;          // sampling rate in Hz
    int32_t preamble;   // P: 320 * os in the full format, else 0
    int32_t signal;     // S: 80 * os in the full format, else 0
    int32_t data;       // D: 80 * ofdm_symbols * os
    int32_t burst;      // N = P + S + D
    int32_t total;      // T: N, plus the truncated burst-off gap when burst_enable is 1
    int32_t transition; // L: edge-taper length, 0 without windowing
};

// Geometry of a validated record; returns kStatusOk, or kStatusNoMemory when a
// count would not fit in int32 (no array could hold it).
int32_t burst_geometry(int32_t frame_format, int32_t burst_enable, double burst_off_time,
                       double window_tr, int32_t ofdm_symbols, int32_t os, BurstGeometry* g);
