// libFuzzer target: orv_11a_sequence and orv_11a_sequence_blocks over
// arbitrary OrvSequenceParams and OrvPacket bytes. Layout of an input:
//   byte 0: packet count (low 3 bits, 0..7; 0 reaches the count check),
//   byte 1: output (0..3: AWG, CSV, callback, a bad output mode),
//   byte 2: the library allocation to fail (0: none; malloc, calloc and
//           realloc are wrapped),
//   then the settings record, then per packet a packet record followed by
//   up to 64 PSDU octets (the rest of the input is the PSDUs' source).
// Valid lengths and times are scaled down so a call stays small; values
// outside the validated ranges pass unchanged. Checked: a mask names only
// documented bits and nothing is written or handed over; a success writes a
// whole file (or hands over total_samples samples in order); a refused
// allocation ends the call with ORV_NO_MEMORY and no file.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "failing_alloc.h"
#include "orvasynth.h"
#include "scratch.h"

namespace {

constexpr uint32_t kDocumentedBits = 0x80000000u | 0x00007FFFu | 0x003F0000u;

std::string scratch_path(int32_t mode) {
    return orv_fuzz::scratch_folder("seq") + (mode == 1 ? "/out.csv" : "/out.awv");
}

// Keeps valid settings small: few taps, the filter's work bounded.
void shrink(OrvSequenceParams* p) {
    if (p->filter_taps >= 4 && p->filter_taps <= 1000) p->filter_taps = 4 + p->filter_taps % 61;
}

void shrink(OrvPacket* k) {
    if (k->psdu_length >= 1 && k->psdu_length <= 4095) k->psdu_length = 1 + k->psdu_length % 64;
    if (k->idle_time >= 0.0 && k->idle_time <= 1.0) k->idle_time *= 1e-5;
}

struct Taken {
    int64_t next = 0;
    bool in_order = true;
};

int32_t ORV_CALL take(void* context, int64_t first, int32_t count, const double*, const double*) {
    auto* t = static_cast<Taken*>(context);
    t->in_order = t->in_order && first == t->next && count > 0;
    t->next = first + count;
    return 0;
}

bool file_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 + sizeof(OrvSequenceParams)) return -1;
    const int32_t count = data[0] & 7;
    const int32_t output = data[1] & 3;
    OrvSequenceParams p;
    std::memcpy(&p, data + 3, sizeof p);
    shrink(&p);
    size_t at = 3 + sizeof p;
    std::vector<OrvPacket> packets(static_cast<size_t>(count > 0 ? count : 1));
    std::vector<std::vector<uint8_t>> psdus(packets.size());
    for (size_t k = 0; k < packets.size(); ++k) {
        OrvPacket& pk = packets[k];
        std::memset(&pk, 0, sizeof pk);
        const size_t n = size - at < sizeof pk ? size - at : sizeof pk;
        std::memcpy(&pk, data + at, n);
        at += n;
        shrink(&pk);
        psdus[k].assign(64, 0);
        const size_t m = size - at < 64 ? size - at : 64;
        std::memcpy(psdus[k].data(), data + at, m);
        at += m;
        // The pointer's bytes came from the input: keep a null one null.
        pk.psdu = pk.psdu == nullptr ? nullptr : psdus[k].data();
    }
    const std::string path = scratch_path(output);
    std::remove(path.c_str());

    Taken t;
    std::vector<int64_t> starts(packets.size(), -1);
    orv_fuzz::fail_allocation(data[2] % 32);
    const int32_t rc =
        output == 2 ? orv_11a_sequence_blocks(&p, packets.data(), count, take, &t, starts.data())
                    : orv_11a_sequence(&p, packets.data(), count, output == 3 ? 7 : output,
                                       path.c_str(), starts.data());
    orv_fuzz::g_fail_at = 0;
    const uint32_t u = static_cast<uint32_t>(rc);
    const bool exists = file_exists(path);
    if (u & 0x80000000u) {
        if ((u & ~kDocumentedBits) != 0 || u == 0x80000000u) std::abort();
        if (exists || t.next != 0) std::abort();
    } else if (rc == 0) {
        if (output == 2 && (!t.in_order || t.next != p.total_samples)) std::abort();
        if (output != 2 && !exists) std::abort();
        if (p.bad_packet != -1 || p.total_samples < 1) std::abort();
        for (size_t k = 1; k < starts.size() && count > 1; ++k)
            if (starts[k] <= starts[k - 1] || starts[k] >= p.total_samples) std::abort();
    } else if (rc != ORV_NO_MEMORY && rc != ORV_WRITE_FAILED) {
        std::abort();
    }
    // A refused allocation ends the call with ORV_NO_MEMORY and nothing written, unless it
    // was one the call does without (a helper thread, the values kept between passes).
    if (orv_fuzz::g_refused && rc != ORV_OK && (rc != ORV_NO_MEMORY || exists)) std::abort();
    if (rc == ORV_NO_MEMORY && !orv_fuzz::g_refused) std::abort();  // calls here are small
    std::remove(path.c_str());
    return 0;
}
