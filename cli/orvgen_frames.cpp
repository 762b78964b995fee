#include "orvgen_frames.h"

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "MainFormCore.h"
#include "burst_source.h"
#include "cli_common.h"
#include "num_text.h"
#include "orvgen.h"
#include "sigmf.h"
#if ORVGEN_WITH_CHECK
#include "orvgen_frame_check.h"
#endif

namespace orv::gen {

namespace {

using orv::sigmf::FrameSequence;

// A validation bit of the sequence entries and the option that sets its field.
struct SeqMaskField {
    uint32_t bit;
    const char* field;
    const char* option;
};

const SeqMaskField kSeqMaskFields[] = {
    {ORV_SEQ_BAD_OVERSAMPLING, "oversampling", "--oversample"},
    {ORV_SEQ_BAD_CHANNEL, "channel_mhz", "--channel"},
    {ORV_SEQ_BAD_WINDOW_TR, "window_tr (0 to 0.8 usec)", "--window-tr"},
    {ORV_SEQ_BAD_FILTER_CUTOFF, "filter_cutoff (up to half the sampling rate)", "--cut-off"},
    {ORV_SEQ_BAD_FILTER_ROLLOFF, "filter_rolloff (0.01 to 0.99)", "--roll-off"},
    {ORV_SEQ_BAD_FILTER_TAPS, "filter_taps (4 to 1000)", "--taps"},
    {ORV_SEQ_BAD_IQ_INVERSE, "iq_inverse", "--iq-inverse"},
    {ORV_SEQ_BAD_FREQ_ERROR, "freq_error (up to half the sampling rate)", "--freq-error"},
    {ORV_SEQ_BAD_IF, "if_freq (up to half the sampling rate)", "--if"},
    {ORV_SEQ_BAD_DC_OFFSET, "dc_offset_re, dc_offset_im (-100 to 100 %)", "--dc-real, --dc-imag"},
    {ORV_SEQ_BAD_NOISE, "noise_level (-100 to 10 dB)", "--gauss"},
    {ORV_SEQ_BAD_SINE, "sine_freq, sine_level", "--sine, --sine-level"},
    {ORV_SEQ_BAD_RATE, "rate_index", "--rate"},
    {ORV_SEQ_BAD_SCRAMBLER, "scrambler_init (1 to 127)", "--scrambler-init"},
    {ORV_SEQ_BAD_PSDU_LENGTH, "psdu_length (1 to 4095 octets)", "--payload-bytes, --psdu-hex, --psdu-file, --pcap"},
    {ORV_SEQ_BAD_IDLE_TIME, "idle_time (0 to 1 s)", "--idle"},
    {ORV_IMP_BAD_SNR, "snr_db (-20 to 100 dB)", "--snr"},
    {ORV_IMP_BAD_IQ, "iq_gain_db, iq_phase_deg", "--iq-gain, --iq-phase"},
    {ORV_IMP_BAD_PA, "pa_smoothness, pa_backoff_db, clip_papr_db", "--pa-rapp, --clip-papr"},
    {ORV_IMP_BAD_PHASE_NOISE, "phase noise profile or RMS", "--phase-noise, --phase-noise-rms"},
    {ORV_IMP_BAD_CARRIER, "cfo_ppm, carrier_ghz (with the frequency error, up to half the sampling rate)",
     "--ppm, --cfo-ppm, --carrier-ghz, --freq-error"},
    {ORV_IMP_BAD_CLOCK, "clock_ppm (-1000 to 1000)", "--ppm, --clock-ppm"},
    {ORV_IMP_BAD_MULTIPATH, "multipath channel", "--multipath-rms, --multipath-taps"},
};

// A finite number with '.' as decimal point, independent of the locale.
bool read_number(const std::string& t, double& v) {
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    return !t.empty() && ec == std::errc() && end == t.data() + t.size() && std::isfinite(v);
}

// The command line's sampling settings: oversampling, T_TR and channel width.
int read_sampling(const FrameInputs& in, int32_t& os, double& window_tr_s, int32_t& channel, std::ostream& err) {
    os = in.conditioning.oversampling;
    if (!in.oversample.empty()) {
        double v = 0;
        if (!read_number(in.oversample, v) || v != std::floor(v)) {
            err << "orvgen: --oversample " << in.oversample << " is not a whole number\n";
            return kExitUsage;
        }
        if (v < 1 || v > 10) {
            err << "orvgen: --oversample " << in.oversample << " is out of range: frames take 1 to 10\n";
            return kExitRefused;
        }
        os = static_cast<int32_t>(v);
    }
    double tr = 0;
    if (!read_number(in.window_tr, tr)) {
        err << "orvgen: --window-tr " << in.window_tr << " is not a decimal number\n";
        return kExitUsage;
    }
    if (tr < 0 || tr > 0.8) {
        err << "orvgen: --window-tr " << in.window_tr << " is out of range: frames take 0 to 0.8 usec\n";
        return kExitRefused;
    }
    window_tr_s = tr * 1e-6;
    channel = 20;
    if (!in.channel.empty()) {
        if (in.channel != "20" && in.channel != "10" && in.channel != "5") {
            err << "orvgen: --channel " << in.channel << " is not one of 20, 10, 5\n";
            return kExitRefused;
        }
        channel = std::stoi(in.channel);
    }
    return kExitWritten;
}

// Warns of each pattern entry whose PN register starts with its low n bits
// all zero: it never leaves 0 and the payload is constant.
void warn_constant_payloads(const frames::WaveformPlan& plan, std::ostream& err) {
    static const int kLength[] = {9, 15, 19, 20, 23};
    for (size_t k = 0; k < plan.packets.size(); ++k) {
        const frames::PacketPlan& e = plan.packets[k];
        const auto p = static_cast<int>(e.pattern);
        if (e.source != frames::Source::Pattern || p >= 5 || (e.seed & ((1u << kLength[p]) - 1)) != 0) continue;
        err << "orvgen: warning: " << (plan.packets.size() > 1 ? "packet entry " + std::to_string(k) + ": " : "")
            << "seed " << FormatHexUpper(e.seed) << " has its low " << kLength[p] << " bits all zero: the "
            << frames::pattern_name(e.pattern) << " payload is constant\n";
    }
}

}  // namespace

void put_impairments(const frames::Impairments& m, FrameSequence& s) {
    OrvImpairments& r = s.impairments;
    r = OrvImpairments{};
    r.size = sizeof(OrvImpairments);
    r.snr_enable = m.snr_on ? 1 : 0;
    r.snr_db = m.snr_db;
    r.seed = m.seed;
    r.iq_gain_db = m.iq_gain_db;
    r.iq_phase_deg = m.iq_phase_deg;
    r.pa_enable = m.rapp_on ? 1 : 0;
    r.pa_smoothness = m.rapp_p;
    r.pa_backoff_db = m.rapp_backoff_db;
    r.clip_enable = m.clip_on ? 1 : 0;
    r.clip_papr_db = m.clip_papr_db;
    r.cfo_ppm = m.cfo_ppm;
    r.carrier_ghz = m.carrier_ghz;
    r.clock_ppm = m.clock_ppm;
    r.phase_noise_rms_deg = m.pn_rms_deg;
    r.multipath_rms_ns = m.multipath_rms_ns;
    r.multipath_per_packet = m.per_packet ? 1 : 0;
    s.pn_offsets_hz = m.pn_offsets_hz;
    s.pn_levels_dbc = m.pn_levels_dbc;
    s.tap_delay_ns = m.tap_delay_ns;
    s.tap_gain_db = m.tap_gain_db;
    s.tap_phase_deg = m.tap_phase_deg;
    s.impaired = true;
}

namespace {

// The sequence the inputs describe: the plan, its expansion and the settings.
int build_sequence(const FrameInputs& in, FrameSequence& s, std::ostream& err) {
    int32_t os = 0, channel = 20;
    double window_tr_s = 0;
    if (int rc = read_sampling(in, os, window_tr_s, channel, err); rc != kExitWritten) return rc;
    frames::WaveformPlan plan;
    std::string error;
    const bool ok = in.waveform.empty() ? frames::plan_from_options(in.options, plan, error)
                                        : frames::read_description(in.waveform, plan, error);
    if (!ok) {
        err << "orvgen: " << (in.waveform.empty() ? "" : "--waveform ") << error << "\n";
        return kExitRefused;
    }
    if (in.impairments.any() && !frames::read_impairments(in.impairments, "--", "", plan.impairments, error)) {
        err << "orvgen: " << error << "\n";
        return kExitRefused;
    }
    warn_constant_payloads(plan, err);
    if (!in.waveform.empty()) channel = plan.globals.channel_mhz;
    s.params = sequence_params(in.conditioning, os, window_tr_s, channel);
    if (!apply_globals(plan.globals, in.nyquist, in.cutoff_hz, s.params, error)) {
        err << "orvgen: --waveform " << in.waveform << ": /settings/" << error << "\n";
        return kExitRefused;
    }
    if (s.params.filter_cutoff == 0.0 && (plan.globals.filter ? *plan.globals.filter == "nyquist" : in.nyquist)) {
        err << "orvgen: --filter nyquist needs --cut-off above 0 (MHz)\n";
        return kExitUsage;
    }
    frames::Sequence seq;
    if (!frames::expand(plan, seq, error)) {
        err << "orvgen: " << error << "\n";
        return kExitRefused;
    }
    put_impairments(plan.impairments, s);
    put_packets(std::move(seq), s.pool, s.packets, s.sequence_numbers);
    return kExitWritten;
}

// Reports a result of the sequence entries other than 0; returns the exit status.
int sequence_status(int32_t rc, const OrvSequenceParams& p, const std::string& path, std::ostream& err) {
    return library_status(rc, path, err, [&](uint32_t code) {
        err << ": parameters refused";
        if (p.bad_packet >= 0) err << " (first bad packet: " << p.bad_packet << ")";
        err << ":\n";
        for (const SeqMaskField& m : kSeqMaskFields)
            if (code & m.bit) err << "  " << m.field << " (" << m.option << ")\n";
    });
}

void print_json(const FrameInputs& in, const FrameSequence& s, const std::vector<int64_t>& starts, int32_t rc,
                const orv::sigmf::Written* recording, const instrument::Result* inst, const std::string& check_json,
                std::ostream& out) {
    nlohmann::ordered_json j;
    j["path"] = in.output;
    j["output_format"] = output_kind_name(in.kind);
    j["sampling_rate"] = orv::cli::json_number(20000000.0 * s.params.oversampling * (s.params.channel_mhz / 20.0));
    j["channel_mhz"] = s.params.channel_mhz;
    j["total_samples"] = s.params.total_samples;
    j["packet_count"] = s.packets.size();
    j["packet_starts"] = starts;
    j["papr"] = orv::cli::json_number(s.params.papr);
    j["crest_i"] = orv::cli::json_number(s.params.crest_i);
    j["crest_q"] = orv::cli::json_number(s.params.crest_q);
    j["result"] = rc;
    if (recording != nullptr) {
        j["data_path"] = recording->data_path;
        j["meta_path"] = recording->meta_path;
        j["sigmf_type"] = in.ci16 ? "ci16_le" : "cf32_le";
        j["saturated_samples"] = recording->saturated;
    }
    if (inst != nullptr && rc == ORV_OK) j["instrument"] = instrument::to_json(*inst);
    if (in.check) j["check"] = check_json.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json::parse(check_json);
    out << j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
}

void print_text(const FrameInputs& in, const FrameSequence& s, const orv::sigmf::Written* recording,
                const instrument::Result* inst, std::ostream& out) {
    if (inst != nullptr) {
        out << instrument_lines(*inst) << s.packets.size() << (s.packets.size() == 1 ? " packet\n" : " packets\n");
        return;
    }
    const double fs = 20000000.0 * s.params.oversampling * (s.params.channel_mhz / 20.0);
    const std::string what = recording != nullptr ? recording->data_path + " and " + recording->meta_path
                                                  : in.output;
    out << what << " written: " << s.packets.size() << (s.packets.size() == 1 ? " packet, " : " packets, ")
        << s.params.total_samples << " samples at " << FormatPattern(fs / 1e6, "0.###") << " MS/s\n";
    if (in.kind != 0) return;
    out << crest_box_lines(s.params.papr, s.params.crest_i, s.params.crest_q);
}

// --check: the file just written read back through the packet receiver;
// the verdict as text and as JSON. Returns orvgen's exit status.
int check_written(const FrameInputs& in, const FrameSequence& s, const std::string& path,
                  const std::vector<int64_t>& starts, std::string& json, std::string& text, std::ostream& err) {
#if ORVGEN_WITH_CHECK
    (void)in, (void)err;
    const FrameCheck c = check_frames(path, s.params.oversampling, s.packets.data(), starts.data(), s.packets.size());
    json = frame_check_json(c);
    text = c.summary + "check: " + std::to_string(c.psdu_equal) + " of " + std::to_string(s.packets.size()) +
           " packets decoded to the PSDU sent, " + std::to_string(c.fcs_ok) + " of " + std::to_string(c.mac_frames) +
           " MAC frames with a good FCS: " + (c.pass ? "PASS" : "FAIL") + "\n";
    for (const std::string& f : c.failures) text += "check: " + f + "\n";
    return c.pass ? kExitWritten : kExitCheckFailed;
#else
    (void)in, (void)s, (void)path, (void)starts, (void)json, (void)text;
    err << "orvgen: --check is not available in this build\n";
    return kExitUsage;
#endif
}

// Writes the sequence as a WV or Keysight file; returns the library's result
// (ORV_WRITE_FAILED for a file that could not be written, with a message on err).
int32_t write_sequence_instrument(const FrameInputs& in, FrameSequence& s, std::vector<int64_t>& starts,
                                  instrument::Result& res, std::ostream& err) {
    instrument::SampleSource src;
    std::string error;
    const int32_t rc =
        instrument::sequence_source(s.params, s.packets, orv::sigmf::impairment_record(s), src, starts, error);
    if (rc != 0) return rc;  // a validation mask, reported as refused parameters
    s.params.total_samples = src.count;
    const std::string comment = "IEEE 802.11a, " + std::to_string(s.packets.size()) + " packets, orvgen";
    if (write_instrument_file(in.kind, in.output, src, in.backoff_db, comment, res, error) != 0) {
        err << "orvgen: " << error << "\n";
        return ORV_WRITE_FAILED;
    }
    return ORV_OK;
}

}  // namespace

const char* output_kind_name(int32_t kind) {
    static const char* const kNames[] = {"awg", "csv", "sigmf", "wv", "keysight"};
    return kind >= 0 && kind < 5 ? kNames[kind] : "?";
}

int read_backoff(const std::string& text, double& db, std::string& error) {
    if (!read_number(text, db)) {
        error = "--backoff " + text + " is not a decimal number (dB)";
        return kExitUsage;
    }
    if (db < 0 || db > 30) {
        error = "--backoff " + text + " is out of range: 0 to 30 dB below full scale";
        return kExitRefused;
    }
    return kExitWritten;
}

std::string instrument_lines(const instrument::Result& res) {
    const bool wv = res.format == "wv";
    std::string t;
    for (size_t k = 0; k < res.files.size(); ++k) t += (k == 0 ? "" : " and ") + res.files[k];
    t += std::string(" written (") + (wv ? "R&S WV file" : "Keysight 16-bit I/Q binary") + ", " +
         std::to_string(res.samples + res.padded) + " samples at " + FormatPattern(res.fs / 1e6, "0.###") +
         " MS/s)\n";
    t += "peak |I+jQ| at code " + std::to_string(res.peak_code) + " (" + FormatPattern(res.peak_offset_db, "0.00") +
         " dB below full scale 32767), RMS " + FormatPattern(res.rms_offset_db, "0.00") + " dB below full scale\n";
    if (res.saturated > 0)
        t += "saturated samples: " + std::to_string(res.saturated) +
             " (beyond full scale at the burst's peak, set to full scale)\n";
    const size_t m1 = res.marker1.size(), m2 = res.marker2.size();
    t += "markers: " + std::to_string(m1) + (m1 == 1 ? " trigger pulse" : " trigger pulses") + " (marker 1), " +
         std::to_string(m2) + (m2 == 1 ? " on-air span" : " on-air spans") + " (marker 2)\n";
    if (!wv) {
        t += "idle samples appended: " + std::to_string(res.padded) +
             " (Keysight: at least 512 samples, a multiple of 8)\n";
        t += "the binary holds no sample rate: set " + FormatPattern(res.fs / 1e6, "0.######") +
             " MHz on the instrument\n";
    }
    return t;
}

int32_t write_instrument_file(int32_t kind, const std::string& path, const instrument::SampleSource& src,
                              double backoff_db, const std::string& comment, instrument::Result& res,
                              std::string& error) {
    if (kind == 3) {
        instrument::WvOptions opt;
        opt.backoff_db = backoff_db;
        opt.comment = comment;
        return instrument::write_wv(path, src, opt, res, error);
    }
    instrument::KeysightOptions opt;
    opt.backoff_db = backoff_db;
    return instrument::write_keysight(path, src, opt, res, error);
}

int library_status(int32_t rc, const std::string& path, std::ostream& err,
                   const std::function<void(uint32_t code)>& list_refused) {
    if (rc == ORV_OK) return kExitWritten;
    const auto code = static_cast<uint32_t>(rc);
    err << "orvgen: library result 0x" << FormatHexUpper(code);
    if (rc == ORV_WRITE_FAILED) {
        err << ": the file " << path << " could not be written\n";
        return kExitNotWritten;
    }
    if (code & ORV_INVALID) {
        list_refused(code);
        return kExitRefused;
    }
    err << (rc == ORV_NO_MEMORY ? ": not enough memory\n" : "\n");
    return kExitLibrary;
}

std::string crest_box_lines(double papr, double crest_i, double crest_q) {
    std::string text;
    for (char c : CrestBoxText(papr, crest_i, crest_q))
        if (c != '\r') text += c;
    if (!text.empty() && text.front() == '\n') text.erase(0, 1);
    return text;
}

OrvSequenceParams sequence_params(const WaveParams& rec, int32_t os, double window_tr_s, int32_t channel_mhz) {
    OrvSequenceParams p{};
    p.size = sizeof(OrvSequenceParams);
    p.oversampling = os;
    p.channel_mhz = channel_mhz;
    p.iq_inverse = rec.iq_inverse;
    p.filter_taps = rec.filter_taps;
    p.freq_error_enable = rec.freq_error_enable;
    p.if_enable = rec.if_enable;
    p.noise_enable = rec.noise_enable;
    p.sine_enable = rec.sine_enable;
    p.window_tr = window_tr_s;
    p.filter_cutoff = rec.filter_cutoff;
    p.filter_rolloff = rec.filter_rolloff;
    p.freq_error = rec.freq_error;
    p.if_freq = rec.if_freq;
    p.dc_offset_re = rec.dc_offset_re;
    p.dc_offset_im = rec.dc_offset_im;
    p.noise_level = rec.noise_level;
    p.sine_freq = rec.sine_freq;
    p.sine_level = rec.sine_level;
    p.bad_packet = -1;
    return p;
}

void put_packets(frames::Sequence&& seq, std::vector<uint8_t>& pool, std::vector<OrvPacket>& packets,
                 std::vector<int32_t>& sequence_numbers) {
    pool = std::move(seq.pool);
    packets.clear();
    sequence_numbers.clear();
    for (const frames::Packet& p : seq.packets) {
        OrvPacket o{};
        o.size = sizeof(OrvPacket);
        o.rate_index = p.rate_index;
        o.scrambler_init = p.scrambler;
        o.psdu_length = p.length;
        o.psdu = pool.data() + p.offset;
        o.idle_time = p.idle_s;
        packets.push_back(o);
        sequence_numbers.push_back(p.sequence);
    }
}

bool apply_globals(const frames::GlobalSettings& g, bool nyquist, double cutoff_hz, OrvSequenceParams& p,
                   std::string& error) {
    if (g.oversample) p.oversampling = *g.oversample;
    if (g.window_tr) {
        if (*g.window_tr > 0.8) {
            error = "window-tr: " + FormatPattern(*g.window_tr, "0.###") + " is out of range: 0 to 0.8 usec";
            return false;
        }
        p.window_tr = *g.window_tr * 1e-6;
    }
    if (g.filter) nyquist = *g.filter == "nyquist";
    if (g.cut_off) cutoff_hz = *g.cut_off * 1e6;
    p.filter_cutoff = nyquist ? cutoff_hz : 0.0;
    if (g.taps) p.filter_taps = *g.taps;
    if (g.roll_off) p.filter_rolloff = *g.roll_off;
    if (g.iq_inverse) p.iq_inverse = *g.iq_inverse ? 1 : 0;
    if (g.freq_error || g.if_freq) {
        p.freq_error_enable = g.freq_error ? 1 : 0;
        p.if_enable = g.if_freq ? 1 : 0;
        p.freq_error = g.freq_error ? *g.freq_error * 1e6 : 0.0;
        p.if_freq = g.if_freq ? *g.if_freq * 1e6 : 0.0;
    }
    if (g.dc_real) p.dc_offset_re = *g.dc_real;
    if (g.dc_imag) p.dc_offset_im = *g.dc_imag;
    if (g.sine || g.gauss) {
        p.sine_enable = g.sine ? 1 : 0;
        p.noise_enable = g.gauss ? 1 : 0;
        if (g.sine) p.sine_freq = *g.sine * 1e6;
        if (g.sine_level) p.sine_level = *g.sine_level;
        if (g.gauss) p.noise_level = *g.gauss;
    }
    return true;
}

int run_frames(const FrameInputs& in, std::ostream& out, std::ostream& err) {
    FrameSequence s;
#if ORVGEN_WITH_SIGMF
    if (!in.from.empty()) {
        try {
            s = orv::sigmf::read_sequence(in.from);
        } catch (const orv::sigmf::MetaError& e) {
            err << "orvgen: --from: " << e.what() << "\n";
            return kExitUsage;
        }
    } else
#endif
    if (int rc = build_sequence(in, s, err); rc != kExitWritten) {
        return rc;
    }
    std::vector<int64_t> starts(s.packets.size(), 0);
    const auto count = static_cast<int32_t>(s.packets.size());
    int32_t rc = 0;
    std::string written = in.output;
    orv::sigmf::Written recording;
    const bool sigmf = in.kind == 2;
    const bool inst = in.kind == 3 || in.kind == 4;
    instrument::Result inst_res;
    if (inst) {
        rc = write_sequence_instrument(in, s, starts, inst_res, err);
    } else if (sigmf) {
#if ORVGEN_WITH_SIGMF
        rc = orv::sigmf::write_sequence_recording(s, orv::sigmf::base_name(in.output),
                                                  in.ci16 ? orv::sigmf::SampleType::Ci16 : orv::sigmf::SampleType::Cf32,
                                                  recording, starts);
        written = rc == ORV_WRITE_FAILED ? recording.failed_path : recording.meta_path;
#endif
    } else {
        rc = orv_11a_sequence_impaired(&s.params, orv::sigmf::impairment_record(s), s.packets.data(), count, in.kind,
                                       in.output.c_str(), starts.data());
    }
    int status = sequence_status(rc, s.params, written, err);
    std::string check_json, check_text;
    if (in.check && rc == ORV_OK) status = check_written(in, s, written, starts, check_json, check_text, err);
    if (in.json)
        print_json(in, s, starts, rc, sigmf ? &recording : nullptr, inst ? &inst_res : nullptr, check_json, out);
    else if (rc == ORV_OK)
        print_text(in, s, sigmf ? &recording : nullptr, inst ? &inst_res : nullptr, out);
    if (!in.json) out << check_text;
    return status;
}

}  // namespace orv::gen
