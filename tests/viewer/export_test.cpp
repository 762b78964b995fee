// The five views as image files: in the process (File > Export), through
// `orvview --export DIR FILE` and through `orvcheck --plots DIR FILE`, without a display.
#include <QImage>
#include <QProcess>
#include <QSet>
#include <QtTest>

#include "export.h"
#include "ViewerWindow.h"
#include "waveforms.h"

using namespace orv::viewer;

namespace {

const QStringList kStems = {"spectrum", "constellation", "evm", "ccdf", "power"};

// Checks DIR/<stem>.png for the five views: at least 800x500, drawn (many colours, much non-white).
void check_pictures(const QString& dir) {
    for (const QString& stem : kStems) {
        const QString png = QDir(dir).filePath(stem + ".png");
        QImage img(png);
        QVERIFY2(!img.isNull(), qPrintable(png));
        QVERIFY(img.width() >= 800 && img.height() >= 500);
        // Not blank: many colours, and the measured series drawn (the first series of
        // every view is drawn in the same blue, 31 119 180).
        QSet<QRgb> colours;
        qint64 data = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) {
                const QRgb c = img.pixel(x, y);
                colours.insert(c);
                data += std::abs(qRed(c) - 31) + std::abs(qGreen(c) - 119) + std::abs(qBlue(c) - 180) < 30;
            }
        QVERIFY2(colours.size() > 20, qPrintable(stem));
        QVERIFY2(data > 200, qPrintable(stem + ": " + QString::number(data)));
        QFile svg(QDir(dir).filePath(stem + ".svg"));
        QVERIFY2(svg.open(QIODevice::ReadOnly), qPrintable(stem));
        const QByteArray text = svg.readAll();
        QVERIFY(text.contains("<svg"));
        QVERIFY(text.size() > 2000);
    }
}

// Runs program with args, standard input closed and no display; returns the exit status.
int run(const QString& program, const QStringList& args, QByteArray* err = nullptr) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    p.setProcessEnvironment(env);
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(program, args);
    if (!p.waitForFinished(60000)) return -1;
    if (err) *err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

}  // namespace

class ExportTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    QString burst_;

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        burst_ = dir_.filePath("burst.awv");
        QVERIFY(write_waveform(default_record(), burst_));
    }

    void inProcess() {
        const LoadOutcome o = load_file(burst_);
        QVERIFY(o.result);
        QStringList written;
        QString error;
        const QString out = dir_.filePath("views/sub");  // made as needed
        QVERIFY2(export_views(o.result, out, &error, &written), qPrintable(error));
        QCOMPARE(written.size(), 10);
        check_pictures(out);
    }

    void intoAFileFails() {
        const LoadOutcome o = load_file(burst_);
        const QString blocker = dir_.filePath("blocker");
        QFile f(blocker);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        QString error;
        QVERIFY(!export_views(o.result, blocker, &error));
        QVERIFY(error.contains(blocker));
    }

    void orvviewExport() {
        const QString out = dir_.filePath("orvview-out");
        QByteArray err;
        QCOMPARE(run(ORVVIEW_PROGRAM_FILE, {"--export", out, burst_}, &err), 0);
        check_pictures(out);
        // A file that is not a waveform: the reader's message, status 2, nothing written.
        const QString bad = dir_.filePath("bad.awv");
        QFile f(bad);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("{TYPE: nonsense");
        f.close();
        const QString none = dir_.filePath("orvview-none");
        QCOMPARE(run(ORVVIEW_PROGRAM_FILE, {"--export", none, bad}, &err), 2);
        QVERIFY2(err.contains("byte offset"), err.constData());
        QVERIFY(!QFileInfo::exists(none));
        QCOMPARE(run(ORVVIEW_PROGRAM_FILE, {"--export", none}, &err), 1);
    }

    void orvviewDataOnlyCsvWithOptions() {
        // DATA symbols only, as a CSV file: the file cannot say its rate, its format or its sampling rate.
        WaveParams p = default_record();
        p.frame_format = 1;
        p.ofdm_symbols = 30;
        const QString csv = dir_.filePath("free.csv");
        QVERIFY(write_waveform(p, csv, 1));
        const QString out = dir_.filePath("free-views");
        QByteArray err;
        QCOMPARE(run(ORVVIEW_PROGRAM_FILE, {"--export", out, csv}, &err), 2);
        QCOMPARE(run(ORVVIEW_PROGRAM_FILE, {"--export", out, "--frame", "free", "--rate", "36", "--oversample", "8", csv}, &err), 0);
        check_pictures(out);
        const QStringList refused[] = {
            {"--frame", "free", csv},                      // no rate
            {"--frame", "other", "--rate", "36", csv},
            {"--rate", "11", csv},
            {"--oversample", "0", csv},
            {"--oversample", "8", "--sample-rate", "160", csv},
            {"--sample-rate", "10", csv},
            {"--unknown", csv},
            {csv, burst_},                                  // one file at a time
        };
        for (const QStringList& args : refused) {
            QCOMPARE(run(ORVVIEW_PROGRAM_FILE, QStringList{"--export", dir_.filePath("refused")} + args, &err), 1);
            QVERIFY2(err.contains("orvview: "), err.constData());
        }
        QVERIFY(!QFileInfo::exists(dir_.filePath("refused")));
    }

    void dataOnlyRecordingReadWithItsDescription() {
#ifndef ORVGEN_PROGRAM_FILE
        QSKIP("no orvgen in this build");
#else
        // A DATA-only recording names its format, rate, DATA symbols and sampling rate itself.
        const QString base = dir_.filePath("free-rec");
        QByteArray err;
        QCOMPARE(run(ORVGEN_PROGRAM_FILE, {"-o", base + ".sigmf-data", "--format", "free", "--rate", "24", "--symbols",
                                           "12", "--oversample", "5", "--data", "PN15", "--seed", "1ACE", "--filter",
                                           "nyquist", "--cut-off", "9.0"}, &err), 0);
        if (err.contains("not available in this build")) QSKIP("no SigMF in this build");
        for (const QString& file : {base + ".sigmf-data", base + ".sigmf-meta"}) {
            QCOMPARE(run(ORVCHECK_PROGRAM_FILE, {file}, &err), 0);
            QCOMPARE(run(ORVVIEW_PROGRAM_FILE, {"--export", dir_.filePath("rec-views"), file}, &err), 0);
        }
        check_pictures(dir_.filePath("rec-views"));
        // Explicit options still win: a full burst is looked for (and not found), a wrong rate fails.
        QCOMPARE(run(ORVCHECK_PROGRAM_FILE, {"--frame", "802.11a", base + ".sigmf-meta"}, &err), 2);
        QVERIFY2(err.contains("no 802.11a preamble found"), err.constData());
        QCOMPARE(run(ORVCHECK_PROGRAM_FILE, {"--frame", "free", "--rate", "6", base + ".sigmf-meta"}, &err), 3);
        QCOMPARE(run(ORVCHECK_PROGRAM_FILE, {"--frame", "free", base + ".sigmf-meta"}, &err), 0);  // its own rate
        QCOMPARE(run(ORVVIEW_PROGRAM_FILE, {"--export", dir_.filePath("rec-none"), "--frame", "802.11a", base + ".sigmf-meta"}, &err), 2);
#endif
    }

    void orvcheckPlots() {
        // The filtered burst passes (status 0); with noise over the whole band it fails the
        // mask and EVM (status 3); both are drawn.
        const QString filtered = dir_.filePath("filtered.awv"), noisy = dir_.filePath("noisy.awv");
        WaveParams p = default_record();
        p.filter_cutoff = 9e6;
        QVERIFY(write_waveform(p, filtered));
        p.noise_enable = 1;
        p.noise_level = -55;
        QVERIFY(write_waveform(p, noisy));
        const QString out = dir_.filePath("plots");
        QCOMPARE(run(ORVCHECK_PROGRAM_FILE, {"--plots", out, filtered}), 0);
        check_pictures(out);
        const QString out2 = dir_.filePath("plots-noisy");
        QCOMPARE(run(ORVCHECK_PROGRAM_FILE, {"--plots", out2, noisy}), 3);
        check_pictures(out2);
        QByteArray unused;
        QCOMPARE(run(ORVCHECK_PROGRAM_FILE, {"--plots", dir_.filePath("plots-bad"), dir_.filePath("missing.awv")}, &unused), 2);
        QVERIFY(!QFileInfo::exists(dir_.filePath("plots-bad")));
        const QString blocker = dir_.filePath("blocker2");
        QFile f(blocker);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        QByteArray err;
        QCOMPARE(run(ORVCHECK_PROGRAM_FILE, {"--plots", blocker, burst_}, &err), 4);
        QVERIFY(err.contains("--plots"));
    }
};

QTEST_MAIN(ExportTest)
#include "export_test.moc"
