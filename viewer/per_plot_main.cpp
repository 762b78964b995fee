// orvperplot: draws a packet-error-rate table (scripts/per-curve.py) as PNG and SVG,
// without a display.
#include <QApplication>
#include <QFile>
#include <clocale>
#include <iostream>

#include "per_chart.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    const QStringList args = QApplication::arguments();
    if (args.size() < 3 || args.size() > 4) {
        std::cerr << "usage: orvperplot TABLE.csv OUTPUT_BASE [TITLE]\n"
                     "writes OUTPUT_BASE.png and OUTPUT_BASE.svg\n";
        return 1;
    }
    QFile file(args[1]);
    if (!file.open(QIODevice::ReadOnly)) {
        std::cerr << "orvperplot: cannot read " << args[1].toStdString() << "\n";
        return 2;
    }
    std::vector<orv::viewer::PerSeries> series;
    QString error;
    if (!orv::viewer::read_per_table(QString::fromUtf8(file.readAll()), &series, &error)) {
        std::cerr << "orvperplot: " << args[1].toStdString() << ": " << error.toStdString() << "\n";
        return 2;
    }
    const QString title = args.size() == 4 ? args[3] : QString("Packet error rate of 1000-byte frames");
    if (!orv::viewer::write_per_chart(series, title, args[2], &error)) {
        std::cerr << "orvperplot: " << error.toStdString() << "\n";
        return 3;
    }
    return 0;
}
