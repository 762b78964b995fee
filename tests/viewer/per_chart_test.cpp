// The packet-error-rate table and its chart: the table reader's refusals, and the
// PNG and SVG files drawn from a table.
#include <QChart>
#include <QImage>
#include <QLineSeries>
#include <QValueAxis>
#include <memory>
#include <QTemporaryDir>
#include <QtTest>

#include "export.h"
#include "per_chart.h"

using namespace orv::viewer;

class PerChartTest : public QObject {
    Q_OBJECT
private slots:
    void reads_series_in_table_order();
    void refuses_malformed_tables_data();
    void refuses_malformed_tables();
    void draws_png_and_svg();
    void colour_per_rate_style_per_channel();
};

void PerChartTest::reads_series_in_table_order() {
    const QString table =
        "rate_mbps,channel,snr_db,packets,fcs_ok,per\n"
        "6,awgn,2,100,40,0.6\n"
        "6,awgn,4,100,100,0\n"
        "54,50,20,200,150,0.25\n"
        "\n"
        "6,awgn,6,100,100,0.0\n";
    std::vector<PerSeries> series;
    QString error;
    QVERIFY2(read_per_table(table, &series, &error), qPrintable(error));
    QCOMPARE(series.size(), size_t(2));
    QCOMPARE(series[0].name, QString("6 Mbit/s, AWGN"));
    QCOMPARE(series[0].points.size(), size_t(3));
    QCOMPARE(series[0].points[2].snr_db, 6.0);
    QCOMPARE(series[1].name, QString("54 Mbit/s, 50 ns exponential"));
    QCOMPARE(series[1].points[0].per, 0.25);
    QCOMPARE(series[1].points[0].packets, 200L);
    QCOMPARE(series[1].rate, QString("54"));
    QCOMPARE(series[1].channel, QString("50"));
}

void PerChartTest::refuses_malformed_tables_data() {
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("message");
    QTest::newRow("empty") << "" << "line 1";
    QTest::newRow("header without per") << "rate_mbps,channel,snr_db,packets\n6,awgn,1,10\n" << "line 1";
    QTest::newRow("short row") << "rate_mbps,channel,snr_db,packets,per\n6,awgn,1\n" << "line 2";
    QTest::newRow("per above 1") << "rate_mbps,channel,snr_db,packets,per\n6,awgn,1,10,0.5\n6,awgn,2,10,1.5\n"
                                 << "line 3";
    QTest::newRow("snr not a number") << "rate_mbps,channel,snr_db,packets,per\n6,awgn,x,10,0.5\n" << "line 2";
    QTest::newRow("no packets") << "rate_mbps,channel,snr_db,packets,per\n6,awgn,3,0,0.5\n" << "line 2";
    QTest::newRow("header only") << "rate_mbps,channel,snr_db,packets,per\n" << "no rows";
}

void PerChartTest::refuses_malformed_tables() {
    QFETCH(QString, table);
    QFETCH(QString, message);
    std::vector<PerSeries> series;
    QString error;
    QVERIFY(!read_per_table(table, &series, &error));
    QVERIFY2(error.contains(message), qPrintable(error));
}

void PerChartTest::draws_png_and_svg() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    std::vector<PerSeries> series = {
        {"6 Mbit/s, AWGN", {{0.0, 1.0, 100}, {2.0, 0.3, 100}, {4.0, 0.0, 100}}, "6", "awgn"},
        {"54 Mbit/s, AWGN", {{16.0, 0.9, 100}, {18.0, 0.1, 100}, {20.0, 0.01, 100}}, "54", "awgn"},
    };
    const QString base = dir.filePath("per");
    QString error;
    QVERIFY2(write_per_chart(series, "PER test", base, &error), qPrintable(error));
    QImage image(base + ".png");
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), kExportSize);
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3)
        for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
    QVERIFY2(colours.size() > 20, "the chart is blank");
    QFile svg(base + ".svg");
    QVERIFY(svg.open(QIODevice::ReadOnly));
    const QByteArray text = svg.readAll();
    QVERIFY(text.contains("<svg"));
    QVERIFY(text.contains("54 Mbit/s, AWGN"));
    QVERIFY(!write_per_chart(series, "PER test", dir.filePath("no/such/folder/per"), &error));
    QVERIFY(error.contains(".png"));
}

// Curves of one rate share a colour and differ in line style by channel; each channel
// keeps its style across rates; and the SNR axis spans whole 5 dB steps.
void PerChartTest::colour_per_rate_style_per_channel() {
    const QString table =
        "rate_mbps,channel,snr_db,packets,per\n"
        "6,awgn,2,100,0.5\n6,50,7,100,0.5\n6,150,6,100,0.5\n"
        "24,awgn,10,100,0.5\n24,50,16,100,0.5\n24,150,31,100,0.5\n";
    std::vector<PerSeries> series;
    QString error;
    QVERIFY2(read_per_table(table, &series, &error), qPrintable(error));
    std::unique_ptr<QChart> chart(make_per_chart(series, "PER"));
    const QList<QAbstractSeries*> lines = chart->series();
    QCOMPARE(lines.size(), 6);
    QPen pen[2][3];
    for (int k = 0; k < 6; ++k) {
        auto* line = qobject_cast<QLineSeries*>(lines[k]);
        QVERIFY(line != nullptr);
        pen[k / 3][k % 3] = line->pen();
    }
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c) {
            QCOMPARE(pen[r][c].color(), pen[r][0].color());
            QCOMPARE(pen[r][c].style(), pen[0][c].style());
            for (int d = 0; d < c; ++d) QVERIFY(pen[r][c].style() != pen[r][d].style());
        }
    QVERIFY(pen[0][0].color() != pen[1][0].color());
    auto* x = qobject_cast<QValueAxis*>(chart->axes(Qt::Horizontal).value(0));
    QVERIFY(x != nullptr);
    QCOMPARE(x->min(), 0.0);
    QCOMPARE(x->max(), 35.0);
}

QTEST_MAIN(PerChartTest)
#include "per_chart_test.moc"
