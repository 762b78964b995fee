// The packet-error-rate curve of a receiver test: PER against SNR, one line per
// rate and channel, as a chart and as PNG and SVG files.
#pragma once

#include <QString>
#include <vector>

class QChart;

namespace orv::viewer {

// One measured point of the table.
struct PerPoint {
    double snr_db;
    double per;
    long packets;
};

// The points of one rate in one channel, in table order.
struct PerSeries {
    QString name;  // "54 Mbit/s, AWGN"
    std::vector<PerPoint> points;
    QString rate;     // the table's rate_mbps, "54"
    QString channel;  // the table's channel, "awgn" or the RMS delay spread in ns
};

// Reads the table written by scripts/per-curve.py: a header line naming the columns
// rate_mbps, channel, snr_db, packets, per (any order, others ignored), then one row each.
// Returns false with a message naming the line on a malformed table.
bool read_per_table(const QString& text, std::vector<PerSeries>* series, QString* error);

// A chart of the series on a logarithmic PER axis, one colour per rate and one line
// style per channel (in the order they first appear); a PER of 0 is drawn at half of
// one packet in the point's count (below the axis's lowest decade when that is below it).
QChart* make_per_chart(const std::vector<PerSeries>& series, const QString& title);

// Writes base.png and base.svg of the chart. Needs a QApplication.
bool write_per_chart(const std::vector<PerSeries>& series, const QString& title, const QString& base,
                     QString* error);

}  // namespace orv::viewer
