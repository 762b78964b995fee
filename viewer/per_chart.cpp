#include "per_chart.h"

#include <QApplication>
#include <QChart>
#include <QFileInfo>
#include <QGraphicsScene>
#include <QImage>
#include <QLineSeries>
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
        if (added) series->push_back({name, {}});
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
    auto* x = new QValueAxis;
    x->setTitleText("SNR (dB)");
    x->setLabelFormat("%.0f");
    auto* y = new QLogValueAxis;
    y->setTitleText("packet error rate");
    y->setLabelFormat("%g");
    y->setBase(10.0);
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    double lo_snr = INFINITY, hi_snr = -INFINITY, lo_per = 1.0;
    for (const PerSeries& s : series) {
        auto* line = new QLineSeries;
        line->setName(s.name);
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
    x->setRange(std::floor(lo_snr), std::ceil(hi_snr));
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
