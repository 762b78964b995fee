#include "convert.h"

#include <cmath>
#include <limits>

#include "MainFormCore.h"
#include "mdlPrmInput.h"
#include "num_text.h"
#include "orvgen_frames.h"

namespace orvane_py {

namespace {

// One in field of WaveParams: its name, where it lies, its validation bit and range.
struct RecordField {
    const char* name;
    double WaveParams::*real;    // a double field, or null
    int32_t WaveParams::*whole;  // an int32 field, or null
    uint32_t bit;
    const char* range;
};

const RecordField kRecordFields[] = {
    {"burst_off_time", &WaveParams::burst_off_time, nullptr, ORV_BAD_BURST_OFF_TIME, "0 to 1 s"},
    {"window_tr", &WaveParams::window_tr, nullptr, ORV_BAD_WINDOW_TR, "at most 2e-6 s"},
    {"filter_cutoff", &WaveParams::filter_cutoff, nullptr, ORV_BAD_FILTER_CUTOFF,
     "at most 1e8 Hz, and 1 to 128 samples per period of the cut-off at the sampling rate"},
    {"filter_rolloff", &WaveParams::filter_rolloff, nullptr, ORV_BAD_FILTER_ROLLOFF,
     "0 to 1; 0.01 to 0.99 when the filter runs"},
    {"freq_error", &WaveParams::freq_error, nullptr, ORV_BAD_FREQ_ERROR,
     "at most (sampling rate - 20 MHz) / 2 in Hz"},
    {"if_freq", &WaveParams::if_freq, nullptr, ORV_BAD_IF_FREQ, "at most (sampling rate - 20 MHz) / 2 in Hz"},
    {"dc_offset_re", &WaveParams::dc_offset_re, nullptr, ORV_BAD_DC_OFFSET_RE, "-100 to 100 %"},
    {"dc_offset_im", &WaveParams::dc_offset_im, nullptr, ORV_BAD_DC_OFFSET_IM, "-100 to 100 %"},
    {"noise_level", &WaveParams::noise_level, nullptr, ORV_BAD_NOISE_LEVEL, "-100 to 10 dB"},
    {"sine_freq", &WaveParams::sine_freq, nullptr, ORV_BAD_SINE_FREQ, "at most (sampling rate - 20 MHz) / 2 in Hz"},
    {"sine_level", &WaveParams::sine_level, nullptr, ORV_BAD_SINE_LEVEL, "-100 to 10 dB"},
    {"frame_format", nullptr, &WaveParams::frame_format, ORV_BAD_FRAME_FORMAT, "0 or 1"},
    {"burst_enable", nullptr, &WaveParams::burst_enable, ORV_BAD_BURST_ENABLE, "0 or 1"},
    {"rate_index", nullptr, &WaveParams::rate_index, ORV_BAD_RATE_INDEX, "0 to 7"},
    {"ofdm_symbols", nullptr, &WaveParams::ofdm_symbols, ORV_BAD_OFDM_SYMBOLS, "0 to 151"},
    {"pn_seed", nullptr, &WaveParams::pn_seed, ORV_BAD_PN_SEED, "not 0"},
    {"data_pattern", nullptr, &WaveParams::data_pattern, ORV_BAD_DATA_PATTERN, "0 to 6"},
    {"oversampling", nullptr, &WaveParams::oversampling, ORV_BAD_OVERSAMPLING, "1 to 10"},
    {"filter_taps", nullptr, &WaveParams::filter_taps, ORV_BAD_FILTER_TAPS,
     "1 to 1000; 4 to 1000 and at most 2 * samples + 1 when the filter runs"},
    {"iq_inverse", nullptr, &WaveParams::iq_inverse, ORV_BAD_IQ_INVERSE, "0 or 1"},
    {"freq_error_enable", nullptr, &WaveParams::freq_error_enable, ORV_BAD_FREQ_ERROR_ENABLE, "0 or 1"},
    {"if_enable", nullptr, &WaveParams::if_enable, ORV_BAD_IF_ENABLE, "0 or 1"},
    {"noise_enable", nullptr, &WaveParams::noise_enable, ORV_BAD_NOISE_ENABLE, "0 or 1"},
    {"sine_enable", nullptr, &WaveParams::sine_enable, ORV_BAD_SINE_ENABLE, "0 or 1"},
};

const char* type_name(const py::handle& v) { return Py_TYPE(v.ptr())->tp_name; }

// A real number (int, float, numpy's): finite, else ValueError naming the keyword.
double real_value(const char* name, const py::handle& v) {
    const bool number = PyFloat_Check(v.ptr()) || PyIndex_Check(v.ptr()) ||
                        (Py_TYPE(v.ptr())->tp_as_number != nullptr && Py_TYPE(v.ptr())->tp_as_number->nb_float != nullptr &&
                         !PyComplex_Check(v.ptr()) && !PyUnicode_Check(v.ptr()));
    if (!number) throw py::type_error(std::string(name) + " must be a real number, not " + type_name(v));
    const double d = py::cast<double>(py::float_(py::reinterpret_borrow<py::object>(v)));
    if (!std::isfinite(d)) throw py::value_error(std::string(name) + " must be a finite number, not " + py::repr(v).cast<std::string>());
    return d;
}

// A whole number (int, bool, numpy's integers) within [lo, hi], else TypeError or ValueError.
long long whole_value(const char* name, const py::handle& v, long long lo, long long hi) {
    if (!PyIndex_Check(v.ptr()) || PyFloat_Check(v.ptr()))
        throw py::type_error(std::string(name) + " must be an int, not " + type_name(v));
    const py::int_ i = py::reinterpret_steal<py::int_>(PyNumber_Index(v.ptr()));
    if (!i) throw py::error_already_set();
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (overflow != 0 || x < lo || x > hi)
        throw py::value_error(std::string(name) + " " + py::repr(v).cast<std::string>() + " is out of range (" +
                              std::to_string(lo) + " to " + std::to_string(hi) + ")");
    return x;
}

std::string known_names() {
    std::string s;
    for (const RecordField& f : kRecordFields) s += (s.empty() ? "" : ", ") + std::string(f.name);
    return s;
}

}  // namespace

WaveParams default_record() {
    FieldValues v;
    DefaultFieldValues(v);
    WaveParams rec{};
    int32_t bad_field = -1;
    Get_Params(v, rec, bad_field);  // the defaults are numbers
    return rec;
}

WaveParams record_from_fields(const py::dict& fields) {
    WaveParams rec = default_record();
    for (const auto& [key, value] : fields) {
        const std::string name = py::str(key);
        const RecordField* f = nullptr;
        for (const RecordField& r : kRecordFields)
            if (name == r.name) f = &r;
        if (f == nullptr)
            throw py::type_error("unexpected keyword argument '" + name + "' (the record's fields: " + known_names() + ")");
        if (f->real != nullptr)
            rec.*(f->real) = real_value(f->name, value);
        else
            rec.*(f->whole) = static_cast<int32_t>(whole_value(f->name, value, std::numeric_limits<int32_t>::min(),
                                                               std::numeric_limits<int32_t>::max()));
    }
    return rec;
}

py::dict record_fields(const WaveParams& rec) {
    py::dict d;
    for (const RecordField& f : kRecordFields) {
        if (f.real != nullptr) d[f.name] = rec.*(f.real);
        else d[f.name] = rec.*(f.whole);
    }
    return d;
}

std::string refused_fields(uint32_t mask, const WaveParams& rec) {
    std::string s;
    for (const RecordField& f : kRecordFields) {
        if ((mask & f.bit) == 0) continue;
        const std::string given = f.real != nullptr ? py::repr(py::float_(rec.*(f.real))).cast<std::string>()
                                                    : std::to_string(rec.*(f.whole));
        s += (s.empty() ? "" : "; ") + std::string(f.name) + ": " + given + " is out of range (" + f.range + ")";
    }
    return s.empty() ? "the record was refused (validation mask " + std::to_string(mask) + ")" : s;
}

}  // namespace orvane_py
