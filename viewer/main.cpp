// orvview: shows an 802.11a waveform file as a transmitter tester would, or
// writes its five views as image files (--export DIR), without a display.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QLocale>
#include <clocale>
#include <cstring>
#include <iostream>

#include "ViewerWindow.h"
#include "export.h"

namespace {

int usage(const QString& message) {
    std::cerr << "orvview: " << message.toStdString() << "\nRun 'orvview --help' for the options.\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    // --export draws without a window: the offscreen platform needs no display.
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--export") == 0 || std::strncmp(argv[i], "--export=", 9) == 0) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
            break;
        }
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    QApplication::setApplicationName("orvview");
    QApplication::setApplicationVersion(ORV_VERSION);
    QApplication::setDesktopFileName("orvview");

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "orvview: shows an IEEE 802.11a waveform file (AWG waveform file or CSV I/Q file): its spectrum against\n"
        "the transmit mask, constellation, EVM, CCDF and power against time, beside the orvcheck report.\n"
        "Exit status with --export: 0 written; 1 usage error; 2 the file cannot be read or holds no burst;\n"
        "4 an image could not be written.");
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption export_opt("export", "Write the five views as PNG and SVG files into DIR and exit.", "DIR");
    parser.addOption(export_opt);
    // The analysis options of orvcheck that a file may need.
    QCommandLineOption os_opt("oversample", "Oversampling factor of a CSV file (sampling rate = 20 MHz times it), 1 to 64.", "N");
    QCommandLineOption sr_opt("sample-rate", "Sampling rate of a CSV file in MHz, 20 to 1280.", "MHz");
    QCommandLineOption frame_opt("frame", "802.11a (preamble, SIGNAL, DATA; default) or free (DATA symbols only).", "FORMAT");
    QCommandLineOption rate_opt("rate", "Rate in Mbit/s of a free-format burst (6, 9, 12, 18, 24, 36, 48, 54).", "MBPS");
    parser.addOptions({os_opt, sr_opt, frame_opt, rate_opt});
    parser.addPositionalArgument("file", "Waveform file (.awv or .csv)", "[FILE]");
    if (!parser.parse(QApplication::arguments())) {
        std::cerr << "orvview: " << parser.errorText().toStdString() << "\nRun 'orvview --help' for the options.\n";
        return 1;
    }
    if (parser.isSet("help")) {
        std::cout << parser.helpText().toStdString();
        return 0;
    }
    if (parser.isSet("version")) {
        std::cout << "orvview " << ORV_VERSION << "\n";
        return 0;
    }
    orv::analysis::Options options;
    if (parser.isSet(os_opt)) {
        bool ok = false;
        const int n = parser.value(os_opt).toInt(&ok);
        if (!ok || n < 1 || n > 64) return usage("--oversample " + parser.value(os_opt) + " is not a whole number from 1 to 64");
        options.oversample = n;
    }
    if (parser.isSet(sr_opt)) {
        bool ok = false;
        const double mhz = QLocale::c().toDouble(parser.value(sr_opt), &ok);
        if (!ok || !(mhz >= 20 && mhz <= 1280)) return usage("--sample-rate " + parser.value(sr_opt) + " is not a rate from 20 to 1280 MHz");
        if (options.oversample) return usage("--oversample and --sample-rate exclude each other");
        options.sample_rate_hz = mhz * 1e6;
    }
    if (parser.isSet(frame_opt)) {
        const QString f = parser.value(frame_opt).toLower();
        if (f == "free") options.free_format = true;
        else if (f != "802.11a") return usage("--frame " + parser.value(frame_opt) + " is not one of 802.11a, free");
    }
    if (parser.isSet(rate_opt)) {
        bool ok = false;
        const int r = parser.value(rate_opt).toInt(&ok);
        if (!ok || !orv::analysis::evm_limit_db(r)) return usage("--rate " + parser.value(rate_opt) + " is not one of 6, 9, 12, 18, 24, 36, 48, 54");
        options.rate_mbps = r;
    }
    if (options.free_format && !options.rate_mbps) return usage("--frame free needs --rate");

    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) {
        std::cerr << "orvview: one file at a time\n";
        return 1;
    }
    if (parser.isSet(export_opt)) {
        if (files.isEmpty()) {
            std::cerr << "orvview: --export needs a waveform file\n";
            return 1;
        }
        const orv::viewer::LoadOutcome o = orv::viewer::load_file(files[0], options);
        if (!o.result) {
            std::cerr << "orvview: " << o.error.toStdString() << "\n";
            return 2;
        }
        QString error;
        QStringList written;
        if (!orv::viewer::export_views(o.result, parser.value(export_opt), &error, &written)) {
            std::cerr << "orvview: " << error.toStdString() << "\n";
            return 4;
        }
        for (const QString& w : written) std::cout << QDir::toNativeSeparators(w).toStdString() << "\n";
        return 0;
    }
    orv::viewer::ViewerWindow w;
    w.set_options(options);
    w.show();
    if (!files.isEmpty()) w.open_file(files[0]);
    return app.exec();
}
