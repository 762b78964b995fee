#include "per_chart.h"

#include <QApplication>
#include <QChart>
#include <QFileInfo>
#include <QGraphicsScene>
#include <QImage>
#include <QLegend>
#include <QLineSeries>
#include <QPen>
#include <QLogValueAxis>
#include <QPainter>
#include <QScatterSeries>
#include <QStringList>
#include <QSvgGenerator>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <map>

#include "export.h"

namespace orv::viewer {

namespace {

// Column indices of the table's header; -1 where a column is missing.
struct Columns {
    int rate = -1, channel = -1, snr = -1, packets = -1, per = -1;
};

Columns find_columns(const QStringList& header) {
    Columns c;
    for (int k = 0; k < header.size(); ++k) {
        const QString h = header[k].trimmed();
        if (h == "rate_mbps") c.rate = k;
        else if (h == "channel") c.channel = k;
        else if (h == "snr_db") c.snr = k;
        else if (h == "packets") c.packets = k;
        else if (h == "per") c.per = k;
    }
    return c;
}

// The position of key in order, appended when new.
int order_of(std::vector<QString>& order, const QString& key) {
    const auto it = std::find(order.begin(), order.end(), key);
    if (it != order.end()) return static_cast<int>(it - order.begin());
    order.push_back(key);
    return static_cast<int>(order.size()) - 1;
}

// Pens of the curves: a colour per rate, a line style per channel.
QPen curve_pen(int rate, int channel) {
    static const QColor kColours[] = {QColor(0x1f, 0x77, 0xb4), QColor(0xd6, 0x27, 0x28), QColor(0x2c, 0xa0, 0x2c),
                                      QColor(0x94, 0x67, 0xbd), QColor(0xff, 0x7f, 0x0e), QColor(0x8c, 0x56, 0x4b),
                                      QColor(0xe3, 0x77, 0xc2), QColor(0x17, 0xbe, 0xcf)};
    static const Qt::PenStyle kStyles[] = {Qt::SolidLine, Qt::DashLine, Qt::DotLine, Qt::DashDotLine,
                                           Qt::DashDotDotLine};
    QPen pen(kColours[rate % 8]);
    pen.setWidthF(2.0);
    pen.setStyle(kStyles[channel % 5]);
    return pen;
}

QString series_name(const QString& rate, const QString& channel) {
    const QString ch = channel == "awgn" ? QString("AWGN") : channel + " ns exponential";
    return rate + " Mbit/s, " + ch;
}

}  // namespace

bool read_per_table(const QString& text, std::vector<PerSeries>* series, QString* error) {
    const QStringList lines = text.split('\n');
    if (lines.isEmpty() || lines[0].trimmed().isEmpty()) {
        *error = "line 1: no header";
        return false;
    }
    const Columns c = find_columns(lines[0].split(','));
    if (c.rate < 0 || c.channel < 0 || c.snr < 0 || c.packets < 0 || c.per < 0) {
        *error = "line 1: the header needs rate_mbps, channel, snr_db, packets and per";
        return false;
    }
    const int need = std::max({c.rate, c.channel, c.snr, c.packets, c.per}) + 1;
    std::map<QString, size_t> index;
    series->clear();
    for (int n = 1; n < lines.size(); ++n) {
        const QString line = lines[n].trimmed();
        if (line.isEmpty()) continue;
        const QStringList f = line.split(',');
        bool ok_snr = false, ok_per = false, ok_packets = false;
        const double snr = f.size() >= need ? f[c.snr].toDouble(&ok_snr) : 0.0;
        const double per = f.size() >= need ? f[c.per].toDouble(&ok_per) : 0.0;
        const long packets = f.size() >= need ? f[c.packets].toLong(&ok_packets) : 0;
        if (!ok_snr || !ok_per || !ok_packets || !std::isfinite(snr) || !(per >= 0.0 && per <= 1.0) || packets < 1) {
            *error = QString("line %1: expected %2 columns with a finite SNR, a PER in 0..1 and a packet count >= 1")
                         .arg(n + 1)
                         .arg(need);
            return false;
        }
        const QString name = series_name(f[c.rate].trimmed(), f[c.channel].trimmed());
        auto [it, added] = index.emplace(name, series->size());
        if (added) series->push_back({name, {}, f[c.rate].trimmed(), f[c.channel].trimmed()});
        (*series)[it->second].points.push_back({snr, per, packets});
    }
    if (series->empty()) {
        *error = "the table has no rows";
        return false;
    }
    return true;
}

QChart* make_per_chart(const std::vector<PerSeries>& series, const QString& title) {
    auto* chart = new QChart;
    chart->setTitle(title);
    chart->legend()->setAlignment(Qt::AlignRight);
    chart->legend()->setMarkerShape(QLegend::MarkerShapeFromSeries);
    auto* x = new QValueAxis;
    x->setTitleText("SNR (dB)");
    x->setLabelFormat("%.0f");
    x->setTickType(QValueAxis::TicksDynamic);
    x->setTickAnchor(0.0);
    x->setTickInterval(5.0);
    auto* y = new QLogValueAxis;
    y->setTitleText("packet error rate (0 drawn at half a packet)");
    y->setLabelFormat("%g");
    y->setBase(10.0);
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    double lo_snr = INFINITY, hi_snr = -INFINITY, lo_per = 1.0;
    std::vector<QString> rates, channels;
    for (const PerSeries& s : series) {
        auto* line = new QLineSeries;
        line->setName(s.name);
        line->setPen(curve_pen(order_of(rates, s.rate), order_of(channels, s.channel)));
        line->setPointsVisible(true);
        for (const PerPoint& p : s.points) {
            const double shown = p.per > 0.0 ? p.per : 0.5 / static_cast<double>(p.packets);
            line->append(p.snr_db, shown);
            lo_snr = std::min(lo_snr, p.snr_db);
            hi_snr = std::max(hi_snr, p.snr_db);
            lo_per = std::min(lo_per, shown);
        }
        chart->addSeries(line);
        line->attachAxis(x);
        line->attachAxis(y);
    }
    x->setRange(5.0 * std::floor(lo_snr / 5.0), 5.0 * std::ceil(hi_snr / 5.0));
    y->setRange(std::pow(10.0, std::floor(std::log10(lo_per))), 1.0);
    return chart;
}

bool write_per_chart(const std::vector<PerSeries>& series, const QString& title, const QString& base,
                     QString* error) {
    QGraphicsScene scene;
    QChart* chart = make_per_chart(series, title);
    scene.addItem(chart);
    chart->resize(QSizeF(kExportSize));
    chart->setBackgroundRoundness(0);
    QApplication::processEvents();
    const QRectF target(QPointF(0, 0), QSizeF(kExportSize));
    QImage image(kExportSize, QImage::Format_ARGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        scene.render(&painter, target, chart->geometry());
    }
    if (!image.save(base + ".png", "PNG")) {
        *error = "cannot write " + base + ".png";
        return false;
    }
    QSvgGenerator svg;
    svg.setFileName(base + ".svg");
    svg.setSize(kExportSize);
    svg.setViewBox(QRect(QPoint(0, 0), kExportSize));
    svg.setTitle(title);
    {
        QPainter painter(&svg);
        painter.setRenderHint(QPainter::Antialiasing);
        scene.render(&painter, target, chart->geometry());
    }
    if (!QFileInfo(base + ".svg").isFile() || QFileInfo(base + ".svg").size() == 0) {
        *error = "cannot write " + base + ".svg";
        return false;
    }
    return true;
}

}  // namespace orv::viewer
