// Writes every golden record through orv_11a_actual into one folder:
//   NAME.out     the waveform file the call wrote
//   NAME.stdout  what the library printed on standard output meanwhile
//   NAME.meta    the result code and the three out fields (bit patterns)
// Usage: orv_golden_write OUTDIR. Links the shared library alone, so the same
// source builds for every platform whose files must match this one's.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#define ORV_DUP _dup
#define ORV_DUP2 _dup2
#define ORV_CLOSE _close
#define ORV_FILENO _fileno
#else
#include <fcntl.h>
#include <unistd.h>
#define ORV_DUP dup
#define ORV_DUP2 dup2
#define ORV_CLOSE close
#define ORV_FILENO fileno
#endif

#include "golden_records.h"

namespace {

uint64_t bits(double v) {
    uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}

// Opens path for writing as a raw descriptor (binary, truncated).
int open_raw(const std::string& path) {
#if defined(_WIN32)
    return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0644);
#else
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: orv_golden_write OUTDIR\n");
        return 1;
    }
    const std::string dir = argv[1];
    int32_t count = 0;
    const golden::Record* table = golden::records(&count);
    for (int32_t k = 0; k < count; ++k) {
        const golden::Record& r = table[k];
        const std::string stem = dir + "/" + r.name;
        WaveParams p = r.p;
        p.papr = p.crest_i = p.crest_q = -1.0;  // shows whether the call stored them

        // Standard output goes to NAME.stdout for the length of the call.
        std::fflush(stdout);
        const int saved = ORV_DUP(ORV_FILENO(stdout));
        const int capture = open_raw(stem + ".stdout");
        if (saved < 0 || capture < 0 || ORV_DUP2(capture, ORV_FILENO(stdout)) < 0) {
            std::fprintf(stderr, "orv_golden_write: cannot capture standard output for %s\n", r.name);
            return 2;
        }
        const int32_t rc = orv_11a_actual(&p, r.mode, (stem + ".out").c_str());
        std::fflush(stdout);
        ORV_DUP2(saved, ORV_FILENO(stdout));
        ORV_CLOSE(saved);
        ORV_CLOSE(capture);

        std::FILE* meta = std::fopen((stem + ".meta").c_str(), "wb");
        if (meta == nullptr) {
            std::fprintf(stderr, "orv_golden_write: cannot write %s.meta\n", stem.c_str());
            return 2;
        }
        std::fprintf(meta, "%08" PRIx32 " %016" PRIx64 " %016" PRIx64 " %016" PRIx64 "\n",
                     static_cast<uint32_t>(rc), bits(p.papr), bits(p.crest_i), bits(p.crest_q));
        if (std::fclose(meta) != 0) return 2;
    }
    std::printf("%d records written to %s\n", count, dir.c_str());
    return 0;
}
