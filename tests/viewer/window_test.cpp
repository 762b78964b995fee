// The orvview window, headless: what each view holds for a known burst, the
// zoomed time view, the report's failed checks, reading a bad file, drag and
// drop, and following the file when it is rewritten.
#include <QAreaSeries>
#include <QLegend>
#include <QLineSeries>
#include <QMimeData>
#include <QProcess>
#include <QScatterSeries>
#include <QSignalSpy>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

#include <cmath>
#include <fstream>

#include "ViewerWindow.h"
#include "waveforms.h"

using namespace orv::viewer;

namespace {

template <typename T>
T* series(QChart* c, const QString& name) {
    if (!c) return nullptr;
    for (QAbstractSeries* s : c->series())
        if (s->objectName() == name) return qobject_cast<T*>(s);
    return nullptr;
}

bool wait_loaded(ViewerWindow& w, const QString& path) {
    QSignalSpy spy(&w, &ViewerWindow::loaded);
    w.open_file(path);
    return spy.wait(20000);
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    QString burst_;

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        burst_ = dir_.filePath("burst.awv");
        QVERIFY(write_waveform(default_record(), burst_));
    }

    void titleAndSpectrum() {
        ViewerWindow w;
        QVERIFY(wait_loaded(w, burst_));
        QCOMPARE(w.windowTitle(), QString("burst.awv - orvview"));
        const auto r = w.result();
        QVERIFY(r);
        auto* psd = series<QLineSeries>(w.chart(View::Spectrum), "psd");
        QVERIFY(psd);
        QCOMPARE(psd->count(), 2400);  // 1.5 bins of 100 kHz at 160 MHz
        QCOMPARE(static_cast<size_t>(psd->count()), r->mask.freq_hz.size());
        // The mask's corners, from the span edge at -80 MHz to +80 MHz.
        auto* mask = series<QLineSeries>(w.chart(View::Spectrum), "mask");
        QVERIFY(mask);
        const QList<QPointF> corners = {{-80, -40}, {-30, -40}, {-20, -28}, {-11, -20}, {-9, 0},
                                        {9, 0},     {11, -20},  {20, -28},  {30, -40},  {80, -40}};
        QCOMPARE(mask->count(), corners.size());
        for (int i = 0; i < corners.size(); ++i) {
            QCOMPARE(mask->at(i).x(), corners[i].x());
            QVERIFY(std::abs(mask->at(i).y() - corners[i].y()) < 1e-9);
        }
        // The worst margin's marker sits on the PSD at the reported frequency.
        auto* worst = series<QScatterSeries>(w.chart(View::Spectrum), "worst");
        QVERIFY(worst);
        QCOMPARE(worst->count(), 1);
        QCOMPARE(worst->at(0).x(), *r->mask.worst_offset_hz / 1e6);
        QCOMPARE(worst->at(0).y(), *r->mask.worst_psd_dbr);
        QVERIFY(std::abs(worst->at(0).x()) > 9.0);
        QVERIFY2(worst->name().contains("-2.26 dB at 30.33 MHz"), qPrintable(worst->name()));
    }

    void constellationEvmAndCcdf() {
        ViewerWindow w;
        QVERIFY(wait_loaded(w, burst_));
        QChart* c = w.chart(View::Constellation);
        QCOMPARE(series<QScatterSeries>(c, "data")->count(), 48 * 100);
        QCOMPARE(series<QScatterSeries>(c, "pilots")->count(), 4 * 100);
        QCOMPARE(series<QScatterSeries>(c, "ideal")->count(), 16);  // 36 Mbit/s: 16-QAM
        QVERIFY(series<QScatterSeries>(c, "pilots")->color() != series<QScatterSeries>(c, "data")->color());

        QChart* e = w.chart(View::Evm);
        auto* per_sc = series<QScatterSeries>(e, "evm_subcarrier");
        QCOMPARE(per_sc->count(), 52);
        QCOMPARE(per_sc->at(0).x(), -26.0);
        QCOMPARE(per_sc->at(25).x(), -1.0);
        QCOMPARE(per_sc->at(26).x(), 1.0);
        QCOMPARE(per_sc->at(51).x(), 26.0);
        QCOMPARE(series<QLineSeries>(e, "evm_symbol")->count(), 100);
        auto* limit = series<QLineSeries>(e, "evm_limit");
        QCOMPARE(limit->at(0).y(), -19.0);
        QCOMPARE(limit->at(1).y(), -19.0);

        QChart* cc = w.chart(View::Ccdf);
        auto* burst = series<QLineSeries>(cc, "ccdf");
        auto* gauss = series<QLineSeries>(cc, "gaussian");
        QCOMPARE(burst->count(), 81);
        QCOMPARE(gauss->count(), 80);  // probability 1 has no level
        // At 10 %: the burst's level as the report gives it, Gaussian noise's at 3.62 dB.
        const auto r = w.result();
        bool seen = false;
        for (const QPointF& p : burst->points())
            if (std::abs(p.y() - 0.1) < 1e-12) {
                QCOMPARE(p.x(), r->ccdf[0].level_db);
                seen = true;
            }
        QVERIFY(seen);
        QVERIFY(std::abs(gauss->at(19).x() - 3.622) < 1e-3);  // 10^(-20/20)
    }

    void powerSegmentsAndZoom() {
        ViewerWindow w;
        w.show();
        QVERIFY(wait_loaded(w, burst_));
        auto* chart = qobject_cast<PowerChart*>(w.chart(View::Power));
        QVERIFY(chart);
        // Segment boundaries in microseconds at 160 MHz.
        const struct {
            const char* name;
            double from, to;
        } segments[] = {{"STF", 0, 8}, {"LTF", 8, 16}, {"SIGNAL", 16, 20}, {"DATA", 20, 420}, {"gap", 420, 580}};
        for (const auto& s : segments) {
            auto* area = series<QAreaSeries>(chart, QString("segment:") + s.name);
            QVERIFY2(area, s.name);
            QCOMPARE(area->name(), QString(s.name));
            QVERIFY(std::abs(area->upperSeries()->at(0).x() - s.from) < 1e-9);
            QVERIFY(std::abs(area->upperSeries()->at(1).x() - s.to) < 1e-9);
        }
        // The whole file, min/max decimated: at most two points per column.
        auto* env = series<QLineSeries>(chart, "power");
        QCOMPARE(chart->first_sample(), int64_t{0});
        QCOMPARE(chart->end_sample(), int64_t{92800});
        QVERIFY(env->count() <= 2 * chart->columns());
        QVERIFY(env->count() >= chart->columns());
        // Zoomed to 16 samples (0.1 us): one point per sample, each the sample's power.
        chart->time_axis()->setRange(10.0, 10.1);
        QCOMPARE(chart->first_sample(), int64_t{1600});
        QCOMPARE(chart->end_sample(), int64_t{1617});
        QCOMPARE(env->count(), 17);
        const auto r = w.result();
        for (int i = 0; i < env->count(); ++i) {
            const double p = r->power.sample_power[static_cast<size_t>(1600 + i)];
            QVERIFY(std::abs(env->at(i).x() - (1600 + i) / 160.0) < 1e-9);
            QVERIFY(std::abs(env->at(i).y() - 10 * std::log10(p / r->power.reference_power)) < 1e-6);
        }
        chart->time_axis()->setRange(0, 580);
        QCOMPARE(chart->end_sample(), int64_t{92800});
        // The rubber band's zoom (the middle tenth of the plot) and View > Reset time zoom.
        const QRectF plot = chart->plotArea();
        chart->zoomIn(QRectF(plot.left() + 0.45 * plot.width(), plot.top(), 0.1 * plot.width(), plot.height()));
        QVERIFY(chart->first_sample() > 40000 && chart->end_sample() < 52000);
        QVERIFY(chart->end_sample() - chart->first_sample() > 8000);
        chart->zoomReset();
        QCOMPARE(chart->first_sample(), int64_t{0});
        QCOMPARE(chart->end_sample(), int64_t{92800});
    }

    void reportMarksFailedChecks() {
        ViewerWindow w;
        QVERIFY(wait_loaded(w, burst_));
        int failed = 0;
        bool mask_red = false, evm_red = true;
        for (QTextBlock b = w.report()->document()->begin(); b.isValid(); b = b.next()) {
            const bool red = b.begin().fragment().charFormat().foreground().color() == QColor(176, 0, 0);
            failed += red;
            if (b.text().startsWith("Mask")) mask_red = red;
            if (b.text().startsWith("EVM")) evm_red = red;
        }
        QVERIFY(mask_red);    // the unfiltered burst violates the mask
        QVERIFY(!evm_red);
        QCOMPARE(failed, 3);  // the mask line, the verdict and its one failure
    }

    void badFilesShowTheReadersMessage_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected");
        QTest::newRow("not a waveform") << QByteArray("hello,world\n") << "line 1";
        QTest::newRow("AWG header cut") << QByteArray("{TYPE: WV, 0}\n{WAVEDATA-") << "byte";
        QTest::newRow("silence") << QByteArray("0,0\n0,0\n0,0\n0,0\n") << "no 802.11a burst found";
        QTest::newRow("empty") << QByteArray() << "empty";
    }
    void badFilesShowTheReadersMessage() {
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        const QString path = dir_.filePath("bad.csv");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
        f.close();
        ViewerWindow w;
        QSignalSpy spy(&w, &ViewerWindow::failed);
        w.open_file(path);
        QVERIFY(spy.wait(10000));
        QVERIFY(!w.result());
        QVERIFY(!w.chart(View::Spectrum));
        QVERIFY2(w.message().contains(expected, Qt::CaseInsensitive), qPrintable(w.message()));
        QVERIFY(w.message().startsWith(path));
        QCOMPARE(spy.at(0).at(0).toString(), w.message());
    }

    void missingFile() {
        ViewerWindow w;
        QSignalSpy spy(&w, &ViewerWindow::failed);
        w.open_file(dir_.filePath("nothing-here.awv"));
        QVERIFY(spy.wait(10000));
        QVERIFY(w.message().contains("cannot open"));
        QCOMPARE(w.windowTitle(), QString("nothing-here.awv - orvview"));
    }

    void dropOpensTheFile() {
        ViewerWindow w;
        w.show();
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(burst_)});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&w, &enter);
        QVERIFY(enter.isAccepted());
        QSignalSpy spy(&w, &ViewerWindow::loaded);
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&w, &drop);
        QVERIFY(spy.wait(20000));
        QCOMPARE(w.file(), QFileInfo(burst_).absoluteFilePath());
        QMimeData text;
        text.setText("not a file");
        QDragEnterEvent refused(QPoint(10, 10), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
        refused.setAccepted(false);
        QApplication::sendEvent(&w, &refused);
        QVERIFY(!refused.isAccepted());
    }

    void followsTheFileOnDisk() {
        const QString path = dir_.filePath("follow.awv");
        QVERIFY(write_waveform(default_record(), path));
        ViewerWindow w;
        QVERIFY(wait_loaded(w, path));
        QCOMPARE(w.result()->rate_mbps, 36);
        // Regenerated (the library replaces the file by a rename): the view follows.
        QSignalSpy loaded(&w, &ViewerWindow::loaded);
        WaveParams p = default_record();
        p.rate_index = 7;
        p.ofdm_symbols = 20;
        QVERIFY(write_waveform(p, path));
        QVERIFY(loaded.wait(10000));
        QCOMPARE(w.result()->rate_mbps, 54);
        QCOMPARE(series<QScatterSeries>(w.chart(View::Constellation), "ideal")->count(), 64);
        QCOMPARE(series<QScatterSeries>(w.chart(View::Constellation), "data")->count(), 48 * 20);
        // Overwritten in place with something unreadable: the message, then back again.
        QSignalSpy failed(&w, &ViewerWindow::failed);
        {
            std::ofstream f(path.toStdString(), std::ios::binary | std::ios::trunc);
            f << "garbage\n";
        }
        QVERIFY(failed.wait(10000));
        QVERIFY(w.message().contains("line 1"));
        QVERIFY(write_waveform(default_record(), path));
        QVERIFY(loaded.wait(10000));
        QCOMPARE(w.result()->rate_mbps, 36);
    }

    void dataOnlyBurstWithOptions() {
        WaveParams p = default_record();
        p.frame_format = 1;
        p.rate_index = 3;
        p.ofdm_symbols = 12;
        const QString path = dir_.filePath("free.awv");
        QVERIFY(write_waveform(p, path));
        ViewerWindow w;
        QSignalSpy failed(&w, &ViewerWindow::failed);
        w.open_file(path);  // without the options: no preamble to synchronise on
        QVERIFY(failed.wait(10000));
        orv::analysis::Options o;
        o.free_format = true;
        o.rate_mbps = 18;
        w.set_options(o);
        QVERIFY(wait_loaded(w, path));
        QCOMPARE(w.result()->rate_mbps, 18);
        QChart* power = w.chart(View::Power);
        QVERIFY(series<QAreaSeries>(power, "segment:DATA"));
        QVERIFY(!series<QAreaSeries>(power, "segment:STF"));
        QCOMPARE(series<QScatterSeries>(w.chart(View::Constellation), "ideal")->count(), 4);  // QPSK
    }

    // A DATA-only recording orvgen wrote opens without options: its metadata names
    // the format, rate and symbols; a rate given explicitly still wins.
    void recordingOpensWithItsDescription() {
#ifndef ORVGEN_PROGRAM_FILE
        QSKIP("no orvgen in this build");
#else
        const QString base = dir_.filePath("rec-free");
        QProcess gen;
        gen.start(ORVGEN_PROGRAM_FILE, {"-o", base + ".sigmf-data", "--format", "free", "--rate", "18", "--symbols",
                                        "12", "--oversample", "5"});
        QVERIFY(gen.waitForFinished(60000));
        if (gen.readAllStandardError().contains("not available in this build")) QSKIP("no SigMF in this build");
        QCOMPARE(gen.exitCode(), 0);
        ViewerWindow w;
        QVERIFY(wait_loaded(w, base + ".sigmf-data"));
        QCOMPARE(w.result()->rate_mbps, 18);
        QCOMPARE(series<QScatterSeries>(w.chart(View::Constellation), "ideal")->count(), 4);  // QPSK
        orv::analysis::Options o;
        o.free_format = true;
        o.rate_mbps = 6;
        w.set_options(o, {{"frame", "free"}, {"rate", "6"}});
        QVERIFY(wait_loaded(w, base + ".sigmf-meta"));
        QCOMPARE(w.result()->rate_mbps, 6);
        QCOMPARE(series<QScatterSeries>(w.chart(View::Constellation), "ideal")->count(), 2);  // BPSK
#endif
    }

    // The signal generators' files orvgen writes open like the others: the WV
    // rate from its CLOCK tag, the Keysight binary's from its short training field.
    void instrumentFilesOpen_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("format");
        QTest::addColumn<int>("kind");
        QTest::newRow("wv") << "burst.wv" << QStringList{} << int(orv::analysis::FileFormat::Wv);
        QTest::newRow("keysight") << "burst.bin" << QStringList{"--output-format", "keysight"}
                                  << int(orv::analysis::FileFormat::Keysight);
    }
    void instrumentFilesOpen() {
#ifndef ORVGEN_PROGRAM_FILE
        QSKIP("no orvgen in this build");
#else
        QFETCH(QString, name);
        QFETCH(QStringList, format);
        QFETCH(int, kind);
        const QString path = dir_.filePath(name);
        QProcess gen;
        gen.start(ORVGEN_PROGRAM_FILE, QStringList{"-o", path, "--rate", "12", "--symbols", "20"} + format);
        QVERIFY(gen.waitForFinished(60000));
        QCOMPARE(gen.exitCode(), 0);
        ViewerWindow w;
        QVERIFY(wait_loaded(w, path));
        QCOMPARE(w.windowTitle(), name + " - orvview");
        QCOMPARE(int(w.result()->file.format), kind);
        QCOMPARE(w.result()->file.oversample, 8);
        QCOMPARE(w.result()->rate_mbps, 12);
        QVERIFY(w.result()->file.instrument && w.result()->file.instrument->markers_ok.value_or(false));
#endif
    }

    void replacedDuringTheRead() {
        const QString path = dir_.filePath("race.awv");
        QVERIFY(write_waveform(default_record(), path));
        ViewerWindow w;
        QSignalSpy loaded(&w, &ViewerWindow::loaded);
        w.open_file(path);  // the read runs beside the event loop, which has not run yet
        WaveParams p = default_record();
        p.rate_index = 0;
        p.ofdm_symbols = 10;
        QVERIFY(write_waveform(p, path));
        w.open_file(path);
        QVERIFY(loaded.wait(20000));
        QTest::qWait(300);  // no second signal follows
        QCOMPARE(loaded.count(), 1);
        QCOMPARE(w.result()->rate_mbps, 6);
        QCOMPARE(series<QScatterSeries>(w.chart(View::Constellation), "data")->count(), 48 * 10);
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
