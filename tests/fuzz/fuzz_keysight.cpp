// Fuzz target: the Keysight binary reader behind orvcheck. An input is a data
// file and a marker file (the first two bytes give the data's length,
// little-endian; an input under 3 bytes is read without markers). Any pair
// must end in a result or a ReadError, never a crash, a hang or a leak.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "counting_sink.h"
#include "instrument_reader.h"

namespace {

using CountingSink = orv_fuzz::CountingSink<>;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    size_t n = size;
    std::string marks;
    const bool with_markers = size >= 3;
    if (with_markers) {
        n = static_cast<size_t>(data[0]) | static_cast<size_t>(data[1]) << 8;
        if (n > size - 2) n = size - 2;
        marks.assign(bytes + 2 + n, size - 2 - n);
        bytes += 2;
    }
    std::istringstream in(std::string(bytes, n)), mk(marks);
    CountingSink sink;
    try {
        const auto info = orv::analysis::read_keysight(in, with_markers ? &mk : nullptr, 1e6, sink);
        if (info.samples != sink.n || info.samples * 4 != static_cast<int64_t>(n)) std::abort();
        if (with_markers && static_cast<int64_t>(marks.size()) != info.samples) std::abort();
    } catch (const orv::analysis::ReadError&) {
    }
    return 0;
}
