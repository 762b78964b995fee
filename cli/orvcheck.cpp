#include "orvcheck.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <charconv>
#include <string>

#include "analysis.h"
#include "pcap_writer.h"
#include "ofdm.h"

namespace {

std::string fold(const std::string& s) {
    std::string out;
    for (char c : s)
        if (c != ' ') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

int orvcheck_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err, PlotWriter plots) {
    CLI::App app{"orvcheck: reads an IEEE 802.11a waveform file (AWG waveform file, CSV I/Q file or SigMF "
                 "recording) and "
                 "measures it as a transmitter tester would (IEEE Std 802.11a, 17.3.9).",
                 "orvcheck"};
    app.footer("Exit status: 0 every check passed; 1 usage error; 2 the file cannot be read as a\n"
               "waveform or holds no burst; 3 the file was read but a check failed; 4 --plots could\n"
               "not write an image or --pcap its capture.");
    app.get_formatter()->column_width(30);
    std::string file, frame, data, seed, plots_dir;
    bool json = false;
    int oversample = 0, rate = 0, symbols = -1;
    double sample_rate_mhz = 0;
    app.add_option("file", file, "Waveform file (.awv, .csv, or either file of a SigMF recording)")->required()->type_name("FILE");
    app.add_flag("--json", json, "Print one JSON object instead of the report");
    app.add_option("--plots", plots_dir, "Also write the viewer's five views (PNG and SVG) into DIR")->type_name("DIR");
    auto* os_opt = app.add_option("--oversample", oversample, "Oversampling factor of a CSV file (sampling rate = 20 MHz times it)")
                       ->check(CLI::Range(1, 64));
    auto* sr_opt = app.add_option("--sample-rate", sample_rate_mhz, "Sampling rate of a CSV file in MHz")
                       ->check(CLI::Range(20.0, 1280.0))->type_name("MHz");
    os_opt->excludes(sr_opt);
    app.add_option("--frame,--format", frame, "802.11a (preamble, SIGNAL, DATA; default) or free (DATA symbols only)")
        ->type_name("FORMAT");
    auto* rate_opt = app.add_option("--rate", rate, "Rate in Mbit/s of a free-format burst (6, 9, 12, 18, 24, 36, 48, 54)")
                         ->check(CLI::IsMember({6, 9, 12, 18, 24, 36, 48, 54}));
    app.add_option("--symbols", symbols, "DATA symbols of a free-format burst (default: up to the burst end)")
        ->check(CLI::Range(1, 100000));
    auto* data_opt = app.add_option("--data", data, "Expected payload pattern: PN9, PN15, PN19, PN20, PN23, ALL0, ALL1")
                         ->type_name("PATTERN");
    app.add_option("--seed", seed, "Expected PN seed (hexadecimal), with --data")->type_name("HEX")->needs(data_opt);
    (void)rate_opt;

    // --- Packet receiver options (every packet of the file) ---
    int expect_packets = -1;
    bool with_psdu = false;
    std::string pcap_path;
    app.add_option("--expect", expect_packets, "Packets the file should hold; missing ones fail the verdict")
        ->check(CLI::Range(0, 100000000))->type_name("N");
    app.add_flag("--psdu", with_psdu, "With --json: each packet's PSDU in hexadecimal (psdu_hex)");
    app.add_option("--pcap", pcap_path, "Write the decoded PSDUs as an 802.11 capture (radiotap, FCS kept)")
        ->type_name("FILE");
    // --- end of the packet receiver options ---

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return kCheckPass;
    } catch (const CLI::ParseError& e) {
        err << "orvcheck: " << e.what() << "\nRun 'orvcheck --help' for the options.\n";
        return kCheckUsage;
    }

    if (!plots_dir.empty() && !plots) {
        err << "orvcheck: --plots needs the viewer, and this orvcheck was built without it (Qt Charts)\n";
        return kCheckUsage;
    }

    orv::analysis::Options opt;
    if (oversample > 0) opt.oversample = oversample;
    if (sample_rate_mhz > 0) opt.sample_rate_hz = sample_rate_mhz * 1e6;
    const std::string f = fold(frame);
    if (f == "free") opt.free_format = true;
    else if (!f.empty() && f != "802.11a") {
        err << "orvcheck: --frame " << frame << " is not one of 802.11a, free\n";
        return kCheckUsage;
    }
    if (rate > 0) opt.rate_mbps = rate;
    if (opt.free_format && !opt.rate_mbps) {
        err << "orvcheck: --frame free needs --rate\n";
        return kCheckUsage;
    }
    if (symbols > 0) opt.symbols = symbols;
    if (!data.empty()) {
        const auto* p = orv::analysis::pattern_by_name(data);
        if (!p) {
            err << "orvcheck: --data " << data << " is not one of PN9, PN15, PN19, PN20, PN23, ALL0, ALL1\n";
            return kCheckUsage;
        }
        opt.expected_pattern = p->name;
        if (!seed.empty()) {
            uint32_t v = 0;
            auto res = std::from_chars(seed.data(), seed.data() + seed.size(), v, 16);
            if (res.ec != std::errc() || res.ptr != seed.data() + seed.size() || v == 0 || v > 0xFFFFFF) {
                err << "orvcheck: --seed " << seed << " is not a hexadecimal number from 1 to FFFFFF\n";
                return kCheckUsage;
            }
            opt.expected_seed = v;
        }
    }

    if (expect_packets >= 0) opt.expected_packets = expect_packets;
    opt.figures_without_burst = true;

    try {
        const orv::analysis::Result r = orv::analysis::analyse_file(file, opt);
        if (r.no_burst && r.pass()) {
            err << "orvcheck: " << file << ": " << *r.no_burst << "\n";
            return kCheckUnreadable;
        }
        if (json) out << orv::analysis::format_json(r, -1, with_psdu) << "\n";
        else out << orv::analysis::format_report(r);
        if (!pcap_path.empty()) {
            std::string why;
            if (!orv::analysis::write_pcap(pcap_path, r, &why)) {
                err << "orvcheck: --pcap " << pcap_path << ": " << why << "\n";
                return kCheckPlotsFailed;
            }
        }
        if (!plots_dir.empty() && plots(r, plots_dir, err) != 0) return kCheckPlotsFailed;
        return r.pass() ? kCheckPass : kCheckFailed;
    } catch (const orv::analysis::ReadError& e) {
        err << "orvcheck: " << file << ": " << e.what() << "\n";
    } catch (const orv::analysis::AnalysisError& e) {
        err << "orvcheck: " << file << ": " << e.what() << "\n";
    } catch (const std::bad_alloc&) {
        err << "orvcheck: " << file << ": not enough memory\n";
    } catch (const std::exception& e) {
        err << "orvcheck: " << file << ": " << e.what() << "\n";
    }
    return kCheckUnreadable;
}
