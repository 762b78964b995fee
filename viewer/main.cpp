// orvview: shows an 802.11a waveform file as a transmitter tester would, or
// writes its five views as image files (--export DIR), without a display.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <clocale>
#include <cstring>
#include <iostream>
#include <vector>

#include "ViewerWindow.h"
#include "command_options.h"
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
    // The receiver's options, as orvcheck has them.
    std::vector<QCommandLineOption> receiver_opts;
    for (const orv::analysis::CommandOption& o : orv::analysis::command_options()) {
        QStringList names{QString::fromLatin1(o.name)};
        if (o.alias) names << QString::fromLatin1(o.alias);
        receiver_opts.emplace_back(names, QString::fromUtf8(o.help) + ".", QString::fromLatin1(o.value_name));
    }
    for (const QCommandLineOption& o : receiver_opts) parser.addOption(o);
    parser.addPositionalArgument("file", "Waveform file (.awv, .csv, either file of a SigMF recording, R&S .wv, Keysight .bin with its .mkr)", "[FILE]");
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
    std::vector<orv::analysis::GivenOption> given;
    for (const QCommandLineOption& o : receiver_opts)
        if (parser.isSet(o)) given.push_back({o.names().front().toStdString(), parser.value(o).toStdString()});
    // Checked with what the file named here says about itself (a recording names its rate);
    // the window keeps only the options as given, for every file it opens.
    const QStringList files = parser.positionalArguments();
    const std::string first = files.isEmpty() ? std::string() : QFile::encodeName(files[0]).toStdString();
    orv::analysis::Options checked, options;
    if (const std::string e = orv::analysis::parse_command_options(given, checked, first); !e.empty())
        return usage(QString::fromStdString(e));
    (void)orv::analysis::parse_command_options(given, options);  // only "--frame free needs --rate" can differ

    if (files.size() > 1) {
        std::cerr << "orvview: one file at a time\n";
        return 1;
    }
    if (parser.isSet(export_opt)) {
        if (files.isEmpty()) {
            std::cerr << "orvview: --export needs a waveform file\n";
            return 1;
        }
        const orv::viewer::LoadOutcome o = orv::viewer::load_file(files[0], options, given);
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
    w.set_options(options, given);
    w.show();
    if (!files.isEmpty()) w.open_file(files[0]);
    return app.exec();
}
