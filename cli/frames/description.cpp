// The waveform description file (JSON): its settings and packet entries,
// each fault reported with the JSON pointer of the value at fault.
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "frames.h"
#include "values.h"

namespace frames {

namespace {

using nlohmann::json;

// A fault at a JSON pointer, thrown out of the reading functions.
struct Fault {
    std::string path;
    std::string what;
};

[[noreturn]] void fault(const std::string& path, const std::string& what) { throw Fault{path, what}; }

// JSON pointer escaping of one key (RFC 6901).
std::string escaped(const std::string& key) {
    std::string out;
    for (char c : key) {
        if (c == '~') out += "~0";
        else if (c == '/') out += "~1";
        else out += c;
    }
    return out;
}

std::string shown(const json& v) {
    std::string s = v.dump(-1, ' ', false, json::error_handler_t::replace);
    return s.size() > 60 ? s.substr(0, 57) + "..." : s;
}

// Refuses any key of object o at path that is not in known.
void only_keys(const json& o, const std::string& path, std::initializer_list<const char*> known) {
    if (!o.is_object()) fault(path, "must be an object");
    for (const auto& [key, value] : o.items()) {
        bool ok = false;
        for (const char* k : known) ok = ok || key == k;
        if (!ok) {
            std::string list;
            for (const char* k : known) list += (list.empty() ? "" : ", ") + std::string(k);
            fault(path + "/" + escaped(key), "unknown key (known: " + list + ")");
        }
    }
}

long long whole_at(const json& v, const std::string& path, long long low, long long high) {
    if (!v.is_number_integer() || (v.is_number_unsigned() && v.get<uint64_t>() > uint64_t(high)) ||
        v.get<long long>() < low || v.get<long long>() > high)
        fault(path, shown(v) + " is not a whole number " + std::to_string(low) + ".." + std::to_string(high));
    return v.get<long long>();
}

double number_at(const json& v, const std::string& path, double low, double high) {
    if (!v.is_number() || !(v.get<double>() >= low && v.get<double>() <= high))
        fault(path, shown(v) + " is not a number " + values::number_text(low) + ".." + values::number_text(high));
    return v.get<double>();
}

std::string text_at(const json& v, const std::string& path) {
    if (!v.is_string()) fault(path, shown(v) + " is not a text");
    return v.get<std::string>();
}

// Bound of the settings' numbers whose range orvgen checks when it applies them.
constexpr double kBig = 1e9;

// The "impairments" object: its keys are orvgen's impairment options without
// "--", their values numbers or texts as the options take them
// ("multipath-per-packet" true or false).
void read_impairments_object(const json& o, const std::string& base_dir, Impairments& out) {
    ImpairmentText t;
    const std::pair<const char*, std::string*> keys[] = {
        {"snr", &t.snr},
        {"impairment-seed", &t.seed},
        {"iq-gain", &t.iq_gain},
        {"iq-phase", &t.iq_phase},
        {"phase-noise", &t.phase_noise},
        {"phase-noise-rms", &t.phase_noise_rms},
        {"ppm", &t.ppm},
        {"carrier-ghz", &t.carrier_ghz},
        {"cfo-ppm", &t.cfo_ppm},
        {"clock-ppm", &t.clock_ppm},
        {"multipath-rms", &t.multipath_rms},
        {"multipath-per-packet", &t.multipath_per_packet},
        {"multipath-taps", &t.multipath_taps},
        {"pa-rapp", &t.pa_rapp},
        {"clip-papr", &t.clip_papr}};
    only_keys(o, "/impairments",
              {"snr", "impairment-seed", "iq-gain", "iq-phase", "phase-noise", "phase-noise-rms", "ppm",
               "carrier-ghz", "cfo-ppm", "clock-ppm", "multipath-rms", "multipath-per-packet", "multipath-taps",
               "pa-rapp", "clip-papr"});
    for (const auto& [key, to] : keys) {
        if (!o.contains(key)) continue;
        const json& v = o[key];
        const std::string path = std::string("/impairments/") + key;
        if (std::string(key) == "multipath-per-packet") {
            if (!v.is_boolean()) fault(path, shown(v) + " is not true or false");
            *to = v.get<bool>() ? "1" : "0";
        } else if (v.is_string()) {
            *to = v.get<std::string>();
            if (to->empty()) fault(path, "is empty");
        } else if (v.is_number_unsigned()) {
            *to = std::to_string(v.get<uint64_t>());
        } else if (v.is_number()) {
            *to = v.is_number_integer() ? std::to_string(v.get<long long>()) : values::number_text(v.get<double>());
        } else {
            fault(path, shown(v) + " is not a number or a text");
        }
    }
    std::string error;
    if (!read_impairments(t, "/impairments/", base_dir, out, error)) {
        const size_t colon = error.find(": ");
        fault(error.substr(0, colon), colon == std::string::npos ? error : error.substr(colon + 2));
    }
}

// The "settings" object.
void read_settings(const json& s, const std::string& path, GlobalSettings& g) {
    only_keys(s, path, {"channel", "oversample", "filter", "taps", "roll-off", "cut-off", "window-tr",
                        "iq-inverse", "freq-error", "if", "dc-real", "dc-imag", "sine", "sine-level", "gauss"});
    auto num = [&](const char* key, std::optional<double>& to, double low = -kBig, double high = kBig) {
        if (s.contains(key)) to = number_at(s[key], path + "/" + key, low, high);
    };
    if (s.contains("channel")) {
        const json& v = s["channel"];
        if (!v.is_number_integer() || (v != 20 && v != 10 && v != 5))
            fault(path + "/channel", shown(v) + " is not one of 20, 10, 5");
        g.channel_mhz = v.get<int>();
    }
    if (s.contains("oversample")) g.oversample = static_cast<int>(whole_at(s["oversample"], path + "/oversample", 1, 10));
    if (s.contains("filter")) {
        const std::string f = text_at(s["filter"], path + "/filter");
        if (f != "rectangle" && f != "nyquist") fault(path + "/filter", "\"" + f + "\" is not one of rectangle, nyquist");
        g.filter = f;
    }
    if (s.contains("taps")) g.taps = static_cast<int>(whole_at(s["taps"], path + "/taps", 1, 100000));
    num("roll-off", g.roll_off, 0.0, 1.0);
    num("cut-off", g.cut_off, 0.0, kBig);
    num("window-tr", g.window_tr, 0.0, 2.0);
    if (s.contains("iq-inverse")) {
        if (!s["iq-inverse"].is_boolean()) fault(path + "/iq-inverse", shown(s["iq-inverse"]) + " is not true or false");
        g.iq_inverse = s["iq-inverse"].get<bool>();
    }
    num("freq-error", g.freq_error);
    num("if", g.if_freq);
    num("dc-real", g.dc_real);
    num("dc-imag", g.dc_imag);
    num("sine", g.sine);
    num("sine-level", g.sine_level);
    num("gauss", g.gauss);
    if (g.freq_error && g.if_freq) fault(path + "/if", "excludes freq-error (one frequency offset)");
    if (g.sine && g.gauss) fault(path + "/gauss", "excludes sine (one noise kind)");
    if (g.sine_level && !g.sine) fault(path + "/sine-level", "needs sine");
}

// The address and duration keys of a pattern entry.
void read_mac(const json& e, const std::string& path, MacHeader& h) {
    const std::pair<const char*, MacAddress*> addrs[] = {{"addr1", &h.addr1}, {"addr2", &h.addr2}, {"addr3", &h.addr3}};
    for (const auto& [key, to] : addrs) {
        if (!e.contains(key)) continue;
        const std::string t = text_at(e[key], path + "/" + key);
        const auto a = parse_mac_address(t);
        if (!a) fault(path + "/" + key, "\"" + t + "\" is not an address like 02:00:00:00:00:01");
        *to = *a;
    }
    if (e.contains("duration"))
        h.duration = static_cast<uint16_t>(whole_at(e["duration"], path + "/duration", 0, values::kMaxDuration));
}

// A pattern payload entry: data, seed, payload-bytes, mac-frame and the MAC keys.
void read_pattern(const json& e, const std::string& path, PacketPlan& p) {
    if (e.contains("data")) {
        const std::string t = text_at(e["data"], path + "/data");
        const auto pattern = parse_pattern(t);
        if (!pattern) fault(path + "/data", "\"" + t + "\" is not one of " + values::kPatternList);
        p.pattern = *pattern;
    }
    if (e.contains("seed")) {
        if (!e["seed"].is_string()) fault(path + "/seed", shown(e["seed"]) + " is not a text of hex digits such as \"1FF\"");
        const auto seed = values::hex_seed(e["seed"].get<std::string>());
        if (!seed) fault(path + "/seed", shown(e["seed"]) + " is not 1 to 8 hex digits, not 0");
        p.seed = *seed;
    }
    if (e.contains("mac-frame")) {
        const std::string t = text_at(e["mac-frame"], path + "/mac-frame");
        if (t != "data" && t != "none") fault(path + "/mac-frame", "\"" + t + "\" is not one of data, none");
        p.mac_frame = t == "data";
    }
    if (!e.contains("payload-bytes")) fault(path, "needs payload-bytes (or psdu-hex, psdu-file, pcap)");
    const long long low = p.mac_frame ? 0 : 1;
    const long long high = static_cast<long long>(kMaxPsduOctets - (p.mac_frame ? kMacOverheadOctets : 0));
    p.payload_bytes = static_cast<size_t>(whole_at(e["payload-bytes"], path + "/payload-bytes", low, high));
    read_mac(e, path, p.mac);
}

// Whichever of psdu-hex, psdu-file and pcap the entry names (at most one).
void read_given_psdu(const json& e, const std::string& path, const std::string& base_dir, PacketPlan& p) {
    const char* given = nullptr;
    for (const char* key : {"psdu-hex", "psdu-file", "pcap"}) {
        if (!e.contains(key)) continue;
        if (given) fault(path + "/" + key, std::string("excludes ") + given);
        given = key;
    }
    for (const char* key : {"data", "seed", "payload-bytes", "mac-frame", "addr1", "addr2", "addr3", "duration"})
        if (e.contains(key)) fault(path + "/" + key, std::string("applies to pattern payloads, not with ") + given);
    const std::string at = path + "/" + given;
    const std::string t = text_at(e[given], at);
    std::string why;
    const auto file = [&] { return (std::filesystem::path(base_dir) / t).string(); };
    if (std::string(given) == "psdu-hex") {
        p.source = Source::Octets;
        if (!parse_hex(t, p.octets, why)) fault(at, why);
        if (p.octets.empty() || p.octets.size() > kMaxPsduOctets)
            fault(at, std::to_string(p.octets.size()) + " octets, not 1..4095");
    } else if (std::string(given) == "psdu-file") {
        p.source = Source::Octets;
        if (t.empty() || !read_small_file(file(), kMaxPsduOctets, p.octets, why)) fault(at, t.empty() ? "empty name" : why);
        if (p.octets.empty()) fault(at, t + " is empty");
    } else {
        p.source = Source::Capture;
        if (t.empty() || !read_pcap_file(file(), p.captured, why)) fault(at, t.empty() ? "empty name" : why);
    }
}

void read_entry(const json& e, const std::string& path, const std::string& base_dir, PacketPlan& p) {
    only_keys(e, path, {"rate", "data", "seed", "payload-bytes", "mac-frame", "addr1", "addr2", "addr3",
                        "duration", "psdu-hex", "psdu-file", "pcap", "scrambler-init", "idle", "repeat"});
    if (!e.contains("rate")) fault(path, "needs rate");
    const json& rate = e["rate"];
    p.rate_index = rate.is_number_integer() ? values::rate_index(rate.get<long>()) : -1;
    if (p.rate_index < 0) fault(path + "/rate", shown(rate) + " is not one of " + values::kRateList);
    if (e.contains("psdu-hex") || e.contains("psdu-file") || e.contains("pcap"))
        read_given_psdu(e, path, base_dir, p);
    else
        read_pattern(e, path, p);
    if (e.contains("scrambler-init")) {
        const json& s = e["scrambler-init"];
        if (s.is_string() && s.get<std::string>() == "step")
            p.scrambler = kScramblerStep;
        else if (s.is_number_integer() && s.get<long long>() >= 1 && s.get<long long>() <= 127)
            p.scrambler = s.get<int>();
        else
            fault(path + "/scrambler-init", shown(s) + " is not 1..127 or \"step\"");
    }
    if (e.contains("idle")) p.idle_us = number_at(e["idle"], path + "/idle", 0.0, values::kMaxIdleUs);
    if (e.contains("repeat"))
        p.repeat = static_cast<uint32_t>(whole_at(e["repeat"], path + "/repeat", 1, static_cast<long long>(kMaxPackets)));
}

// A parser callback that refuses a key given twice in one object, with its path.
class DuplicateKeys {
public:
    std::string path;  // of the first duplicate, empty when none

    bool operator()(int, json::parse_event_t event, json& parsed) {
        switch (event) {
            case json::parse_event_t::object_start: frames_.push_back(Frame{false, 0, {}, {}}); break;
            case json::parse_event_t::array_start: frames_.push_back(Frame{true, 0, {}, {}}); break;
            case json::parse_event_t::key: {
                Frame& f = frames_.back();
                f.key = parsed.get<std::string>();
                if (!f.keys.insert(f.key).second && path.empty()) path = current();
                break;
            }
            case json::parse_event_t::object_end:
            case json::parse_event_t::array_end:
                frames_.pop_back();
                [[fallthrough]];
            case json::parse_event_t::value:
                if (!frames_.empty() && frames_.back().array) ++frames_.back().index;
                break;
        }
        return true;
    }

private:
    struct Frame {
        bool array;
        size_t index = 0;
        std::string key;
        std::set<std::string> keys;
    };
    std::vector<Frame> frames_;

    std::string current() const {
        std::string p;
        for (const Frame& f : frames_) {
            p += '/';
            p += f.array ? std::to_string(f.index) : escaped(f.key);
        }
        return p;
    }
};

}  // namespace

bool plan_from_json(std::string_view text, const std::string& base_dir, WaveformPlan& plan, std::string& error) {
    json doc;
    DuplicateKeys duplicates;
    try {
        doc = json::parse(text.begin(), text.end(), std::ref(duplicates));
    } catch (const json::parse_error& e) {
        error = "not valid JSON at byte " + std::to_string(e.byte) + ": " + e.what();
        return false;
    } catch (const json::exception& e) {  // a number out of range (406), for one
        error = std::string("not valid JSON: ") + e.what();
        return false;
    }
    WaveformPlan out;
    try {
        if (!duplicates.path.empty()) fault(duplicates.path, "key given twice");
        only_keys(doc, "", {"version", "settings", "packets", "impairments"});
        if (doc.contains("version") && doc["version"] != 1) fault("/version", shown(doc["version"]) + " is not 1");
        if (doc.contains("settings")) read_settings(doc["settings"], "/settings", out.globals);
        if (!doc.contains("packets") || !doc["packets"].is_array() || doc["packets"].empty())
            fault("/packets", "needs a list of at least one packet");
        const json& list = doc["packets"];
        for (size_t k = 0; k < list.size(); ++k) {
            out.packets.emplace_back();
            read_entry(list[k], "/packets/" + std::to_string(k), base_dir, out.packets.back());
        }
        if (doc.contains("impairments")) read_impairments_object(doc["impairments"], base_dir, out.impairments);
    } catch (const Fault& f) {
        error = (f.path.empty() ? std::string("/") : f.path) + ": " + f.what;
        return false;
    }
    plan = std::move(out);
    return true;
}

bool read_description(const std::string& path, WaveformPlan& plan, std::string& error) {
    std::vector<uint8_t> bytes;
    std::string why;
    constexpr size_t kMaxDescription = 64u << 20;
    if (!read_small_file(path, kMaxDescription, bytes, why)) {
        error = why;
        return false;
    }
    const std::string base = std::filesystem::path(path).parent_path().string();
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (!plan_from_json(text, base.empty() ? "." : base, plan, why)) {
        error = path + ": " + why;
        return false;
    }
    return true;
}

}  // namespace frames
