// The impairment settings of frame waveforms (orvgen's options and a
// description's "impairments"): their text checked against the library's
// ranges, phase-noise profiles and tapped-delay-line files.
#include <cmath>
#include <fstream>
#include <sstream>

#include "frames.h"
#include "values.h"

namespace frames {

namespace {

// A fault of the setting `name`, with the prefix of its kind.
bool refuse(std::string& error, const std::string& prefix, const char* name, const std::string& what) {
    error = prefix + name + ": " + what;
    return false;
}

// A number of text within lo..hi into v (empty text: not given, true, v kept).
bool number_in(const std::string& text, double lo, double hi, const std::string& prefix, const char* name,
               double& v, std::string& error) {
    if (text.empty()) return true;
    const auto n = values::number(text);
    if (!n) return refuse(error, prefix, name, "\"" + text + "\" is not a decimal number");
    if (!(*n >= lo && *n <= hi))
        return refuse(error, prefix, name, text + " is out of range: " + values::number_text(lo) + " to " +
                                               values::number_text(hi));
    v = *n;
    return true;
}

// "L@f,L@f,...": levels in dBc/Hz at offsets in Hz, ascending, at least two.
bool read_profile(const std::string& text, const std::string& prefix, Impairments& out, std::string& error) {
    std::stringstream list(text);
    std::string item;
    int index = 0;
    while (std::getline(list, item, ',')) {
        ++index;
        const std::string point = "point " + std::to_string(index) + " \"" + item + "\"";
        const size_t at = item.find('@');
        const auto level = at == std::string::npos ? std::nullopt : values::number(item.substr(0, at));
        const auto offset = at == std::string::npos ? std::nullopt : values::number(item.substr(at + 1));
        if (!level || !offset) return refuse(error, prefix, "phase-noise", point + " is not dBc/Hz@Hz");
        if (!(*offset > 0)) return refuse(error, prefix, "phase-noise", point + ": the offset must be above 0 Hz");
        if (!out.pn_offsets_hz.empty() && !(*offset > out.pn_offsets_hz.back()))
            return refuse(error, prefix, "phase-noise", point + ": offsets must ascend");
        if (!(*level >= -250 && *level <= 0))
            return refuse(error, prefix, "phase-noise", point + ": the level must be -250 to 0 dBc/Hz");
        out.pn_offsets_hz.push_back(*offset);
        out.pn_levels_dbc.push_back(*level);
    }
    if (out.pn_offsets_hz.size() < 2 || out.pn_offsets_hz.size() > 64 || (!text.empty() && text.back() == ','))
        return refuse(error, prefix, "phase-noise", "\"" + text + "\" needs 2 to 64 points dBc/Hz@Hz, comma separated");
    return true;
}

// "p,backoff_dB" of the Rapp amplifier.
bool read_rapp(const std::string& text, const std::string& prefix, Impairments& out, std::string& error) {
    const size_t comma = text.find(',');
    const auto p = comma == std::string::npos ? std::nullopt : values::number(text.substr(0, comma));
    const auto b = comma == std::string::npos ? std::nullopt : values::number(text.substr(comma + 1));
    if (!p || !b) return refuse(error, prefix, "pa-rapp", "\"" + text + "\" is not p,backoff_dB (e.g. 3,8)");
    if (!(*p >= 0.1 && *p <= 100)) return refuse(error, prefix, "pa-rapp", "p is out of range: 0.1 to 100");
    if (!(*b >= -20 && *b <= 40)) return refuse(error, prefix, "pa-rapp", "the back-off is out of range: -20 to 40 dB");
    out.rapp_on = true;
    out.rapp_p = *p;
    out.rapp_backoff_db = *b;
    return true;
}

// The carrier and clock offsets: one oscillator (--ppm with --carrier-ghz) or each alone.
bool read_offsets(const ImpairmentText& t, const std::string& prefix, Impairments& out, std::string& error) {
    if (!t.ppm.empty() && (!t.cfo_ppm.empty() || !t.clock_ppm.empty()))
        return refuse(error, prefix, "ppm", "sets both offsets: not with cfo-ppm or clock-ppm");
    double ppm = 0.0;
    if (!number_in(t.ppm, -1000, 1000, prefix, "ppm", ppm, error) ||
        !number_in(t.cfo_ppm, -1000, 1000, prefix, "cfo-ppm", out.cfo_ppm, error) ||
        !number_in(t.clock_ppm, -1000, 1000, prefix, "clock-ppm", out.clock_ppm, error) ||
        !number_in(t.carrier_ghz, 0.001, 1000, prefix, "carrier-ghz", out.carrier_ghz, error))
        return false;
    if (!t.ppm.empty()) out.cfo_ppm = out.clock_ppm = ppm;
    const bool carrier = !t.ppm.empty() || !t.cfo_ppm.empty();
    if (carrier && t.carrier_ghz.empty())
        return refuse(error, prefix, t.ppm.empty() ? "cfo-ppm" : "ppm", "needs carrier-ghz (the carrier in GHz)");
    return true;
}

bool read_multipath(const ImpairmentText& t, const std::string& prefix, const std::string& base_dir,
                    Impairments& out, std::string& error) {
    if (!t.multipath_rms.empty() && !t.multipath_taps.empty())
        return refuse(error, prefix, "multipath-taps", "not with multipath-rms: one channel model");
    if (!number_in(t.multipath_rms, 1, 2000, prefix, "multipath-rms", out.multipath_rms_ns, error)) return false;
    if (!t.multipath_per_packet.empty()) {
        if (t.multipath_per_packet != "0" && t.multipath_per_packet != "1")
            return refuse(error, prefix, "multipath-per-packet", "\"" + t.multipath_per_packet + "\" is not 0 or 1");
        if (t.multipath_rms.empty())
            return refuse(error, prefix, "multipath-per-packet", "needs multipath-rms (the Rayleigh channel)");
        out.per_packet = t.multipath_per_packet == "1";
    }
    if (t.multipath_taps.empty()) return true;
    std::string path = t.multipath_taps;
    if (!base_dir.empty() && !path.empty() && path.front() != '/') path = base_dir + "/" + path;
    std::string why;
    if (!read_taps_file(path, out, why)) return refuse(error, prefix, "multipath-taps", why);
    return true;
}

// One line of a taps file: its numbers (two or three), or a message.
bool taps_line(const std::string& line, double v[3], int& count, std::string& why) {
    std::istringstream words(line);
    words.imbue(std::locale::classic());
    std::string w;
    count = 0;
    while (words >> w) {
        if (count == 3) {
            why = "more than three numbers (delay_ns gain_db [phase_deg])";
            return false;
        }
        const auto n = values::number(w);
        if (!n) {
            why = "\"" + w + "\" is not a decimal number";
            return false;
        }
        v[count++] = *n;
    }
    if (count == 1) {
        why = "needs delay_ns gain_db [phase_deg]";
        return false;
    }
    return true;
}

}  // namespace

bool ImpairmentText::any() const {
    for (const std::string* s : {&snr, &seed, &iq_gain, &iq_phase, &phase_noise, &phase_noise_rms, &ppm, &carrier_ghz,
                                 &cfo_ppm, &clock_ppm, &multipath_rms, &multipath_per_packet, &multipath_taps, &pa_rapp,
                                 &clip_papr})
        if (!s->empty()) return true;
    return false;
}

bool read_taps_file(const std::string& path, Impairments& out, std::string& error) {
    uint64_t size = 0;
    if (!regular_file_size(path, size, error)) return false;  // no devices or pipes: they may never end
    if (size > (1u << 20)) {
        error = path + ": larger than 1 MiB, not a taps file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be read";
        return false;
    }
    std::string line;
    int number = 0;
    out.tap_delay_ns.clear();
    out.tap_gain_db.clear();
    out.tap_phase_deg.clear();
    while (std::getline(in, line)) {
        ++number;
        const std::string where = path + " line " + std::to_string(number) + ": ";
        if (const size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        double v[3] = {0, 0, 0};
        int count = 0;
        std::string why;
        if (!taps_line(line, v, count, why)) {
            error = where + why;
            return false;
        }
        if (count == 0) continue;
        if (!(v[0] >= 0 && v[0] <= 10000)) {
            error = where + "the delay must be 0 to 10000 ns";
            return false;
        }
        if (!out.tap_delay_ns.empty() && !(v[0] > out.tap_delay_ns.back())) {
            error = where + "delays must ascend";
            return false;
        }
        if (!(v[1] >= -200 && v[1] <= 40) || !(v[2] >= -360 && v[2] <= 360)) {
            error = where + "the gain must be -200 to 40 dB, the phase -360 to 360 degrees";
            return false;
        }
        if (out.tap_delay_ns.size() == 1024) {
            error = where + "more than 1024 taps";
            return false;
        }
        out.tap_delay_ns.push_back(v[0]);
        out.tap_gain_db.push_back(v[1]);
        out.tap_phase_deg.push_back(v[2]);
    }
    if (out.tap_delay_ns.empty()) {
        error = path + ": no taps (lines of delay_ns gain_db [phase_deg])";
        return false;
    }
    return true;
}

bool read_impairments(const ImpairmentText& t, const std::string& prefix, const std::string& base_dir,
                      Impairments& out, std::string& error) {
    out = Impairments{};
    if (!t.snr.empty()) {
        out.snr_on = true;
        if (!number_in(t.snr, -20, 100, prefix, "snr", out.snr_db, error)) return false;
    }
    if (!t.seed.empty()) {
        uint64_t v = 0;
        const auto [end, ec] = std::from_chars(t.seed.data(), t.seed.data() + t.seed.size(), v);
        if (ec != std::errc() || end != t.seed.data() + t.seed.size())
            return refuse(error, prefix, "impairment-seed", "\"" + t.seed + "\" is not a whole number 0..18446744073709551615");
        out.seed = v;
    }
    if (!number_in(t.iq_gain, -10, 10, prefix, "iq-gain", out.iq_gain_db, error) ||
        !number_in(t.iq_phase, -45, 45, prefix, "iq-phase", out.iq_phase_deg, error))
        return false;
    if (!t.phase_noise.empty() && !t.phase_noise_rms.empty())
        return refuse(error, prefix, "phase-noise-rms", "not with phase-noise: one profile");
    if (!t.phase_noise.empty() && !read_profile(t.phase_noise, prefix, out, error)) return false;
    if (!number_in(t.phase_noise_rms, 0, 60, prefix, "phase-noise-rms", out.pn_rms_deg, error)) return false;
    if (!read_offsets(t, prefix, out, error) || !read_multipath(t, prefix, base_dir, out, error)) return false;
    if (!t.pa_rapp.empty() && !read_rapp(t.pa_rapp, prefix, out, error)) return false;
    if (!t.clip_papr.empty()) {
        out.clip_on = true;
        if (!number_in(t.clip_papr, 0, 30, prefix, "clip-papr", out.clip_papr_db, error)) return false;
    }
    return true;
}

}  // namespace frames
