#include "orvgen.h"

#include <CLI/CLI.hpp>

#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "MainFormCore.h"
#if ORVGEN_WITH_SIGMF
#include "sigmf.h"
#endif
#if ORVGEN_WITH_CHECK
#include "analysis.h"
#endif
#include "mdlIniFileIo.h"
#include "mdlPrmInput.h"
#include "mdlPublicIniRW.h"
#include "num_text.h"
#include "settings_file.h"
#include "orvasynth.h"

namespace {

// A text-field option: its name, the field it sets, its unit and what it is.
struct TextOption {
    const char* name;
    int32_t field;
    const char* unit;
    const char* what;
};

// Fields set directly, in the window's reading order.
const TextOption kTextOptions[] = {
    {"--burst-off", kTxtBurstOff, "usec", "Burst Off: silent gap after the burst (with --burst on)"},
    {"--seed", kTxtSeedPN, "hex", "Seed PN: initial state of the PN generator"},
    {"--symbols", kTxtnOFDM, "symbols", "OFDM Length: number of DATA symbols"},
    {"--taps", kTxtFiltLeng, "taps", "Filter Length of the Nyquist filter"},
    {"--roll-off", kTxtFiltAlpha, "", "Roll Off of the Nyquist filter"},
    {"--cut-off", kTxtFCut, "MHz", "Cut Off of the Nyquist filter (up to half the sampling rate)"},
    {"--window-tr", kTxtWinTR, "usec", "Window TR: edge-taper transition time"},
    {"--dc-real", kTxtDcOffsetRe, "%", "DC Offset Real, percent of the peak envelope"},
    {"--dc-imag", kTxtDcOffsetIm, "%", "DC Offset Imag, percent of the peak envelope"},
};

// Options of the two option groups, each selecting its option and setting a field.
struct GroupOption {
    const char* name;
    int32_t group;
    int32_t option;   // the option switched on
    int32_t field;    // the field the value goes to, -1 for a flag
    const char* unit;
    const char* what;
};

const GroupOption kGroupOptions[] = {
    {"--freq-error", kOptFreqOfs, 1, kTxtDFreq, "MHz", "Frequency Offset \"Freq Error\""},
    {"--if", kOptFreqOfs, 2, kTxtIf, "MHz", "Frequency Offset \"IF conversion\" frequency"},
    {"--no-freq-offset", kOptFreqOfs, 0, -1, "", "Frequency Offset \"None\""},
    {"--sine", kOptNoise, 1, kTxtNoiseFreq, "MHz", "Noise \"Sin\": sine interferer frequency"},
    {"--gauss", kOptNoise, 2, kTxtNoiseDB, "dB", "Noise \"Gauss\": Gaussian noise level"},
    {"--no-noise", kOptNoise, 0, -1, "", "Noise \"None\""},
};

// A choice-list option and the words it accepts for each list index.
struct ListOption {
    const char* name;
    int32_t list;
    const char* what;
    std::vector<std::vector<std::string>> words;  // per index; the first is shown in --help
};

const std::vector<ListOption>& list_options() {
    static const std::vector<ListOption> options = {
        {"--rate", kCmbRate, "Rate in Mbit/s",
         {{"6"}, {"9"}, {"12"}, {"18"}, {"24"}, {"36"}, {"48"}, {"54"}}},
        {"--format", kCmbFormat, "Format: full 802.11a burst, or Free (DATA symbols only)",
         {{"802.11a"}, {"free"}}},
        {"--burst", kCmbBurst, "Burst: append the burst-off gap", {{"off"}, {"on"}}},
        {"--data", kCmbData, "Data: payload pattern",
         {{"PN9"}, {"PN15"}, {"PN19"}, {"PN20"}, {"PN23"}, {"ALL0", "ALL 0"}, {"ALL1", "ALL 1"}}},
        {"--iq-inverse", kCmbIQInv, "IQ Inverse: exchange I and Q", {{"off"}, {"on"}}},
        {"--filter", kCmbFilTyp, "Filter Type", {{"rectangle"}, {"nyquist"}}},
        {"--oversample", kCmbOverSamp, "Oversample factor (sampling rate = 20 MHz times it)",
         {{"4"}, {"5"}, {"6"}, {"7"}, {"8"}, {"9"}, {"10"}}},
    };
    return options;
}

// Lower-case text without blanks, for comparing list words.
std::string fold(const std::string& s) {
    std::string out;
    for (char c : s)
        if (c != ' ' && c != '\t') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Index of value in a list option (its words or the window's entry text), or -1.
int32_t list_index(const ListOption& o, const std::string& value) {
    const std::string v = fold(value);
    for (size_t k = 0; k < o.words.size(); ++k) {
        for (const std::string& w : o.words[k])
            if (fold(w) == v) return static_cast<int32_t>(k);
        if (fold(kLists[o.list].entries[k]) == v) return static_cast<int32_t>(k);
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

// WaveParams field names and the options that set them, per validation bit.
const char* const kMaskFields[26][2] = {
    {"frame_format", "--format"},
    {"burst_enable", "--burst"},
    {"burst_off_time", "--burst-off"},
    {"rate_index", "--rate"},
    {"ofdm_symbols", "--symbols"},
    {"pn_seed", "--seed"},
    {"data_pattern", "--data"},
    {"oversampling", "--oversample"},
    {"window_tr", "--window-tr"},
    {"filter_cutoff", "--cut-off"},
    {"filter_rolloff", "--roll-off"},
    {"reserved", ""},
    {"filter_taps", "--taps"},
    {"iq_inverse", "--iq-inverse"},
    {"freq_error_enable", "--freq-error"},
    {"freq_error", "--freq-error"},
    {"if_enable", "--if"},
    {"if_freq", "--if"},
    {"dc_offset_re", "--dc-real"},
    {"dc_offset_im", "--dc-imag"},
    {"noise_enable", "--gauss"},
    {"noise_level", "--gauss"},
    {"sine_enable", "--sine"},
    {"sine_freq", "--sine"},
    {"sine_level", "--sine-level"},
    {"output mode", "--output-format"},
};

// A double as JSON: an integral value as an integer (0.0 reads "0", as the
// shortest round-trip text has it), null for a NaN or an infinity.
nlohmann::ordered_json json_number(double v) {
    if (!std::isfinite(v)) return nullptr;
    if (v == std::trunc(v) && std::fabs(v) < 9007199254740992.0) return static_cast<int64_t>(v);
    return v;
}

// Total sample count of a record, as the library computes it.
int64_t total_samples(const WaveParams& p) {
    const int64_t os = p.oversampling;
    const int64_t n = (p.frame_format == 0 ? 400 * os : 0) + 80 * static_cast<int64_t>(p.ofdm_symbols) * os;
    if (p.burst_enable != 1) return n;
    return static_cast<int64_t>(static_cast<double>(n) + p.burst_off_time * (20000000.0 * p.oversampling));
}

// Runs the library with its standard output moved to standard error, so that
// a round-error line it prints cannot break the JSON object on standard output.
int32_t call_library_off_stdout(WaveParams* rec, int32_t mode, const char* path) {
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    const bool moved = saved >= 0 && ::dup2(STDERR_FILENO, STDOUT_FILENO) >= 0;
    const int32_t rc = orv_11a_actual(rec, mode, path);
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
           "recording) unless --output-format is given.\n"
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

}  // namespace

int orvgen_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    FieldValues defaults;
    DefaultFieldValues(defaults);

    CLI::App app{"orvgen: writes one IEEE 802.11a OFDM burst as an AWG waveform file or a CSV "
                 "file of I/Q samples, with the parameters of the Orvane program.",
                 "orvgen"};
    app.footer(help_footer());
    app.get_formatter()->column_width(30);

    std::string output, output_format, settings, save_settings;
    bool json = false;
    app.add_option("-o,--output", output, "File to write")->type_name("FILE");
    app.add_option("--output-format", output_format, "awg, csv or sigmf (default: from the extension)")
        ->type_name("FORMAT");
    std::string sigmf_type, from;
    app.add_option("--sigmf-type", sigmf_type,
                   "Sample type of a SigMF recording: cf32_le (the CSV file's values as 32-bit floats; "
                   "default) or ci16_le (16-bit integers, the larger channel's burst peak at 32767)")
        ->type_name("TYPE");
    app.add_option("--from", from,
                   "Take every parameter from a SigMF recording that orvgen wrote "
                   "(its .sigmf-meta file); no parameter options with it")
        ->type_name("FILE");
    app.add_option("--settings", settings,
                   "Start from a settings file written by Orvane (PrmOrvane.ini); \"window\": the file "
                   "the Orvane program beside orvgen reads at start-up")
        ->type_name("FILE|window");
    app.add_option("--save-settings", save_settings,
                   "Write the resulting parameters in the Orvane settings layout")
        ->type_name("FILE");
    app.add_flag("--json", json, "Print one JSON object with the result");
    bool check = false;
    app.add_flag("--check", check, "Read the written file back and measure it (the orvcheck report)");

    std::vector<CLI::Option*> param_opts;  // every option that sets a parameter
    const auto& lists = list_options();
    std::vector<std::string> list_values(lists.size());
    for (size_t k = 0; k < lists.size(); ++k) {
        const ListOption& o = lists[k];
        std::string choices;
        for (const auto& w : o.words) choices += (choices.empty() ? "" : "|") + w.front();
        const int32_t def = o.list == kCmbOverSamp ? 4 : defaults.list[o.list];
        std::string desc = std::string(o.what) + " (" + choices + "; default " + o.words[def].front() + ")";
        const std::string names = o.list == kCmbFormat ? std::string(o.name) + ",--frame" : o.name;
        param_opts.push_back(app.add_option(names, list_values[k], desc)->type_name("CHOICE"));
    }

    const float default_fs = SamplingRate(defaults.list[kCmbOverSamp]);
    std::vector<std::string> text_values(std::size(kTextOptions));
    for (size_t k = 0; k < std::size(kTextOptions); ++k) {
        const TextOption& o = kTextOptions[k];
        std::string range = range_text(o.field, default_fs, o.unit);
        if (kFieldRules[o.field].upper_kind != kUpperFixed) range += " at the default sampling rate";
        std::string desc = std::string(o.what) + " (" + range + "; default " + defaults.text[o.field] + ")";
        param_opts.push_back(app.add_option(o.name, text_values[k], desc)->type_name(*o.unit ? o.unit : "VALUE"));
    }

    std::vector<std::string> group_values(std::size(kGroupOptions));
    std::vector<bool> group_flags(std::size(kGroupOptions), false);
    std::vector<CLI::Option*> group_opts(std::size(kGroupOptions));
    for (size_t k = 0; k < std::size(kGroupOptions); ++k) {
        const GroupOption& o = kGroupOptions[k];
        if (o.field < 0) {
            group_opts[k] = app.add_flag_callback(o.name, [&group_flags, k] { group_flags[k] = true; },
                                                  std::string(o.what) + " (the default)");
        } else {
            std::string desc = std::string(o.what) + " (" + range_text(o.field, default_fs, o.unit) +
                               (kFieldRules[o.field].upper_kind != kUpperFixed ? " at the default sampling rate" : "") +
                               "; default " + defaults.text[o.field] + ")";
            group_opts[k] = app.add_option(o.name, group_values[k], desc)->type_name(o.unit);
        }
    }
    // The options of one group exclude each other, as the window's option buttons do.
    for (size_t a = 0; a < group_opts.size(); ++a)
        for (size_t b = 0; b < group_opts.size(); ++b)
            if (a != b && kGroupOptions[a].group == kGroupOptions[b].group) group_opts[a]->excludes(group_opts[b]);
    std::string sine_level;
    auto* sine_level_opt =
        app.add_option("--sine-level", sine_level,
                       "Noise \"Sin\": sine interferer level (-100.0 to 10.0 dB; default " +
                           defaults.text[kTxtNoiseDB] + "); needs --sine")
            ->type_name("dB");
    sine_level_opt->needs(group_opts[3]);
    sine_level_opt->excludes(group_opts[4]);
    param_opts.push_back(sine_level_opt);
    param_opts.insert(param_opts.end(), group_opts.begin(), group_opts.end());
    for (const char* name : {"--settings", "--save-settings"}) param_opts.push_back(app.get_option(name));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return kExitWritten;
    } catch (const CLI::ParseError& e) {
        err << "orvgen: " << e.what() << "\nRun 'orvgen --help' for the options.\n";
        return kExitUsage;
    }
#if !ORVGEN_WITH_CHECK
    if (check) {
        err << "orvgen: --check is not available in this build (the measuring receiver needs FFTW3); "
               "measure the file with orvcheck on Linux\n";
        return kExitUsage;
    }
#endif
#if !ORVGEN_WITH_SIGMF
    if (!from.empty() || !sigmf_type.empty() || fold(output_format) == "sigmf" ||
        fold(output).ends_with(".sigmf-data") || fold(output).ends_with(".sigmf-meta")) {
        err << "orvgen: SigMF recordings are not available in this build (they need OpenSSL's libcrypto)\n";
        return kExitUsage;
    }
#endif
    for (const CLI::Option* o : param_opts)
        if (!from.empty() && o->count() > 0) {
            err << "orvgen: --from takes every parameter from the recording: " << o->get_name()
                << " cannot go with it\n";
            return kExitUsage;
        }
    if (!from.empty() && output.empty()) {
        err << "orvgen: --from needs -o FILE\n";
        return kExitUsage;
    }
    if (output.empty() && save_settings.empty()) {
        err << "orvgen: nothing to do: give -o FILE (and/or --save-settings FILE)\n";
        return kExitUsage;
    }

    // Start from the defaults or from a settings file, as the window does.
    FieldValues v = defaults;
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

    // Choice lists first: the oversampling factor sets the frequency bounds.
    for (size_t k = 0; k < lists.size(); ++k) {
        if (list_values[k].empty()) continue;
        const int32_t index = list_index(lists[k], list_values[k]);
        if (index < 0) {
            std::string choices;
            for (const auto& w : lists[k].words) choices += (choices.empty() ? "" : ", ") + w.front();
            err << "orvgen: " << lists[k].name << " " << list_values[k] << " is not one of " << choices << "\n";
            return kExitUsage;
        }
        v.list[lists[k].list] = index;
    }
    const float fs = SamplingRate(v.list[kCmbOverSamp] >= 0 ? v.list[kCmbOverSamp] : 0);

    for (size_t k = 0; k < std::size(kTextOptions); ++k) {
        if (text_values[k].empty()) continue;
        const TextOption& o = kTextOptions[k];
        int rc = check_field_value(o.name, o.field, o.unit, text_values[k], fs, v.text[o.field], err);
        if (rc != kExitWritten) return rc;
    }
    for (size_t k = 0; k < std::size(kGroupOptions); ++k) {
        const GroupOption& o = kGroupOptions[k];
        if (o.field < 0) {
            if (group_flags[k]) v.option[o.group] = o.option;
            continue;
        }
        if (group_opts[k]->count() == 0) continue;
        int rc = check_field_value(o.name, o.field, o.unit, group_values[k], fs, v.text[o.field], err);
        if (rc != kExitWritten) return rc;
        v.option[o.group] = o.option;
    }
    if (!sine_level.empty()) {
        int rc = check_field_value("--sine-level", kTxtNoiseDB, "dB", sine_level, fs, v.text[kTxtNoiseDB], err);
        if (rc != kExitWritten) return rc;
    }
    v.samp_rate_caption = SamplingRateCaption(fs);

    if (!save_settings.empty()) {
        int save_errno = 0;
        if (SavePrmIni(save_settings, v, save_errno) != IniStatus::kOk) {
            err << "orvgen: cannot write the settings file " << save_settings << ": "
                << std::strerror(save_errno) << "\n";
            return kExitNotWritten;
        }
    }
    if (output.empty()) return kExitWritten;

    // Output format: the option, else the extension. Mode 2 is a SigMF
    // recording, which orvgen writes itself from the conditioned samples.
    int32_t mode = -1;
    std::string fmt = fold(output_format);
    if (fmt.empty()) {
        std::string ext = output.size() >= 4 ? fold(output.substr(output.size() - 4)) : "";
        if (ext == ".csv") mode = 1;
        else if (ext == ".awv") mode = 0;
        else if (fold(output).ends_with(".sigmf-data") || fold(output).ends_with(".sigmf-meta")) mode = 2;
        else {
            err << "orvgen: cannot tell the format from " << output
                << ": use the extension .awv, .csv, .sigmf-data or .sigmf-meta, or --output-format awg|csv|sigmf\n";
            return kExitUsage;
        }
    } else if (fmt == "awg") {
        mode = 0;
    } else if (fmt == "csv") {
        mode = 1;
    } else if (fmt == "sigmf") {
        mode = 2;
    } else {
        err << "orvgen: --output-format " << output_format << " is not one of awg, csv, sigmf\n";
        return kExitUsage;
    }
#if ORVGEN_WITH_SIGMF
    orv::sigmf::SampleType sample_type = orv::sigmf::SampleType::Cf32;
    const std::string st = fold(sigmf_type);
    if (st == "ci16_le" || st == "ci16") sample_type = orv::sigmf::SampleType::Ci16;
    else if (!st.empty() && st != "cf32_le" && st != "cf32") {
        err << "orvgen: --sigmf-type " << sigmf_type << " is not one of cf32_le, ci16_le\n";
        return kExitUsage;
    }
    if (!st.empty() && mode != 2) {
        err << "orvgen: --sigmf-type applies to a SigMF recording only\n";
        return kExitUsage;
    }
#endif

    WaveParams rec{};
    int32_t bad_field = -1;
#if ORVGEN_WITH_SIGMF
    if (!from.empty()) {
        try {
            const std::string base = orv::sigmf::base_name(from);
            rec = orv::sigmf::read_record(base == from ? from : base + ".sigmf-meta");
        } catch (const orv::sigmf::MetaError& e) {
            err << "orvgen: --from: " << e.what() << "\n";
            return kExitUsage;
        }
    } else
#endif
    if (Get_Params(v, rec, bad_field) != kParamsOk) {
        err << "orvgen: " << kFieldRules[bad_field].caption << " is not a number: \""
            << v.text[bad_field] << "\"\n";
        return kExitRefused;
    }
    // The Nyquist filter runs only with a cut-off above 0; without one the
    // file would claim a filter that was never applied.
    if (from.empty() && v.list[kCmbFilTyp] == 1 && !(rec.filter_cutoff > 1e-12)) {
        err << "orvgen: --filter nyquist needs --cut-off above 0 (MHz)\n";
        return kExitUsage;
    }
    // The register starts as the seed's low n bits; all zero, it never leaves 0
    // and the payload is constant (complemented for PN15 and PN23).
    if (const int32_t n = pn_register_length(rec.data_pattern);
        n > 0 && (static_cast<uint32_t>(rec.pn_seed) & ((1u << n) - 1)) == 0) {
        const char* name = kLists[kCmbData].entries[rec.data_pattern];
        const bool ones = rec.data_pattern == 1 || rec.data_pattern == 4;
        err << "orvgen: warning: seed " << FormatHexUpper(static_cast<uint32_t>(rec.pn_seed))
            << " has its low " << n << " bits all zero: the " << name << " payload is constant (all "
            << (ones ? "1" : "0") << ")\n";
    }
    int32_t rc = 0;
    std::string written_path = output;  // the file --check reads and a failure names
#if ORVGEN_WITH_SIGMF
    orv::sigmf::Written recording;
    if (mode == 2) {
        rc = orv::sigmf::write_recording(rec, orv::sigmf::base_name(output), sample_type, recording);
        written_path = rc == 4 ? recording.failed_path : recording.meta_path;
    } else
#endif
    rc = json ? call_library_off_stdout(&rec, mode, output.c_str()) : orv_11a_actual(&rec, mode, output.c_str());

    int status = kExitWritten;
    if (rc != 0) {
        err << "orvgen: library result 0x" << FormatHexUpper(static_cast<uint32_t>(rc));
        if (rc == 4) {
            err << ": the file " << written_path << " could not be written\n";
            status = kExitNotWritten;
        } else if (static_cast<uint32_t>(rc) & 0x80000000u) {
            err << ": parameters refused:\n";
            for (int bit = 0; bit < 26; ++bit)
                if (static_cast<uint32_t>(rc) & (1u << bit)) {
                    err << "  " << kMaskFields[bit][0];
                    if (*kMaskFields[bit][1]) err << " (" << kMaskFields[bit][1] << ")";
                    err << "\n";
                }
            status = kExitRefused;
        } else {
            err << (rc == 1 ? ": not enough memory\n" : "\n");
            status = kExitLibrary;
        }
    }

    // --check: the orvcheck analysis of the file just written.
    std::string check_report, check_json = "null";
#if ORVGEN_WITH_CHECK
    if (check && (rc == 0 || rc == 2)) {
        try {
            // What orvgen asked for is known: the rate, the frame format and
            // the pattern, so the check measures against them.
            static const int kMbps[8] = {6, 9, 12, 18, 24, 36, 48, 54};
            static const char* const kPatterns[7] = {"PN9", "PN15", "PN19", "PN20", "PN23", "ALL 0", "ALL 1"};
            orv::analysis::Options opt;
            opt.oversample = rec.oversampling;
            opt.expected_pattern = kPatterns[rec.data_pattern];
            opt.expected_seed = static_cast<uint32_t>(rec.pn_seed);
            if (rec.frame_format != 0) {
                opt.free_format = true;
                opt.rate_mbps = kMbps[rec.rate_index];
                opt.symbols = rec.ofdm_symbols;
            }
            const orv::analysis::Result r = orv::analysis::analyse_file(written_path, opt);
            check_report = orv::analysis::format_report(r);
            check_json = orv::analysis::format_json(r);
            if (!r.pass()) status = kExitCheckFailed;
        } catch (const std::exception& e) {
            err << "orvgen: --check: " << written_path << ": " << e.what() << "\n";
            status = kExitCheckFailed;
        }
    }
#endif

    if (json) {
        nlohmann::ordered_json j;
        j["path"] = output;
        j["output_format"] = mode == 0 ? "awg" : mode == 1 ? "csv" : "sigmf";
        j["sampling_rate"] = 20000000LL * rec.oversampling;
        j["total_samples"] = total_samples(rec);
        j["papr"] = json_number(rec.papr);
        j["crest_i"] = json_number(rec.crest_i);
        j["crest_q"] = json_number(rec.crest_q);
        j["result"] = rc;
#if ORVGEN_WITH_SIGMF
        if (mode == 2) {
            j["data_path"] = recording.data_path;
            j["meta_path"] = recording.meta_path;
            j["sigmf_type"] = orv::sigmf::type_name(sample_type);
            j["saturated_samples"] = recording.saturated;
        }
#endif
        if (check) j["check"] = nlohmann::ordered_json::parse(check_json);
        out << j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
    } else if (rc == 0 && mode == 2) {
#if ORVGEN_WITH_SIGMF
        out << recording.data_path << " and " << recording.meta_path << " written ("
            << orv::sigmf::type_name(sample_type) << ", " << recording.samples << " samples)\n";
        if (sample_type == orv::sigmf::SampleType::Ci16)
            out << "saturated samples: " << recording.saturated
                << " (beyond the burst peak, set to full scale)\n";
#endif
    }
    if (!json && rc == 0 && mode != 1) {
        std::string box = CrestBoxText(rec.papr, rec.crest_i, rec.crest_q);
        std::string text;
        for (char c : box)
            if (c != '\r') text += c;
        if (!text.empty() && text.front() == '\n') text.erase(0, 1);
        out << text;
    } else if (!json && rc == 0) {
        out << output << " written\n";
    }
    if (!json) out << check_report;
    return status;
}
