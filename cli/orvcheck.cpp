#include "orvcheck.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "analysis.h"
#include "command_options.h"
#include "ofdm.h"
#include "pcap_writer.h"

namespace {

// Registers the receiver's options with app; each one's text lands in its texts slot.
std::vector<CLI::Option*> add_receiver_options(CLI::App& app, std::vector<std::string>& texts) {
    const auto table = orv::analysis::command_options();
    texts.assign(table.size(), std::string());
    std::vector<CLI::Option*> opts;
    for (size_t k = 0; k < table.size(); ++k) {
        const orv::analysis::CommandOption& o = table[k];
        std::string names = std::string("--") + o.name;
        if (o.alias) names += std::string(",--") + o.alias;
        opts.push_back(app.add_option(names, texts[k], o.help)->type_name(o.value_name));
    }
    return opts;
}

}  // namespace

int orvcheck_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err, PlotWriter plots) {
    CLI::App app{"orvcheck: reads an IEEE 802.11a waveform file (AWG waveform file, CSV I/Q file, SigMF "
                 "recording, R&S WV file or Keysight 16-bit binary) and "
                 "measures it as a transmitter tester would (IEEE Std 802.11a, 17.3.9).",
                 "orvcheck"};
    app.footer("Exit status: 0 every check passed; 1 usage error; 2 the file cannot be read as a\n"
               "waveform or holds no burst; 3 the file was read but a check failed; 4 --plots could\n"
               "not write an image or --pcap its capture.");
    app.get_formatter()->column_width(30);
    std::string file, plots_dir;
    bool json = false;
    app.add_option("file", file, "Waveform file (.awv, .csv, either file of a SigMF recording, R&S .wv, Keysight .bin "
                                 "with its .mkr beside it)")->required()->type_name("FILE");
    app.add_flag("--json", json, "Print one JSON object instead of the report");
    app.add_option("--plots", plots_dir, "Also write the viewer's five views (PNG and SVG) into DIR")->type_name("DIR");
    std::vector<std::string> texts;
    const std::vector<CLI::Option*> receiver_opts = add_receiver_options(app, texts);

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

    std::vector<orv::analysis::GivenOption> given;
    for (size_t k = 0; k < receiver_opts.size(); ++k)
        if (receiver_opts[k]->count() > 0) given.push_back({orv::analysis::command_options()[k].name, texts[k]});
    orv::analysis::Options opt;
    if (const std::string e = orv::analysis::parse_command_options(given, opt, file); !e.empty()) {
        err << "orvcheck: " << e << "\n";
        return kCheckUsage;
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
