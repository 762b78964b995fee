#include "orvgen.h"

#include <CLI/CLI.hpp>

#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "MainFormCore.h"
#include "cli_common.h"
#include "burst_source.h"
#include "instrument.h"
#include "burst_impaired.h"
#include "orvgen_frames.h"
#include "sigmf.h"
#if ORVGEN_WITH_CHECK
#include "analysis.h"
#endif
#include "mdlIniFileIo.h"
#include "mdlPrmInput.h"
#include "mdlPublicIniRW.h"
#include "num_text.h"
#include "settings_file.h"
#include "orvasynth.h"
#include "validate.h"

namespace {

using orv::cli::fold;
using orv::cli::json_number;

// How a parameter option sets the window's state.
enum class ParamKind {
    kList,        // a choice list: a word or the entry text selects its index
    kText,        // a text field, directly
    kGroupValue,  // an option of a group switched on, and its field's value
    kGroupFlag,   // an option of a group switched on, without a value
    kSineLevel,   // the sine level, with --sine only
};

// A parameter option: its name, what it sets, its unit and what it is.
struct ParamOption {
    const char* name;
    ParamKind kind;
    int32_t control;  // kList: the list (kCmb*); kText, kSineLevel: the field (kTxt*); groups: the group (kOpt*)
    int32_t option;   // groups: the option switched on
    int32_t field;    // kGroupValue: the field the value goes to
    const char* unit;
    const char* what;
    std::vector<std::vector<std::string>> words;  // kList: per index; the first is shown in --help
};

// Every option that sets a parameter, in --help order: the choice lists (first:
// the oversampling factor sets the frequency bounds), the text fields in the
// window's reading order, the two option groups, the sine level.
const std::vector<ParamOption>& param_options() {
    using K = ParamKind;
    static const std::vector<ParamOption> options = {
        {"--rate", K::kList, kCmbRate, 0, 0, "", "Rate in Mbit/s",
         {{"6"}, {"9"}, {"12"}, {"18"}, {"24"}, {"36"}, {"48"}, {"54"}}},
        {"--format", K::kList, kCmbFormat, 0, 0, "", "Format: full 802.11a burst, or Free (DATA symbols only)",
         {{"802.11a"}, {"free"}}},
        {"--burst", K::kList, kCmbBurst, 0, 0, "", "Burst: append the burst-off gap", {{"off"}, {"on"}}},
        {"--data", K::kList, kCmbData, 0, 0, "", "Data: payload pattern",
         {{"PN9"}, {"PN15"}, {"PN19"}, {"PN20"}, {"PN23"}, {"ALL0", "ALL 0"}, {"ALL1", "ALL 1"}}},
        {"--iq-inverse", K::kList, kCmbIQInv, 0, 0, "", "IQ Inverse: exchange I and Q", {{"off"}, {"on"}}},
        {"--filter", K::kList, kCmbFilTyp, 0, 0, "", "Filter Type", {{"rectangle"}, {"nyquist"}}},
        {"--oversample", K::kList, kCmbOverSamp, 0, 0, "", "Oversample factor (sampling rate = 20 MHz times it)",
         {{"4"}, {"5"}, {"6"}, {"7"}, {"8"}, {"9"}, {"10"}}},
        {"--burst-off", K::kText, kTxtBurstOff, 0, 0, "usec", "Burst Off: silent gap after the burst (with --burst on)", {}},
        {"--seed", K::kText, kTxtSeedPN, 0, 0, "hex", "Seed PN: initial state of the PN generator", {}},
        {"--symbols", K::kText, kTxtnOFDM, 0, 0, "symbols", "OFDM Length: number of DATA symbols", {}},
        {"--taps", K::kText, kTxtFiltLeng, 0, 0, "taps", "Filter Length of the Nyquist filter", {}},
        {"--roll-off", K::kText, kTxtFiltAlpha, 0, 0, "", "Roll Off of the Nyquist filter", {}},
        {"--cut-off", K::kText, kTxtFCut, 0, 0, "MHz", "Cut Off of the Nyquist filter (up to half the sampling rate)", {}},
        {"--window-tr", K::kText, kTxtWinTR, 0, 0, "usec", "Window TR: edge-taper transition time", {}},
        {"--dc-real", K::kText, kTxtDcOffsetRe, 0, 0, "%", "DC Offset Real, percent of the peak envelope", {}},
        {"--dc-imag", K::kText, kTxtDcOffsetIm, 0, 0, "%", "DC Offset Imag, percent of the peak envelope", {}},
        {"--freq-error", K::kGroupValue, kOptFreqOfs, 1, kTxtDFreq, "MHz", "Frequency Offset \"Freq Error\"", {}},
        {"--if", K::kGroupValue, kOptFreqOfs, 2, kTxtIf, "MHz", "Frequency Offset \"IF conversion\" frequency", {}},
        {"--no-freq-offset", K::kGroupFlag, kOptFreqOfs, 0, -1, "", "Frequency Offset \"None\"", {}},
        {"--sine", K::kGroupValue, kOptNoise, 1, kTxtNoiseFreq, "MHz", "Noise \"Sin\": sine interferer frequency", {}},
        {"--gauss", K::kGroupValue, kOptNoise, 2, kTxtNoiseDB, "dB", "Noise \"Gauss\": Gaussian noise level", {}},
        {"--no-noise", K::kGroupFlag, kOptNoise, 0, -1, "", "Noise \"None\"", {}},
        {"--sine-level", K::kSineLevel, kTxtNoiseDB, 0, 0, "dB", "Noise \"Sin\": sine interferer level", {}},
    };
    return options;
}

// Index of value in a list option (its words or the window's entry text), or -1.
int32_t list_index(const ParamOption& o, const std::string& value) {
    const std::string v = fold(value);
    for (size_t k = 0; k < o.words.size(); ++k) {
        for (const std::string& w : o.words[k])
            if (fold(w) == v) return static_cast<int32_t>(k);
        if (fold(kLists[o.control].entries[k]) == v) return static_cast<int32_t>(k);
    }
    return -1;
}

// "1 to 1000 taps" style range of a field at sampling rate fs.
std::string range_text(int32_t field, float fs, const char* unit) {
    if (kFieldRules[field].hex_length > 0) return "1 to FFFFFF (hexadecimal)";
    double lower, upper;
    FieldBounds(field, fs, lower, upper);
    const char* pattern = kFieldRules[field].pattern;
    std::string s = FormatPattern(lower, pattern) + " to " + FormatPattern(upper, pattern);
    if (unit != nullptr && *unit != '\0') s += std::string(" ") + unit;
    return s;
}

// Decimals written after the point in a number text, 0 without a point.
int32_t decimals_of(const std::string& text) {
    size_t dot = text.find('.');
    if (dot == std::string::npos) return 0;
    size_t end = text.find_first_of("eE", dot);
    return static_cast<int32_t>((end == std::string::npos ? text.size() : end) - dot - 1);
}

// Checks a value given for a field and returns the text the field takes.
// Returns kExitWritten, kExitUsage (not a number) or kExitRefused (out of range).
int check_field_value(const char* option, int32_t field, const char* unit, const std::string& value,
                      float fs, std::string& text, std::ostream& err) {
    const FieldRule& rule = kFieldRules[field];
    if (rule.hex_length > 0) {
        int32_t v = 0;
        const bool hex = !value.empty() && value.size() <= 8 &&
                         value.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos &&
                         ReadStrictInteger("&H" + value, v);
        if (!hex) {
            err << "orvgen: " << option << " " << value << " is not a hexadecimal number\n";
            return kExitUsage;
        }
        if (v < 1 || v > 16777215) {
            err << "orvgen: " << option << " " << value << " is out of range: " << rule.caption
                << " takes " << range_text(field, fs, unit) << "\n";
            return kExitRefused;
        }
        text = CheckHexRange(value, 16777215, 1);
        return kExitWritten;
    }
    double v = 0.0;
    if (!ReadStrictNumber(value, v) || value.find_first_of("eE") != std::string::npos) {
        err << "orvgen: " << option << " " << value << " is not a decimal number\n";
        return kExitUsage;
    }
    double lower, upper;
    FieldBounds(field, fs, lower, upper);
    if (!(v >= lower && v <= upper)) {
        err << "orvgen: " << option << " " << value << " is out of range: " << rule.caption
            << " takes " << range_text(field, fs, unit) << "\n";
        return kExitRefused;
    }
    if (decimals_of(value) > rule.decimals) {
        err << "orvgen: " << option << " " << value << " has too many decimals: " << rule.caption
            << " takes " << rule.decimals << (rule.decimals == 1 ? " decimal\n" : " decimals\n");
        return kExitRefused;
    }
    text = FormatPattern(v, rule.pattern);
    return kExitWritten;
}

// A validation bit of the library's result: the WaveParams field and the option that sets it.
struct MaskField {
    uint32_t bit;
    const char* field;
    const char* option;  // "" when no option sets it
};

const MaskField kMaskFields[] = {
    {ORV_BAD_FRAME_FORMAT, "frame_format", "--format"},
    {ORV_BAD_BURST_ENABLE, "burst_enable", "--burst"},
    {ORV_BAD_BURST_OFF_TIME, "burst_off_time", "--burst-off"},
    {ORV_BAD_RATE_INDEX, "rate_index", "--rate"},
    {ORV_BAD_OFDM_SYMBOLS, "ofdm_symbols", "--symbols"},
    {ORV_BAD_PN_SEED, "pn_seed", "--seed"},
    {ORV_BAD_DATA_PATTERN, "data_pattern", "--data"},
    {ORV_BAD_OVERSAMPLING, "oversampling", "--oversample"},
    {ORV_BAD_WINDOW_TR, "window_tr", "--window-tr"},
    {ORV_BAD_FILTER_CUTOFF, "filter_cutoff", "--cut-off"},
    {ORV_BAD_FILTER_ROLLOFF, "filter_rolloff", "--roll-off"},
    {ORV_BAD_RESERVED, "reserved", ""},
    {ORV_BAD_FILTER_TAPS, "filter_taps", "--taps"},
    {ORV_BAD_IQ_INVERSE, "iq_inverse", "--iq-inverse"},
    {ORV_BAD_FREQ_ERROR_ENABLE, "freq_error_enable", "--freq-error"},
    {ORV_BAD_FREQ_ERROR, "freq_error", "--freq-error"},
    {ORV_BAD_IF_ENABLE, "if_enable", "--if"},
    {ORV_BAD_IF_FREQ, "if_freq", "--if"},
    {ORV_BAD_DC_OFFSET_RE, "dc_offset_re", "--dc-real"},
    {ORV_BAD_DC_OFFSET_IM, "dc_offset_im", "--dc-imag"},
    {ORV_BAD_NOISE_ENABLE, "noise_enable", "--gauss"},
    {ORV_BAD_NOISE_LEVEL, "noise_level", "--gauss"},
    {ORV_BAD_SINE_ENABLE, "sine_enable", "--sine"},
    {ORV_BAD_SINE_FREQ, "sine_freq", "--sine"},
    {ORV_BAD_SINE_LEVEL, "sine_level", "--sine-level"},
    {ORV_BAD_OUTPUT_MODE, "output mode", "--output-format"},
};

// The impairments' refusal bits (apart: they share values with the record's).
const MaskField kImpairmentMaskFields[] = {
    {ORV_IMP_BAD_SNR, "snr_db", "--snr"},
    {ORV_IMP_BAD_IQ, "iq_gain_db, iq_phase_deg", "--iq-gain, --iq-phase"},
    {ORV_IMP_BAD_PA, "pa_smoothness, pa_backoff_db, clip_papr_db", "--pa-rapp, --clip-papr"},
    {ORV_IMP_BAD_PHASE_NOISE, "phase noise profile or RMS", "--phase-noise, --phase-noise-rms"},
    {ORV_IMP_BAD_CARRIER, "cfo_ppm, carrier_ghz (with the frequency error, up to half the sampling rate)",
     "--ppm, --cfo-ppm, --carrier-ghz, --freq-error"},
    {ORV_IMP_BAD_CLOCK, "clock_ppm", "--ppm, --clock-ppm"},
    {ORV_IMP_BAD_MULTIPATH, "multipath channel", "--multipath-rms, --multipath-taps"},
};

// Total sample count of a record, as the library computes it.
int64_t total_samples(const WaveParams& p) {
    const int64_t os = p.oversampling;
    const int64_t n = (p.frame_format == 0 ? 400 * os : 0) + 80 * static_cast<int64_t>(p.ofdm_symbols) * os;
    if (p.burst_enable != 1) return n;
    return static_cast<int64_t>(static_cast<double>(n) + p.burst_off_time * (20000000.0 * p.oversampling));
}

// Runs the library with its standard output moved to standard error, so that
// a round-error line it prints cannot break the JSON object on standard output.
int32_t call_library_off_stdout(const std::function<int32_t()>& call) {
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    const bool moved = saved >= 0 && ::dup2(STDERR_FILENO, STDOUT_FILENO) >= 0;
    const int32_t rc = call();
    std::fflush(stdout);
    if (moved) ::dup2(saved, STDOUT_FILENO);
    if (saved >= 0) ::close(saved);
    return rc;
}

// Register length n of a PN pattern, 0 for the constant patterns.
int32_t pn_register_length(int32_t data_pattern) {
    static const int32_t kLength[] = {9, 15, 19, 20, 23};
    return data_pattern >= 0 && data_pattern < 5 ? kLength[data_pattern] : 0;
}

std::string help_footer() {
    return "Values use the units of the Orvane window. Options override --settings, which\n"
           "overrides the defaults of \"Set Defaults\". The output format follows the file\n"
           "extension (.csv: CSV file, .awv: AWG file, .sigmf-data or .sigmf-meta: SigMF\n"
           "recording, .wv: R&S WV file) unless --output-format is given; a Keysight\n"
           "16-bit binary (and its marker file FILE.mkr) needs --output-format keysight.\n"
           "Any option of the group \"Standard frames\" makes a sequence of standard frames instead\n"
           "of the burst: then --rate, --data and --seed describe the frames' payload,\n"
           "--oversample takes 1 to 10, --window-tr defaults to 0.1 usec, and --symbols,\n"
           "--format, --burst and --burst-off do not apply; --check decodes every packet.\n"
           "Exit status: 0 written; 1 usage error; 2 parameters refused; 3 file not written;\n"
           "4 any other library failure; 5 written, but --check found a failed check\n"
           "or could not read the file back.";
}

// Folder of the Orvane program whose settings "--settings window" reads: the
// one beside orvgen (installed), else the build tree's app/ folder.
std::string window_program_dir() {
    std::error_code ec;
#ifdef _WIN32
    char module[MAX_PATH * 2];
    const DWORD len = GetModuleFileNameA(nullptr, module, sizeof module);
    if (len == 0 || len >= sizeof module) ec = std::make_error_code(std::errc::filename_too_long);
    const std::filesystem::path self = ec ? std::filesystem::path() : std::filesystem::path(module);
#else
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
#endif
    const std::filesystem::path dir = ec ? std::filesystem::current_path(ec) : self.parent_path();
    if (!std::filesystem::exists(dir / "Orvane", ec) && std::filesystem::exists(dir / "app" / "Orvane", ec)) {
        return (dir / "app").string();
    }
    return dir.string();
}

// What orvgen writes: the library's output modes 0 (AWG file) and 1 (CSV
// file), or a SigMF recording, an R&S WV file or a Keysight binary, which
// orvgen writes itself from the conditioned samples.
enum class OutputKind : int32_t { kAwg = 0, kCsv = 1, kSigmf = 2, kWv = 3, kKeysight = 4 };

const char* kind_name(OutputKind k) { return orv::gen::output_kind_name(static_cast<int32_t>(k)); }

bool for_instrument(OutputKind k) { return k == OutputKind::kWv || k == OutputKind::kKeysight; }

// What the command line asks for.
struct Request {
    std::string output, output_format, settings, save_settings, sigmf_type, from, backoff;
    bool json = false;
    bool check = false;
    std::vector<std::string> values;        // per param_options() entry: the text given
    std::vector<bool> given;                // per entry: the option is on the command line
    std::vector<std::string> params_given;  // names of the options that set a parameter, as --from names them
    frames::FrameOptions frame;             // the frame options (--rate, --data, --seed taken in frame mode)
    std::string waveform, channel;          // --waveform, --channel
    std::vector<std::string> frame_given;   // names of the frame options given: frame mode when any
    frames::ImpairmentText impair;          // the impairment options
    std::vector<std::string> impair_given;  // names of the impairment options given
};

// One run: the request and what each step made of it.
struct Job {
    Request req;
    FieldValues fields;  // the window's state the request makes
    OutputKind kind = OutputKind::kAwg;
    WaveParams rec{};
    int32_t rc = ORV_OK;       // the library's result
    std::string written_path;  // the file --check reads and a failure names
    int status = kExitWritten;
    std::string check_report, check_json = "null";
    double backoff_db = 0;                  // WV, Keysight: the peak below full scale
    orv::instrument::Result instrument;     // WV, Keysight: what was written
    orv::sigmf::FrameSequence impair;  // the burst's impairments (impair.impaired false: none)
    uint32_t refused_impairments = 0;  // ORV_IMP_BAD_* bits the library refused
#if ORVGEN_WITH_SIGMF
    orv::sigmf::SampleType sample_type = orv::sigmf::SampleType::Cf32;
    orv::sigmf::Written recording;
#endif
};

// A step's verdict: empty to go on, else the exit status.
using Stop = std::optional<int>;

// The --help text of a parameter option.
std::string param_description(const ParamOption& o, const FieldValues& defaults, float default_fs) {
    if (o.kind == ParamKind::kGroupFlag) return std::string(o.what) + " (the default)";
    if (o.kind == ParamKind::kList) {
        std::string choices;
        for (const auto& w : o.words) choices += (choices.empty() ? "" : "|") + w.front();
        const int32_t def = o.control == kCmbOverSamp ? 4 : defaults.list[o.control];
        return std::string(o.what) + " (" + choices + "; default " + o.words[def].front() + ")";
    }
    const int32_t field = o.kind == ParamKind::kGroupValue ? o.field : o.control;
    std::string range = range_text(field, default_fs, o.unit);
    if (kFieldRules[field].upper_kind != kUpperFixed) range += " at the default sampling rate";
    std::string desc = std::string(o.what) + " (" + range + "; default " + defaults.text[field] + ")";
    return o.kind == ParamKind::kSineLevel ? desc + "; needs --sine" : desc;
}

// Adds the parameter options to app, bound to req; returns them in param_options() order.
std::vector<CLI::Option*> add_param_options(CLI::App& app, Request& req, const FieldValues& defaults) {
    const auto& table = param_options();
    const float default_fs = SamplingRate(defaults.list[kCmbOverSamp]);
    req.values.assign(table.size(), std::string());
    std::vector<CLI::Option*> opts(table.size());
    for (size_t k = 0; k < table.size(); ++k) {
        const ParamOption& o = table[k];
        const std::string desc = param_description(o, defaults, default_fs);
        if (o.kind == ParamKind::kGroupFlag) {
            opts[k] = app.add_flag_callback(o.name, [] {}, desc);
            continue;
        }
        // --format is also --frame, the receiver's name for it.
        const bool format = o.kind == ParamKind::kList && o.control == kCmbFormat;
        const std::string names = std::string(o.name) + (format ? ",--frame" : "");
        const char* type = o.kind == ParamKind::kList ? "CHOICE" : *o.unit ? o.unit : "VALUE";
        opts[k] = app.add_option(names, req.values[k], desc)->type_name(type);
    }
    // The options of one group exclude each other, as the window's option buttons do.
    auto is_group = [](ParamKind k) { return k == ParamKind::kGroupValue || k == ParamKind::kGroupFlag; };
    CLI::Option *sine = nullptr, *gauss = nullptr, *sine_level = nullptr;
    for (size_t a = 0; a < table.size(); ++a) {
        if (std::strcmp(table[a].name, "--sine") == 0) sine = opts[a];
        if (std::strcmp(table[a].name, "--gauss") == 0) gauss = opts[a];
        if (table[a].kind == ParamKind::kSineLevel) sine_level = opts[a];
        for (size_t b = 0; b < table.size(); ++b)
            if (a != b && is_group(table[a].kind) && is_group(table[b].kind) && table[a].control == table[b].control)
                opts[a]->excludes(opts[b]);
    }
    sine_level->needs(sine);
    sine_level->excludes(gauss);
    return opts;
}

// Adds the options of frame sequences to app, bound to req; returns them.
std::vector<CLI::Option*> add_frame_options(CLI::App& app, Request& req) {
    frames::FrameOptions& f = req.frame;
    std::vector<CLI::Option*> o;
    auto add = [&](const char* name, std::string& to, const char* type, const char* what) {
        o.push_back(app.add_option(name, to, what)->type_name(type)->group("Standard frames (any selects frame mode)"));
    };
    add("--payload-bytes", f.payload_bytes, "N",
        "Payload octets per frame: 0..4067 in a MAC data frame, 1..4095 with --mac-frame none");
    add("--mac-frame", f.mac_frame, "data|none", "Wrap the payload in a MAC data frame with FCS (default) or not");
    add("--addr1", f.addr1, "MAC", "Address 1 (receiver) of the data frames (default ff:ff:ff:ff:ff:ff)");
    add("--addr2", f.addr2, "MAC", "Address 2 (transmitter) (default 02:00:00:00:00:01)");
    add("--addr3", f.addr3, "MAC", "Address 3 (BSSID) (default 02:00:00:00:00:01)");
    add("--duration", f.duration, "usec", "Duration/ID field of the data frames, 0..32767 (default 0)");
    add("--psdu-hex", f.psdu_hex, "HEX", "One PSDU as hex octets, sent as it is (1..4095 octets)");
    add("--psdu-file", f.psdu_file, "FILE", "One PSDU: the file's bytes, sent as they are (1..4095 octets)");
    add("--pcap", f.pcap, "FILE", "Every frame of an 802.11 capture (pcap, pcapng), one PPDU each");
    add("--packets", f.packets, "N", "How many times the packet (or the capture) is sent, 1..1000000 (default 1)");
    add("--idle", f.idle, "usec", "Silence after each packet, 0..1000000 usec (default 0)");
    add("--scrambler-init", f.scrambler_init, "1..127|step",
        "Scrambler initial state (default 93), or step: 1, 2, ... 127, 1, ... per packet");
    add("--waveform", req.waveform, "FILE", "A waveform description (JSON): settings and a list of packets");
    add("--channel", req.channel, "20|10|5", "Channel width in MHz (default 20): 10 and 5 play the samples slower");
    for (size_t given = 6; given <= 8; ++given)  // a given PSDU excludes the other sources and the data frame
        for (size_t k = 0; k < given; ++k) o[given]->excludes(o[k]);
    for (size_t k = 0; k + 2 < o.size(); ++k)
        if (k != 12) o[12]->excludes(o[k]);
    return o;
}

// Adds the impairment options (physical units; frame sequences and the burst) to app, bound to req.
std::vector<CLI::Option*> add_impairment_options(CLI::App& app, Request& req) {
    frames::ImpairmentText& t = req.impair;
    std::vector<CLI::Option*> o;
    const char* group = "Impairments of frame sequences and of the burst (in this order: PA, IQ, phase noise and "
                        "carrier, clock, channel, noise)";
    auto add = [&](const char* name, std::string& to, const char* type, const char* what) {
        o.push_back(app.add_option(name, to, what)->type_name(type)->group(group));
    };
    add("--snr", t.snr, "dB",
        "Noise for this SNR, -20..100: the packets' mean power over the noise in the channel (20, 10 or 5 MHz)");
    add("--impairment-seed", t.seed, "N", "Seed of every random impairment, 0..2^64-1 (default 1)");
    add("--iq-gain", t.iq_gain, "dB", "IQ gain imbalance, I over Q, -10..10");
    add("--iq-phase", t.iq_phase, "deg", "IQ quadrature error, -45..45: the axes 90 + this apart");
    add("--phase-noise", t.phase_noise, "dBc/Hz@Hz,...",
        "Phase noise profile L(f), 2..64 points, offsets ascending, straight lines on log frequency");
    add("--phase-noise-rms", t.phase_noise_rms, "deg",
        "Phase noise of this integrated RMS, 0..60: flat 1..100 kHz, -20 dB a decade to 1 MHz");
    add("--ppm", t.ppm, "X", "One oscillator X ppm fast for carrier and sample clock, -1000..1000 (needs --carrier-ghz)");
    add("--carrier-ghz", t.carrier_ghz, "F", "Carrier frequency in GHz for --ppm and --cfo-ppm, 0.001..1000");
    add("--cfo-ppm", t.cfo_ppm, "X", "Carrier offset alone, ppm of --carrier-ghz (the signal moves up)");
    add("--clock-ppm", t.clock_ppm, "X", "Sample clock offset alone, -1000..1000 ppm (fast: packets come earlier)");
    add("--multipath-rms", t.multipath_rms, "ns", "Exponential-decay Rayleigh channel of this RMS delay spread, 1..2000");
    o.push_back(app.add_flag_callback("--multipath-per-packet", [&t] { t.multipath_per_packet = "1"; },
                                      "A new channel realisation for each packet (default: one for the file)")
                    ->group(group));
    add("--multipath-taps", t.multipath_taps, "FILE", "A tapped delay line: lines of delay_ns gain_db [phase_deg]");
    add("--pa-rapp", t.pa_rapp, "p,backoff_dB", "Rapp amplifier: smoothness p 0.1..100, input back-off -20..40 dB");
    add("--clip-papr", t.clip_papr, "dB", "Hard clipping of the envelope this far above the packets' RMS, 0..30");
    return o;
}

// Adds every option to app, bound to req; returns the parameter options.
std::vector<CLI::Option*> add_options(CLI::App& app, Request& req, const FieldValues& defaults) {
    app.footer(help_footer());
    app.get_formatter()->column_width(30);
    app.add_option("-o,--output", req.output, "File to write")->type_name("FILE");
    app.add_option("--output-format", req.output_format,
                   "awg, csv, sigmf, wv (R&S WV) or keysight (16-bit binary and FILE.mkr) "
                   "(default: from the extension)")
        ->type_name("FORMAT");
    app.add_option("--backoff", req.backoff,
                   "WV and Keysight files: the largest |I+jQ| this far below full scale 32767 (0 to 30 dB; "
                   "default 0)")
        ->type_name("dB");
    app.add_option("--sigmf-type", req.sigmf_type,
                   "Sample type of a SigMF recording: cf32_le (the CSV file's values as 32-bit floats; "
                   "default) or ci16_le (16-bit integers, the larger channel's burst peak at 32767)")
        ->type_name("TYPE");
    app.add_option("--from", req.from,
                   "Take every parameter from a SigMF recording that orvgen wrote "
                   "(its .sigmf-meta file); no parameter options with it")
        ->type_name("FILE");
    app.add_option("--settings", req.settings,
                   "Start from a settings file written by Orvane (PrmOrvane.ini); \"window\": the file "
                   "the Orvane program beside orvgen reads at start-up")
        ->type_name("FILE|window");
    app.add_option("--save-settings", req.save_settings,
                   "Write the resulting parameters in the Orvane settings layout")
        ->type_name("FILE");
    app.add_flag("--json", req.json, "Print one JSON object with the result");
    app.add_flag("--check", req.check, "Read the written file back and measure it (the orvcheck report)");
    return add_param_options(app, req, defaults);
}

// Parses the command line into req. Stops with --help or a usage error.
Stop parse(int argc, const char* const* argv, const FieldValues& defaults, Request& req, std::ostream& out,
           std::ostream& err) {
    CLI::App app{"orvgen: writes one IEEE 802.11a OFDM burst, or a sequence of standard 802.11a frames, "
                 "as an AWG waveform file, a CSV file of I/Q samples or a SigMF recording, with the "
                 "parameters of the Orvane program.",
                 "orvgen"};
    const std::vector<CLI::Option*> opts = add_options(app, req, defaults);
    const std::vector<CLI::Option*> frame_opts = add_frame_options(app, req);
    const std::vector<CLI::Option*> impair_opts = add_impairment_options(app, req);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return kExitWritten;
    } catch (const CLI::ParseError& e) {
        err << "orvgen: " << e.what() << "\nRun 'orvgen --help' for the options.\n";
        return kExitUsage;
    }
    const auto& table = param_options();
    req.given.assign(table.size(), false);
    for (size_t k = 0; k < table.size(); ++k) req.given[k] = opts[k]->count() > 0;
    // As --from names them: the lists, the text fields, the sine level, the groups, the settings files.
    for (ParamKind kind : {ParamKind::kList, ParamKind::kText, ParamKind::kSineLevel})
        for (size_t k = 0; k < table.size(); ++k)
            if (table[k].kind == kind && req.given[k]) req.params_given.push_back(opts[k]->get_name());
    for (size_t k = 0; k < table.size(); ++k)
        if ((table[k].kind == ParamKind::kGroupValue || table[k].kind == ParamKind::kGroupFlag) && req.given[k])
            req.params_given.push_back(opts[k]->get_name());
    for (const char* name : {"--settings", "--save-settings"})
        if (app.get_option(name)->count() > 0) req.params_given.push_back(app.get_option(name)->get_name());
    for (CLI::Option* o : frame_opts)
        if (o->count() > 0) req.frame_given.push_back(o->get_name());
    req.params_given.insert(req.params_given.end(), req.frame_given.begin(), req.frame_given.end());
    for (CLI::Option* o : impair_opts)
        if (o->count() > 0) req.impair_given.push_back(o->get_name());
    req.params_given.insert(req.params_given.end(), req.impair_given.begin(), req.impair_given.end());
    return std::nullopt;
}

// Index of a parameter option in param_options().
size_t param_index(const char* name) {
    const auto& table = param_options();
    for (size_t k = 0; k < table.size(); ++k)
        if (std::strcmp(table[k].name, name) == 0) return k;
    return table.size();
}

// Refuses burst-only options, empty values and mixtures in frame mode.
Stop check_frame_request(const Request& req, std::ostream& err) {
    const frames::FrameOptions& f = req.frame;
    const std::pair<const char*, const std::string*> texts[] = {
        {"--payload-bytes", &f.payload_bytes}, {"--mac-frame", &f.mac_frame}, {"--addr1", &f.addr1},
        {"--addr2", &f.addr2}, {"--addr3", &f.addr3}, {"--duration", &f.duration}, {"--psdu-hex", &f.psdu_hex},
        {"--psdu-file", &f.psdu_file}, {"--pcap", &f.pcap}, {"--packets", &f.packets}, {"--idle", &f.idle},
        {"--scrambler-init", &f.scrambler_init}, {"--waveform", &req.waveform}, {"--channel", &req.channel}};
    for (const auto& [name, text] : texts)
        if (text->empty() && std::find(req.frame_given.begin(), req.frame_given.end(), name) != req.frame_given.end()) {
            err << "orvgen: " << name << " needs a value (it is empty)\n";
            return kExitRefused;
        }
    const frames::ImpairmentText& t = req.impair;
    const std::pair<const char*, const std::string*> impair_texts[] = {
        {"--snr", &t.snr}, {"--impairment-seed", &t.seed}, {"--iq-gain", &t.iq_gain}, {"--iq-phase", &t.iq_phase},
        {"--phase-noise", &t.phase_noise}, {"--phase-noise-rms", &t.phase_noise_rms}, {"--ppm", &t.ppm},
        {"--carrier-ghz", &t.carrier_ghz}, {"--cfo-ppm", &t.cfo_ppm}, {"--clock-ppm", &t.clock_ppm},
        {"--multipath-rms", &t.multipath_rms}, {"--multipath-taps", &t.multipath_taps}, {"--pa-rapp", &t.pa_rapp},
        {"--clip-papr", &t.clip_papr}};
    for (const auto& [name, text] : impair_texts)
        if (text->empty() && std::find(req.impair_given.begin(), req.impair_given.end(), name) != req.impair_given.end()) {
            err << "orvgen: " << name << " needs a value (it is empty)\n";
            return kExitRefused;
        }
    for (const char* name : {"--symbols", "--format", "--burst", "--burst-off"})
        if (req.given[param_index(name)]) {
            err << "orvgen: " << name << " applies to the test-pattern burst, not to frames (" << req.frame_given.front()
                << " selects frames)\n";
            return kExitUsage;
        }
    if (req.waveform.empty()) return std::nullopt;
    for (const char* name : {"--rate", "--data", "--seed"})
        if (req.given[param_index(name)]) {
            err << "orvgen: " << name << " cannot go with --waveform: each packet of the description has its own\n";
            return kExitUsage;
        }
    if (!req.channel.empty()) {
        err << "orvgen: --channel cannot go with --waveform: give \"channel\" in its settings\n";
        return kExitUsage;
    }
    if (!req.impair_given.empty()) {
        err << "orvgen: " << req.impair_given.front()
            << " cannot go with --waveform: give \"impairments\" in its description\n";
        return kExitUsage;
    }
    return std::nullopt;
}

// Refuses what this build cannot do and requests that contradict themselves.
Stop check_request(const Request& req, std::ostream& err) {
#if !ORVGEN_WITH_CHECK
    if (req.check) {
        err << "orvgen: --check is not available in this build (the measuring receiver needs FFTW3); "
               "measure the file with orvcheck on Linux\n";
        return kExitUsage;
    }
#endif
#if !ORVGEN_WITH_SIGMF
    if (!req.from.empty() || !req.sigmf_type.empty() || fold(req.output_format) == "sigmf" ||
        fold(req.output).ends_with(".sigmf-data") || fold(req.output).ends_with(".sigmf-meta")) {
        err << "orvgen: SigMF recordings are not available in this build (they need OpenSSL's libcrypto)\n";
        return kExitUsage;
    }
#endif
    if (!req.from.empty() && !req.params_given.empty()) {
        err << "orvgen: --from takes every parameter from the recording: " << req.params_given.front()
            << " cannot go with it\n";
        return kExitUsage;
    }
    if (!req.from.empty() && req.output.empty()) {
        err << "orvgen: --from needs -o FILE\n";
        return kExitUsage;
    }
    if (req.output.empty() && req.save_settings.empty()) {
        err << "orvgen: nothing to do: give -o FILE (and/or --save-settings FILE)\n";
        return kExitUsage;
    }
    if (!req.frame_given.empty()) {
        if (req.output.empty()) {
            err << "orvgen: " << req.frame_given.front() << " makes frames: give -o FILE\n";
            return kExitUsage;
        }
        return check_frame_request(req, err);
    }
    return std::nullopt;
}

// Starts v from the defaults or from a settings file, as the window does.
Stop load_settings(const std::string& settings, FieldValues& v, std::ostream& err) {
    if (settings == "window") {
        // As the window starts: its file when there is one (even an unreadable one), else the defaults.
        const std::string read = LocateSettings(window_program_dir()).read_path;
        if (PathExists(read)) LoadPrmIni(read, v);
    } else if (!settings.empty()) {
        std::string text;
        if (!PathExists(settings) || ReadRegularFile(settings, text) != kReadOk) {
            err << "orvgen: cannot read the settings file " << settings << "\n";
            return kExitUsage;
        }
        LoadPrmIni(settings, v);
    }
    return std::nullopt;
}

// Puts the parameter options given into v: the choice lists first (the
// oversampling factor sets the frequency bounds), then the fields in table order.
Stop apply_params(const Request& req, FieldValues& v, std::ostream& err) {
    const auto& table = param_options();
    for (size_t k = 0; k < table.size(); ++k) {
        const ParamOption& o = table[k];
        if (o.kind != ParamKind::kList || req.values[k].empty()) continue;
        const int32_t index = list_index(o, req.values[k]);
        if (index < 0) {
            std::string choices;
            for (const auto& w : o.words) choices += (choices.empty() ? "" : ", ") + w.front();
            err << "orvgen: " << o.name << " " << req.values[k] << " is not one of " << choices << "\n";
            return kExitUsage;
        }
        v.list[o.control] = index;
    }
    const float fs = SamplingRate(v.list[kCmbOverSamp] >= 0 ? v.list[kCmbOverSamp] : 0);
    for (size_t k = 0; k < table.size(); ++k) {
        const ParamOption& o = table[k];
        const bool has_text = o.kind == ParamKind::kGroupValue ? req.given[k] : !req.values[k].empty();
        if (o.kind == ParamKind::kList || (o.kind == ParamKind::kGroupFlag ? !req.given[k] : !has_text)) continue;
        if (o.kind != ParamKind::kGroupFlag) {
            const int32_t field = o.kind == ParamKind::kGroupValue ? o.field : o.control;
            const int rc = check_field_value(o.name, field, o.unit, req.values[k], fs, v.text[field], err);
            if (rc != kExitWritten) return rc;
        }
        if (o.kind == ParamKind::kGroupValue || o.kind == ParamKind::kGroupFlag) v.option[o.control] = o.option;
    }
    v.samp_rate_caption = SamplingRateCaption(fs);
    return std::nullopt;
}

// The output kind: --output-format, else the file's extension.
Stop resolve_output(const Request& req, OutputKind& kind, std::ostream& err) {
    const std::string fmt = fold(req.output_format);
    if (fmt.empty()) {
        const std::string& output = req.output;
        const std::string ext = output.size() >= 4 ? fold(output.substr(output.size() - 4)) : "";
        if (ext == ".csv") kind = OutputKind::kCsv;
        else if (ext == ".awv") kind = OutputKind::kAwg;
        else if (fold(output).ends_with(".sigmf-data") || fold(output).ends_with(".sigmf-meta")) kind = OutputKind::kSigmf;
        else if (fold(output).ends_with(".wv")) kind = OutputKind::kWv;
        else {
            err << "orvgen: cannot tell the format from " << output
                << ": use the extension .awv, .csv, .sigmf-data, .sigmf-meta or .wv, or --output-format "
                   "awg|csv|sigmf|wv|keysight\n";
            return kExitUsage;
        }
    } else if (fmt == "awg") {
        kind = OutputKind::kAwg;
    } else if (fmt == "csv") {
        kind = OutputKind::kCsv;
    } else if (fmt == "sigmf") {
        kind = OutputKind::kSigmf;
    } else if (fmt == "wv") {
        kind = OutputKind::kWv;
    } else if (fmt == "keysight") {
        kind = OutputKind::kKeysight;
    } else {
        err << "orvgen: --output-format " << req.output_format << " is not one of awg, csv, sigmf, wv, keysight\n";
        return kExitUsage;
    }
    return std::nullopt;
}

// The back-off of a WV or Keysight file (--backoff, for those only).
Stop resolve_backoff(const Request& req, OutputKind kind, double& db, std::ostream& err) {
    db = 0;
    if (req.backoff.empty()) return std::nullopt;
    if (!for_instrument(kind)) {
        err << "orvgen: --backoff applies to WV and Keysight files only\n";
        return kExitUsage;
    }
    std::string error;
    const int status = orv::gen::read_backoff(req.backoff, db, error);
    if (status != kExitWritten) err << "orvgen: " << error << "\n";
    return status == kExitWritten ? Stop{} : Stop{status};
}

#if ORVGEN_WITH_SIGMF
// The sample type of a SigMF recording (--sigmf-type, for a recording only).
Stop resolve_sample_type(const Request& req, OutputKind kind, orv::sigmf::SampleType& type, std::ostream& err) {
    const std::string st = fold(req.sigmf_type);
    if (st == "ci16_le" || st == "ci16") type = orv::sigmf::SampleType::Ci16;
    else if (!st.empty() && st != "cf32_le" && st != "cf32") {
        err << "orvgen: --sigmf-type " << req.sigmf_type << " is not one of cf32_le, ci16_le\n";
        return kExitUsage;
    }
    if (!st.empty() && kind != OutputKind::kSigmf) {
        err << "orvgen: --sigmf-type applies to a SigMF recording only\n";
        return kExitUsage;
    }
    return std::nullopt;
}
#endif

// The record to generate: from a recording (--from) or from the window's state.
Stop make_record(const Request& req, const FieldValues& v, WaveParams& rec, std::ostream& err) {
    int32_t bad_field = -1;
#if ORVGEN_WITH_SIGMF
    if (!req.from.empty()) {
        try {
            const std::string base = orv::sigmf::base_name(req.from);
            rec = orv::sigmf::read_record(base == req.from ? req.from : base + ".sigmf-meta");
        } catch (const orv::sigmf::MetaError& e) {
            err << "orvgen: --from: " << e.what() << "\n";
            return kExitUsage;
        }
    } else
#endif
    if (Get_Params(v, rec, bad_field) != kParamsOk) {
        err << "orvgen: " << kFieldRules[bad_field].caption << " is not a number: \"" << v.text[bad_field] << "\"\n";
        return kExitRefused;
    }
    // The Nyquist filter runs only with a cut-off above 0; without one the
    // file would claim a filter that was never applied.
    if (req.from.empty() && v.list[kCmbFilTyp] == 1 && !(rec.filter_cutoff > 1e-12)) {
        err << "orvgen: --filter nyquist needs --cut-off above 0 (MHz)\n";
        return kExitUsage;
    }
    return std::nullopt;
}

// Warns when the PN register starts all zero: it never leaves 0 and the
// payload is constant (complemented for PN15 and PN23).
void warn_constant_payload(const WaveParams& rec, std::ostream& err) {
    const int32_t n = pn_register_length(rec.data_pattern);
    if (n == 0 || (static_cast<uint32_t>(rec.pn_seed) & ((1u << n) - 1)) != 0) return;
    const char* name = kLists[kCmbData].entries[rec.data_pattern];
    const bool ones = rec.data_pattern == 1 || rec.data_pattern == 4;
    err << "orvgen: warning: seed " << FormatHexUpper(static_cast<uint32_t>(rec.pn_seed)) << " has its low " << n
        << " bits all zero: the " << name << " payload is constant (all " << (ones ? "1" : "0") << ")\n";
}

// Writes a WV or Keysight file of the record from the library's conditioned
// samples; a refused record gives its validation mask, any other failure 4.
void write_instrument(Job& job, std::ostream& err) {
    job.rc = validate_params(&job.rec, 1);
    if (job.rc != ORV_OK) return;
    orv::instrument::SampleSource src;
    std::string error;
    int32_t failed = 0;
    if (const OrvImpairments* m = orv::sigmf::impairment_record(job.impair)) {
        job.rc = orv::instrument::impaired_burst_source(job.rec, *m, src, &job.refused_impairments);
        if (job.rc != ORV_OK) return;
    } else {
        failed = orv::instrument::burst_source(job.rec, src, error);
    }
    if (failed == 0)
        failed = orv::gen::write_instrument_file(static_cast<int32_t>(job.kind), job.req.output, src, job.backoff_db,
                                                 "IEEE 802.11a test burst, orvgen", job.instrument, error);
    if (failed != 0) {
        err << "orvgen: " << error << "\n";
        job.rc = ORV_WRITE_FAILED;
    }
}

// Writes the file: a SigMF recording, WV or Keysight file here, the AWG and CSV files through the library.
void write_output(Job& job, std::ostream& err) {
    job.written_path = job.req.output;
    if (for_instrument(job.kind)) {
        write_instrument(job, err);
        return;
    }
#if ORVGEN_WITH_SIGMF
    if (job.kind == OutputKind::kSigmf) {
        job.rc = orv::sigmf::write_recording(job.rec, orv::sigmf::base_name(job.req.output), job.sample_type,
                                             job.recording, orv::sigmf::impairment_record(job.impair),
                                             &job.refused_impairments);
        job.written_path = job.rc == ORV_WRITE_FAILED ? job.recording.failed_path : job.recording.meta_path;
        return;
    }
#endif
    const auto mode = static_cast<int32_t>(job.kind);
    const char* path = job.req.output.c_str();
    const OrvImpairments* m = orv::sigmf::impairment_record(job.impair);
    const auto call = [&]() {
        return m == nullptr ? orv_11a_actual(&job.rec, mode, path)
                            : orv_11a_burst_impaired(&job.rec, m, CallOutput{mode, path, nullptr, nullptr, nullptr},
                                                     &job.refused_impairments);
    };
    job.rc = job.req.json ? call_library_off_stdout(call) : call();
}

// The impairment options of the burst, checked, into job.impair. Returns the exit status on a fault.
Stop resolve_impairments(Job& job, std::ostream& err) {
    frames::Impairments m;
    std::string error;
    if (!frames::read_impairments(job.req.impair, "--", "", m, error)) {
        err << "orvgen: " << error << "\n";
        return kExitRefused;
    }
    orv::gen::put_impairments(m, job.impair);
    return std::nullopt;
}

// Reports a library result other than ORV_OK on err; returns the exit status.
int result_status(int32_t rc, const std::string& written_path, uint32_t refused_impairments, std::ostream& err) {
    return orv::gen::library_status(rc, written_path, err, [&](uint32_t code) {
        err << ": parameters refused:\n";
        if (refused_impairments != 0) {
            for (const MaskField& m : kImpairmentMaskFields)
                if (refused_impairments & m.bit) err << "  " << m.field << " (" << m.option << ")\n";
            return;
        }
        for (const MaskField& m : kMaskFields)
            if (code & m.bit) {
                err << "  " << m.field;
                if (*m.option) err << " (" << m.option << ")";
                err << "\n";
            }
    });
}

// --check: the orvcheck analysis of the file just written, against what was asked for.
void run_check(Job& job, std::ostream& err) {
#if ORVGEN_WITH_CHECK
    if (!job.req.check || (job.rc != ORV_OK && job.rc != ORV_LENGTH_OVERFLOW)) return;
    const WaveParams& rec = job.rec;
    try {
        orv::analysis::Options opt;
        opt.oversample = rec.oversampling;
        opt.expected_pattern = orv::cli::kPatternNames[rec.data_pattern];
        opt.expected_seed = static_cast<uint32_t>(rec.pn_seed);
        if (rec.frame_format != 0) {
            opt.free_format = true;
            opt.rate_mbps = orv::cli::kRateMbps[rec.rate_index];
            opt.symbols = rec.ofdm_symbols;
        }
        const orv::analysis::Result r = orv::analysis::analyse_file(job.written_path, opt);
        job.check_report = orv::analysis::format_report(r);
        job.check_json = orv::analysis::format_json(r);
        if (!r.pass()) job.status = kExitCheckFailed;
    } catch (const std::exception& e) {
        err << "orvgen: --check: " << job.written_path << ": " << e.what() << "\n";
        job.status = kExitCheckFailed;
    }
#else
    (void)job;
    (void)err;
#endif
}

// The one JSON object of --json.
void print_json(const Job& job, std::ostream& out) {
    const WaveParams& rec = job.rec;
    nlohmann::ordered_json j;
    j["path"] = job.req.output;
    j["output_format"] = kind_name(job.kind);
    j["sampling_rate"] = 20000000LL * rec.oversampling;
    const OrvImpairments* m = job.impair.impaired ? &job.impair.impairments : nullptr;
    const int64_t total = total_samples(rec);
    j["total_samples"] = m != nullptr && m->clock_ppm != 0.0 && total > 0
                             ? static_cast<int64_t>(std::floor(static_cast<double>(total - 1) / (1.0 + m->clock_ppm * 1e-6))) + 1
                             : total;
    j["papr"] = json_number(rec.papr);
    j["crest_i"] = json_number(rec.crest_i);
    j["crest_q"] = json_number(rec.crest_q);
    j["result"] = job.rc;
#if ORVGEN_WITH_SIGMF
    if (job.kind == OutputKind::kSigmf) {
        j["data_path"] = job.recording.data_path;
        j["meta_path"] = job.recording.meta_path;
        j["sigmf_type"] = orv::sigmf::type_name(job.sample_type);
        j["saturated_samples"] = job.recording.saturated;
    }
#endif
    if (for_instrument(job.kind) && job.rc == ORV_OK) j["instrument"] = orv::instrument::to_json(job.instrument);
    if (job.req.check) j["check"] = nlohmann::ordered_json::parse(job.check_json);
    out << j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
}

// The text report: what was written, the crest-factor box, the --check report.
void print_text(const Job& job, std::ostream& out) {
    if (job.rc == ORV_OK && job.kind == OutputKind::kSigmf) {
#if ORVGEN_WITH_SIGMF
        out << job.recording.data_path << " and " << job.recording.meta_path << " written ("
            << orv::sigmf::type_name(job.sample_type) << ", " << job.recording.samples << " samples)\n";
        if (job.sample_type == orv::sigmf::SampleType::Ci16)
            out << "saturated samples: " << job.recording.saturated << " (beyond the burst peak, set to full scale)\n";
#endif
    }
    if (job.rc == ORV_OK && for_instrument(job.kind)) {
        out << orv::gen::instrument_lines(job.instrument);
    } else if (job.rc == ORV_OK && job.kind != OutputKind::kCsv) {
        out << orv::gen::crest_box_lines(job.rec.papr, job.rec.crest_i, job.rec.crest_q);
    } else if (job.rc == ORV_OK) {
        out << job.req.output << " written\n";
    }
    out << job.check_report;
}

// The window's state of the request: settings, options, --save-settings.
Stop resolve_fields(Job& job, const FieldValues& defaults, std::ostream& err) {
    job.fields = defaults;
    if (Stop s = load_settings(job.req.settings, job.fields, err)) return s;
    if (Stop s = apply_params(job.req, job.fields, err)) return s;
    if (job.req.save_settings.empty()) return std::nullopt;
    int save_errno = 0;
    if (SavePrmIni(job.req.save_settings, job.fields, save_errno) != IniStatus::kOk) {
        err << "orvgen: cannot write the settings file " << job.req.save_settings << ": "
            << std::strerror(save_errno) << "\n";
        return kExitNotWritten;
    }
    return std::nullopt;
}

// From the request to the record to generate: output kind, sample type, record.
Stop resolve_record(Job& job, std::ostream& err) {
    if (Stop s = resolve_output(job.req, job.kind, err)) return s;
#if ORVGEN_WITH_SIGMF
    if (Stop s = resolve_sample_type(job.req, job.kind, job.sample_type, err)) return s;
#endif
    if (Stop s = resolve_backoff(job.req, job.kind, job.backoff_db, err)) return s;
    if (Stop s = make_record(job.req, job.fields, job.rec, err)) return s;
#if ORVGEN_WITH_SIGMF
    if (!job.req.from.empty()) {
        // The recording's impairments come back with its record.
        try {
            const std::string base = orv::sigmf::base_name(job.req.from);
            job.impair = orv::sigmf::read_burst_impairments(base == job.req.from ? base : base + ".sigmf-meta");
        } catch (const orv::sigmf::MetaError& e) {
            err << "orvgen: --from: " << e.what() << "\n";
            return kExitUsage;
        }
    }
#endif
    warn_constant_payload(job.rec, err);
    return std::nullopt;
}

// Whether --from names a recording of a frame sequence (a file that cannot
// be read is left to the burst's reading, which reports it).
bool from_sequence(const Request& req) {
#if ORVGEN_WITH_SIGMF
    if (req.from.empty()) return false;
    try {
        const std::string base = orv::sigmf::base_name(req.from);
        return orv::sigmf::holds_sequence(base == req.from ? req.from : base + ".sigmf-meta");
    } catch (const orv::sigmf::MetaError&) {
        return false;
    }
#else
    (void)req;
    return false;
#endif
}

// Frame mode: the window's state gives the filter and the impairments; the
// frame options (with --rate, --data, --seed, --oversample, --window-tr) the rest.
int run_frame_mode(Job& job, const FieldValues& defaults, std::ostream& out, std::ostream& err) {
    orv::gen::FrameInputs in;
    Request& req = job.req;
    const bool from = !req.from.empty();
    const char* taken[] = {"--rate", "--data", "--seed", "--oversample", "--window-tr"};
    std::string* to[] = {&req.frame.rate, &req.frame.data, &req.frame.seed, &in.oversample, &in.window_tr};
    for (size_t k = 0; k < std::size(taken); ++k) {
        std::string& value = req.values[param_index(taken[k])];
        if (!value.empty()) *to[k] = value;
        value.clear();
    }
    if (!from) {
        if (Stop s = resolve_fields(job, defaults, err)) return *s;
        int32_t bad_field = -1;
        if (Get_Params(job.fields, in.conditioning, bad_field) != kParamsOk) {
            err << "orvgen: " << kFieldRules[bad_field].caption << " is not a number: \"" << job.fields.text[bad_field]
                << "\"\n";
            return kExitRefused;
        }
        in.nyquist = job.fields.list[kCmbFilTyp] == 1;
        in.cutoff_hz = ReadLeadingNumber(job.fields.text[kTxtFCut]) * 1e6;
    }
    if (Stop s = resolve_output(req, job.kind, err)) return *s;
#if ORVGEN_WITH_SIGMF
    if (Stop s = resolve_sample_type(req, job.kind, job.sample_type, err)) return *s;
    in.ci16 = job.sample_type == orv::sigmf::SampleType::Ci16;
#endif
    if (Stop s = resolve_backoff(req, job.kind, in.backoff_db, err)) return *s;
    in.output = req.output;
    in.kind = static_cast<int32_t>(job.kind);
    in.json = req.json;
#if ORVGEN_WITH_SIGMF
    in.from = from ? orv::sigmf::base_name(req.from) + ".sigmf-meta" : std::string();
#endif
    in.waveform = req.waveform;
    in.options = req.frame;
    in.channel = req.channel;
    in.check = req.check;
    in.impairments = req.impair;
    return orv::gen::run_frames(in, out, err);
}

}  // namespace

int orvgen_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    FieldValues defaults;
    DefaultFieldValues(defaults);
    Job job;
    if (Stop s = parse(argc, argv, defaults, job.req, out, err)) return *s;
    if (Stop s = check_request(job.req, err)) return *s;
    if (!job.req.frame_given.empty() || from_sequence(job.req)) return run_frame_mode(job, defaults, out, err);
    if (!job.req.impair_given.empty())
        if (Stop s = resolve_impairments(job, err)) return *s;
    if (Stop s = resolve_fields(job, defaults, err)) return *s;
    if (job.req.output.empty()) return kExitWritten;
    if (Stop s = resolve_record(job, err)) return *s;
    write_output(job, err);
    job.status = result_status(job.rc, job.written_path, job.refused_impairments, err);
    run_check(job, err);
    if (job.req.json) print_json(job, out);
    else print_text(job, out);
    return job.status;
}
