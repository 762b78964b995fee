// Conversion of the Python module's arguments into the library's records and
// the frame tools' plans, and of their results back into Python objects.
#pragma once
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "frames.h"
#include "orvasynth.h"

namespace orvane_py {

namespace py = pybind11;

// The record of the window's "Set Defaults" (36 Mbit/s, 100 symbols, oversampling 8, ...).
WaveParams default_record();

// The default record with the given fields put over it. Throws TypeError for an
// unknown name or a value of the wrong type, ValueError for NaN, an infinity or
// an integer beyond 32 bits.
WaveParams record_from_fields(const py::dict& fields);

// The record as a dict of its in fields.
py::dict record_fields(const WaveParams& rec);

// "rate_index: 9 is out of range (0 to 7)" for every field of a validation mask.
std::string refused_fields(uint32_t mask, const WaveParams& rec);

// A frame sequence ready for the library: the settings, the packets and their
// MAC sequence numbers (-1 when not a data frame made here); the packets point into pool.
struct FrameJob {
    OrvSequenceParams params{};
    std::vector<uint8_t> pool;
    std::vector<OrvPacket> packets;
    std::vector<int16_t> sequence_numbers;
};

// The description's text (JSON; description_base resolves its file names) or file, or
// else the frame keywords, expanded into job. Throws TypeError or ValueError.
void frame_job(const py::dict& keywords, const py::object& description_text, const std::string& description_base,
               const py::object& description_path, FrameJob& job);

// "oversampling (1 to 10)" for every field of a sequence validation mask.
std::string refused_sequence(uint32_t mask, int32_t bad_packet);

}  // namespace orvane_py
