// libFuzzer target: orv_11a_actual over arbitrary WaveParams bytes and output
// modes. Valid counts are scaled down so a call stays small, while values
// outside the validated ranges (negative, NaN, infinite, too large) pass
// through unchanged, so every validation branch stays reachable. The byte
// after the output mode picks one allocation of the library to fail (0: none;
// the target is linked with malloc, calloc and realloc wrapped): the call must
// then return 1 with nothing written and the record unchanged, or not reach
// that allocation at all.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "failing_alloc.h"
#include "orvasynth.h"
#include "scratch.h"

namespace {

constexpr uint32_t kDocumentedBits = 0x83FFFFFFu;

std::string scratch_path(int32_t mode) {
    return orv_fuzz::scratch_folder("actual") + (mode == 1 ? "/out.csv" : "/out.awv");
}

// Keeps the sample count small for records that validation would accept.
void shrink(WaveParams* p) {
    if (p->ofdm_symbols >= 0 && p->ofdm_symbols <= 151) p->ofdm_symbols %= 6;
    if (p->burst_off_time >= 0.0 && p->burst_off_time <= 1.0)
        p->burst_off_time = std::fmod(p->burst_off_time, 1e-5);
    if (p->filter_taps >= 4 && p->filter_taps <= 1000) p->filter_taps = 4 + p->filter_taps % 61;
}

// The byte count that the WAVEDATA item of an AWG file announces, or -1.
long announced_bytes(const std::string& file) {
    size_t at = file.find("{WAVEDATA:");
    if (at == std::string::npos) return -1;
    return std::strtol(file.c_str() + at + 10, nullptr, 10);
}

std::string slurp(const std::string& path) {
    std::string s;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < sizeof(WaveParams) + 1) return -1;
    WaveParams p;
    std::memcpy(&p, data, sizeof p);
    const int32_t mode = data[sizeof p] < 120 ? 0 : (data[sizeof p] < 240 ? 1 : data[sizeof p] - 240);
    shrink(&p);
    const WaveParams before = p;
    const std::string path = scratch_path(mode == 1 ? 1 : 0);
    std::remove(path.c_str());

    orv_fuzz::fail_allocation(size > sizeof p + 1 ? data[sizeof p + 1] % 64 : 0);
    const int32_t rc = orv_11a_actual(&p, mode, path.c_str());
    orv_fuzz::g_fail_at = 0;
    const uint32_t u = static_cast<uint32_t>(rc);
    struct stat st;
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (u & 0x80000000u) {
        if ((u & ~kDocumentedBits) != 0 || (u & ~0x80000000u) == 0) std::abort();
        if (exists || std::memcmp(&p, &before, sizeof p) != 0) std::abort();
    } else if (rc == 0) {
        if (!exists) std::abort();
        if (mode == 0) {
            const std::string file = slurp(path);
            const long bytes = announced_bytes(file);
            const size_t block = file.find(';', file.find("{WAVEDATA:")) + 1;
            if (bytes < 0 || file.size() != block + static_cast<size_t>(bytes) + 1) std::abort();
        }
    } else if (rc != 1 && rc != 2 && rc != 4) {
        std::abort();
    }
    // A refused allocation ends the call with 1, nothing written, the record as it was.
    if (orv_fuzz::g_refused && (rc != 1 || exists || std::memcmp(&p, &before, sizeof p) != 0)) std::abort();
    if (rc == 1 && !orv_fuzz::g_refused) std::abort();  // records here are small: memory never runs out
    std::remove(path.c_str());
    return 0;
}
