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
    std::vector<int32_t> sequence_numbers;
};

// What frames() asks for, checked for types and the sampling keywords' ranges.
struct FrameRequest {
    frames::FrameOptions options;  // the frame keywords as orvgen's option texts
    bool from_text = false;        // description holds a description's JSON text
    bool from_file = false;        // description holds a description file's path
    std::string description;
    std::string base;              // the folder a text's file names are taken from
    int32_t oversampling = 8;
    double window_tr_s = 0.1e-6;
    int32_t channel_mhz = 20;
};

// The request of the keywords and description (text with its base folder, or a
// path; None for neither). Throws TypeError or ValueError.
FrameRequest frame_request(const py::dict& keywords, const py::object& description_text,
                           const std::string& description_base, const py::object& description_path);

// Plans and expands a request into job without touching Python objects (callable with
// the GIL released). Returns "" or the message of the ValueError to raise.
std::string frame_job(const FrameRequest& request, FrameJob& job);

// "oversampling (1 to 10)" for every field of a sequence validation mask.
std::string refused_sequence(uint32_t mask, int32_t bad_packet);

}  // namespace orvane_py
