// frames(): keywords or a waveform description into the packets of a sequence,
// the way orvgen's frame mode makes them.
#include <cctype>
#include <cmath>

#include "MainFormCore.h"
#include "convert.h"
#include "mdlPrmInput.h"
#include "num_text.h"
#include "orvgen_frames.h"
#include "values.h"

namespace orvane_py {

namespace {

// How a keyword's value becomes the text of orvgen's option.
enum class Kind { kWhole, kNumber, kText, kPath, kSeed, kMacFrame, kScrambler, kOctets };

// A frame keyword: its name, the option text it sets, the option's name in the tools' messages.
struct FrameKeyword {
    const char* name;
    std::string frames::FrameOptions::*text;
    Kind kind;
    const char* option;
};

const FrameKeyword kFrameKeywords[] = {
    {"rate", &frames::FrameOptions::rate, Kind::kWhole, "--rate"},
    {"payload_bytes", &frames::FrameOptions::payload_bytes, Kind::kWhole, "--payload-bytes"},
    {"packets", &frames::FrameOptions::packets, Kind::kWhole, "--packets"},
    {"idle_us", &frames::FrameOptions::idle, Kind::kNumber, "--idle"},
    {"data", &frames::FrameOptions::data, Kind::kText, "--data"},
    {"seed", &frames::FrameOptions::seed, Kind::kSeed, "--seed"},
    {"mac_frame", &frames::FrameOptions::mac_frame, Kind::kMacFrame, "--mac-frame"},
    {"addr1", &frames::FrameOptions::addr1, Kind::kText, "--addr1"},
    {"addr2", &frames::FrameOptions::addr2, Kind::kText, "--addr2"},
    {"addr3", &frames::FrameOptions::addr3, Kind::kText, "--addr3"},
    {"duration_us", &frames::FrameOptions::duration, Kind::kWhole, "--duration"},
    {"psdu", &frames::FrameOptions::psdu_hex, Kind::kOctets, "--psdu-hex"},
    {"psdu_file", &frames::FrameOptions::psdu_file, Kind::kPath, "--psdu-file"},
    {"pcap", &frames::FrameOptions::pcap, Kind::kPath, "--pcap"},
    {"scrambler_init", &frames::FrameOptions::scrambler_init, Kind::kScrambler, "--scrambler-init"},
};

// The sampling keywords, which also go with a description.
constexpr const char* kSamplingKeywords[] = {"oversample", "window_tr_us", "channel_mhz"};

const char* type_name(const py::handle& v) { return Py_TYPE(v.ptr())->tp_name; }

bool is_whole(const py::handle& v) { return PyIndex_Check(v.ptr()) && !PyFloat_Check(v.ptr()); }

// The option text of one keyword's value; TypeError for a value of the wrong type.
std::string option_text(const FrameKeyword& k, const py::handle& v) {
    const std::string name = k.name;
    const bool text = PyUnicode_Check(v.ptr());
    switch (k.kind) {
        case Kind::kWhole:
            if (!is_whole(v)) throw py::type_error(name + " must be an int, not " + type_name(v));
            return py::str(py::int_(py::reinterpret_borrow<py::object>(v)));
        case Kind::kNumber:
            if (!is_whole(v) && !PyFloat_Check(v.ptr())) throw py::type_error(name + " must be a number, not " + type_name(v));
            if (!std::isfinite(py::cast<double>(py::float_(py::reinterpret_borrow<py::object>(v)))))
                throw py::value_error(name + " must be a finite number, not " + py::repr(v).cast<std::string>());
            return frames::values::number_text(py::cast<double>(py::float_(py::reinterpret_borrow<py::object>(v))));
        case Kind::kSeed:
            if (is_whole(v)) return py::str(py::module_::import("builtins").attr("format")(v, "X"));
            [[fallthrough]];
        case Kind::kText:
            if (!text) throw py::type_error(name + " must be a str, not " + type_name(v));
            return py::str(v);
        case Kind::kPath:
            return py::str(py::module_::import("os").attr("fspath")(v));
        case Kind::kMacFrame:
            if (PyBool_Check(v.ptr())) return v.ptr() == Py_True ? "data" : "none";
            if (!text) throw py::type_error(name + " must be a bool or \"data\"/\"none\", not " + type_name(v));
            return py::str(v);
        case Kind::kScrambler:
            if (is_whole(v)) return py::str(py::int_(py::reinterpret_borrow<py::object>(v)));
            if (!text) throw py::type_error(name + " must be an int or \"step\", not " + type_name(v));
            return py::str(v);
        case Kind::kOctets:
            if (!PyBytes_Check(v.ptr()) && !PyByteArray_Check(v.ptr()) && !PyMemoryView_Check(v.ptr()))
                throw py::type_error(name + " must be bytes, not " + type_name(v));
            return py::str(py::bytes(py::reinterpret_borrow<py::object>(v)).attr("hex")());
    }
    return std::string();
}

// message with each option name of the tools replaced by its keyword.
std::string with_keywords(std::string message) {
    for (const FrameKeyword& k : kFrameKeywords) {
        const std::string option = k.option;
        for (size_t at = message.find(option); at != std::string::npos; at = message.find(option, at)) {
            const size_t end = at + option.size();
            if (end < message.size() && (std::isalnum(static_cast<unsigned char>(message[end])) || message[end] == '-')) {
                at = end;
                continue;
            }
            message.replace(at, option.size(), k.name);
            at += std::string(k.name).size();
        }
    }
    return message;
}

// oversample, window_tr_us and channel_mhz as orvgen's frame mode checks them.
void read_sampling(const py::dict& kw, int32_t& os, double& window_tr_s, int32_t& channel) {
    if (kw.contains("oversample")) {
        const py::handle v = kw["oversample"];
        if (!is_whole(v)) throw py::type_error(std::string("oversample must be an int, not ") + type_name(v));
        const long long n = py::cast<long long>(py::int_(py::reinterpret_borrow<py::object>(v)));
        if (n < 1 || n > 10) throw py::value_error("oversample " + std::to_string(n) + " is out of range: frames take 1 to 10");
        os = static_cast<int32_t>(n);
    }
    if (kw.contains("window_tr_us")) {
        const py::handle v = kw["window_tr_us"];
        if (!is_whole(v) && !PyFloat_Check(v.ptr())) throw py::type_error(std::string("window_tr_us must be a number, not ") + type_name(v));
        const double us = py::cast<double>(py::float_(py::reinterpret_borrow<py::object>(v)));
        if (!(us >= 0 && us <= 0.8)) throw py::value_error("window_tr_us " + frames::values::number_text(us) + " is out of range: frames take 0 to 0.8 usec");
        window_tr_s = us * 1e-6;
    }
    if (kw.contains("channel_mhz")) {
        const py::handle v = kw["channel_mhz"];
        if (!is_whole(v)) throw py::type_error(std::string("channel_mhz must be an int, not ") + type_name(v));
        const long long c = py::cast<long long>(py::int_(py::reinterpret_borrow<py::object>(v)));
        if (c != 20 && c != 10 && c != 5) throw py::value_error("channel_mhz " + std::to_string(c) + " is not one of 20, 10, 5");
        channel = static_cast<int32_t>(c);
    }
}

// The frame keywords as orvgen's frame options; TypeError for an unknown keyword.
frames::FrameOptions frame_options(const py::dict& kw, bool description) {
    frames::FrameOptions o;
    for (const auto& [key, value] : kw) {
        const std::string name = py::str(key);
        bool sampling = false;
        for (const char* s : kSamplingKeywords) sampling = sampling || name == s;
        if (sampling) {
            if (description && name == "channel_mhz")
                throw py::type_error("channel_mhz does not go with a description: give settings.channel in it");
            continue;
        }
        const FrameKeyword* k = nullptr;
        for (const FrameKeyword& f : kFrameKeywords)
            if (name == f.name) k = &f;
        if (k == nullptr) throw py::type_error("unexpected keyword argument '" + name + "'");
        if (description) throw py::type_error(name + " does not go with a description (it describes the packets)");
        o.*(k->text) = option_text(*k, value);
        if ((o.*(k->text)).empty()) throw py::value_error(name + " is empty");
    }
    return o;
}

}  // namespace

FrameRequest frame_request(const py::dict& kw, const py::object& description_text, const std::string& description_base,
                           const py::object& description_path) {
    FrameRequest r;
    r.from_text = !description_text.is_none();
    r.from_file = !description_path.is_none();
    r.options = frame_options(kw, r.from_text || r.from_file);
    if (r.from_text) r.description = py::cast<std::string>(description_text);
    if (r.from_file) r.description = py::cast<std::string>(description_path);
    r.base = description_base;
    r.oversampling = default_record().oversampling;
    read_sampling(kw, r.oversampling, r.window_tr_s, r.channel_mhz);
    return r;
}

std::string frame_job(const FrameRequest& r, FrameJob& job) {
    const bool described = r.from_text || r.from_file;
    frames::WaveformPlan plan;
    std::string error;
    bool ok;
    if (r.from_text) ok = frames::plan_from_json(r.description, r.base, plan, error);
    else if (r.from_file) ok = frames::read_description(r.description, plan, error);
    else ok = frames::plan_from_options(r.options, plan, error);
    if (!ok) return described ? "description: " + error : with_keywords(error);
    FieldValues defaults;
    DefaultFieldValues(defaults);
    const bool nyquist = defaults.list[kCmbFilTyp] == 1;
    job.params = orv::gen::sequence_params(default_record(), r.oversampling, r.window_tr_s,
                                           described ? plan.globals.channel_mhz : r.channel_mhz);
    if (!orv::gen::apply_globals(plan.globals, nyquist, ReadLeadingNumber(defaults.text[kTxtFCut]) * 1e6, job.params, error))
        return "description: /settings/" + error;
    if (job.params.filter_cutoff == 0.0 && (plan.globals.filter ? *plan.globals.filter == "nyquist" : nyquist))
        return "description: /settings/filter nyquist needs cut-off above 0 (MHz)";
    frames::Sequence seq;
    if (!frames::expand(plan, seq, error)) return with_keywords(error);
    orv::gen::put_packets(std::move(seq), job.pool, job.packets, job.sequence_numbers);
    return std::string();
}

std::string refused_sequence(uint32_t mask, int32_t bad_packet) {
    static const std::pair<uint32_t, const char*> kFields[] = {
        {ORV_SEQ_BAD_OVERSAMPLING, "oversample (1 to 10)"},
        {ORV_SEQ_BAD_CHANNEL, "channel_mhz (20, 10, 5)"},
        {ORV_SEQ_BAD_WINDOW_TR, "window_tr_us (0 to 0.8 usec)"},
        {ORV_SEQ_BAD_FILTER_CUTOFF, "cut-off (up to half the sampling rate)"},
        {ORV_SEQ_BAD_FILTER_ROLLOFF, "roll-off (0.01 to 0.99)"},
        {ORV_SEQ_BAD_FILTER_TAPS, "taps (4 to 1000)"},
        {ORV_SEQ_BAD_IQ_INVERSE, "iq-inverse"},
        {ORV_SEQ_BAD_FREQ_ERROR, "freq-error (up to half the sampling rate)"},
        {ORV_SEQ_BAD_IF, "if (up to half the sampling rate)"},
        {ORV_SEQ_BAD_DC_OFFSET, "dc-real, dc-imag (-100 to 100 %)"},
        {ORV_SEQ_BAD_NOISE, "gauss (-100 to 10 dB)"},
        {ORV_SEQ_BAD_SINE, "sine, sine-level (-100 to 10 dB)"},
        {ORV_SEQ_BAD_RATE, "rate"},
        {ORV_SEQ_BAD_SCRAMBLER, "scrambler_init (1 to 127)"},
        {ORV_SEQ_BAD_PSDU_LENGTH, "PSDU length (1 to 4095 octets)"},
        {ORV_SEQ_BAD_IDLE_TIME, "idle_us (0 to 1 s)"},
    };
    std::string s = "the sequence was refused";
    if (bad_packet >= 0) s += " (first bad packet: " + std::to_string(bad_packet) + ")";
    s += ":";
    for (const auto& [bit, text] : kFields)
        if (mask & bit) s += std::string(" ") + text + ";";
    s.pop_back();
    return s;
}

}  // namespace orvane_py
