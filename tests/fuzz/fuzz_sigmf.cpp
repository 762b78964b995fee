// Fuzz target: the SigMF recording reader behind orvcheck. An input is a
// metadata file and a data file (the first two bytes give the metadata's
// length, little-endian); any pair must end in a result or a ReadError,
// never a crash, a hang or a leak, and a result holds the samples read.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "counting_sink.h"
#include "reader.h"
#include "scratch.h"

namespace {

// A finite sample.
struct Finite {
    bool operator()(const std::complex<double>& x) const { return std::isfinite(x.real()) && std::isfinite(x.imag()); }
};
using CountingSink = orv_fuzz::CountingSink<Finite>;

// The recording's two files, in the process's scratch folder.
const std::string& base_path() {
    static const std::string base = orv_fuzz::scratch_folder("sigmf") + "/rec";
    return base;
}

void put(const std::string& path, const char* bytes, size_t n) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes, static_cast<std::streamsize>(n));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    size_t meta = static_cast<size_t>(data[0]) | static_cast<size_t>(data[1]) << 8;
    if (meta > size - 2) meta = size - 2;
    const char* bytes = reinterpret_cast<const char*>(data) + 2;
    const std::string text(bytes, meta);
    // A metadata file may name any file as its dataset; the fuzzer is kept
    // to the recording's own (a large file named there only slows it down).
    if (text.find("dataset") != std::string::npos) return 0;
    const std::string& base = base_path();
    put(base + ".sigmf-meta", bytes, meta);
    put(base + ".sigmf-data", bytes + meta, size - 2 - meta);
    for (const char* name : {".sigmf-meta", ".sigmf-data"}) {
        CountingSink sink;
        try {
            const auto info = orv::analysis::read_sigmf(base + name, sink);
            if (info.samples != sink.n || info.samples <= 0) std::abort();
        } catch (const orv::analysis::ReadError&) {
        }
    }
    return 0;
}
