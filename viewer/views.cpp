#include "views.h"

#include <QAreaSeries>
#include <QBrush>
#include <QImage>
#include <QPainter>
#include <QGraphicsSimpleTextItem>
#include <QLegendMarker>
#include <QLineSeries>
#include <QLogValueAxis>
#include <QPen>
#include <QScatterSeries>

#include <algorithm>
#include <cmath>

namespace orv::viewer {

using analysis::Result;

namespace {

QLineSeries* line(const QString& object, const QString& name, const QColor& colour, qreal width = 1.5) {
    auto* s = new QLineSeries;
    s->setObjectName(object);
    s->setName(name);
    QPen pen(colour);
    pen.setWidthF(width);
    s->setPen(pen);
    return s;
}

QScatterSeries* scatter(const QString& object, const QString& name, const QColor& colour, qreal size,
                        QScatterSeries::MarkerShape shape = QScatterSeries::MarkerShapeCircle) {
    auto* s = new QScatterSeries;
    s->setObjectName(object);
    s->setName(name);
    s->setMarkerShape(shape);
    s->setMarkerSize(size);
    s->setColor(colour);
    s->setBorderColor(colour);
    return s;
}

// A value axis over [lo, hi] with a tick every interval, anchored at 0.
// A round marker drawn as an image: thousands of points paint without an item each.
QImage dot(const QColor& colour, int size) {
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(QRectF(0, 0, size, size));
    return img;
}

QValueAxis* axis(const QString& title, double lo, double hi, double interval, const char* format = "%.0f") {
    auto* a = new QValueAxis;
    a->setTitleText(title);
    a->setRange(lo, hi);
    a->setLabelFormat(format);
    a->setTickType(QValueAxis::TicksDynamic);
    a->setTickAnchor(0);
    a->setTickInterval(interval);
    return a;
}

// A tick interval of 1, 2 or 5 times a power of ten giving about eight ticks over span.
double nice_interval(double span) {
    const double raw = std::max(span, 1e-12) / 8;
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0})
        if (m * p >= raw) return m * p;
    return 10 * p;
}

QChart* chart(const QString& title) {
    auto* c = new QChart;
    c->setTitle(title);
    c->legend()->setAlignment(Qt::AlignBottom);
    c->setMargins(QMargins(4, 4, 4, 4));
    return c;
}

void attach(QChart* c, QAbstractSeries* s, QAbstractAxis* x, QAbstractAxis* y) {
    c->addSeries(s);
    s->attachAxis(x);
    s->attachAxis(y);
}

QString db(double v, int decimals = 2) { return QString::number(v, 'f', decimals) + " dB"; }

}  // namespace

QString view_stem(View v) {
    switch (v) {
        case View::Spectrum: return "spectrum";
        case View::Constellation: return "constellation";
        case View::Evm: return "evm";
        case View::Ccdf: return "ccdf";
        case View::Power: return "power";
    }
    return {};
}

QChart* make_spectrum_chart(const Result& r) {
    QChart* c = chart("Spectrum (17.3.9.2 transmit mask, 100 kHz resolution)");
    const double half = r.file.sample_rate_hz / 2e6;
    auto* x = axis("frequency (MHz)", -half, half, nice_interval(2 * half));
    auto* y = axis("PSD (dBr)", -100, 10, 10);
    c->addAxis(x, Qt::AlignBottom);
    c->addAxis(y, Qt::AlignLeft);
    auto* psd = line("psd", "PSD", QColor(31, 119, 180), 1.0);
    QList<QPointF> pts;
    pts.reserve(static_cast<qsizetype>(r.mask.freq_hz.size()));
    for (size_t i = 0; i < r.mask.freq_hz.size(); ++i) pts.append({r.mask.freq_hz[i] / 1e6, r.mask.psd_dbr[i]});
    psd->replace(pts);
    attach(c, psd, x, y);
    auto* mask = line("mask", "mask", QColor(214, 39, 40), 2.0);
    for (const analysis::MaskCorner& m : analysis::mask_outline(r.file.sample_rate_hz / 2)) mask->append(m.offset_hz / 1e6, m.limit_dbr);
    attach(c, mask, x, y);
    if (r.mask.margin_db && r.mask.worst_offset_hz && r.mask.worst_psd_dbr) {
        auto* worst = scatter("worst", "worst margin " + db(*r.mask.margin_db) + " at " +
                                           QString::number(*r.mask.worst_offset_hz / 1e6, 'f', 2) + " MHz",
                              r.mask.pass ? QColor(44, 160, 44) : QColor(214, 39, 40), 12, QScatterSeries::MarkerShapeRectangle);
        worst->setColor(Qt::transparent);
        QPen pen(r.mask.pass ? QColor(44, 160, 44) : QColor(214, 39, 40));
        pen.setWidth(2);
        worst->setPen(pen);
        worst->append(*r.mask.worst_offset_hz / 1e6, *r.mask.worst_psd_dbr);
        attach(c, worst, x, y);
    }
    return c;
}

QChart* make_constellation_chart(const Result& r) {
    QChart* c = chart("Constellation (equalised DATA symbols, " + QString::number(r.rate_mbps) + " Mbit/s)");
    auto* x = axis("I", -1.6, 1.6, 0.5, "%.1f");
    auto* y = axis("Q", -1.6, 1.6, 0.5, "%.1f");
    c->addAxis(x, Qt::AlignBottom);
    c->addAxis(y, Qt::AlignLeft);
    auto points = [](const std::vector<std::complex<double>>& v) {
        QList<QPointF> p;
        p.reserve(static_cast<qsizetype>(v.size()));
        for (const std::complex<double>& z : v) p.append({z.real(), z.imag()});
        return p;
    };
    auto* data = scatter("data", "data subcarriers", QColor(31, 119, 180), 4);
    data->setLightMarker(dot(QColor(31, 119, 180), 4));
    data->replace(points(r.data_points));
    attach(c, data, x, y);
    auto* pilots = scatter("pilots", "pilots", QColor(255, 127, 14), 5);
    pilots->setLightMarker(dot(QColor(255, 127, 14), 5));
    pilots->replace(points(r.pilot_points));
    attach(c, pilots, x, y);
    auto* ideal = scatter("ideal", "ideal points", Qt::black, 10, QScatterSeries::MarkerShapeRectangle);
    ideal->setColor(Qt::transparent);
    ideal->setPen(QPen(Qt::black, 1));
    ideal->replace(points(analysis::ideal_points(r.rate_mbps)));
    attach(c, ideal, x, y);
    return c;
}

QChart* make_evm_chart(const Result& r) {
    QString title = "EVM (17.3.9.7)";
    if (r.evm_db) title += ": " + db(*r.evm_db);
    QChart* c = chart(title);
    double lo = -60, hi = 0;
    for (double v : r.evm_per_subcarrier_db) lo = std::min(lo, v);
    for (double v : r.evm_per_symbol_db) lo = std::min(lo, v);
    lo = std::floor(lo / 10) * 10 - 10;  // a CSV file measures below -200 dB
    const double symbols = std::max<double>(1, static_cast<double>(r.evm_per_symbol_db.size()));
    auto* sc = axis("subcarrier", -27, 27, 10);
    auto* sym = axis("DATA symbol", -0.5, symbols - 0.5, nice_interval(symbols));
    auto* y = axis("EVM (dB)", lo, hi, std::max(10.0, nice_interval(hi - lo)));
    c->addAxis(sc, Qt::AlignBottom);
    c->addAxis(sym, Qt::AlignTop);
    c->addAxis(y, Qt::AlignLeft);
    auto* per_sc = scatter("evm_subcarrier", "per subcarrier", QColor(31, 119, 180), 7);
    const std::vector<int>& numbers = analysis::measured_subcarriers();
    for (size_t i = 0; i < r.evm_per_subcarrier_db.size() && i < numbers.size(); ++i)
        per_sc->append(numbers[i], r.evm_per_subcarrier_db[i]);
    attach(c, per_sc, sc, y);
    auto* per_sym = line("evm_symbol", "per DATA symbol", QColor(148, 103, 189));
    for (size_t k = 0; k < r.evm_per_symbol_db.size(); ++k) per_sym->append(static_cast<double>(k), r.evm_per_symbol_db[k]);
    attach(c, per_sym, sym, y);
    if (r.evm_limit_db) {
        auto* limit = line("evm_limit", "limit " + db(*r.evm_limit_db, 0), QColor(214, 39, 40), 2.0);
        limit->append(-27, *r.evm_limit_db);
        limit->append(27, *r.evm_limit_db);
        attach(c, limit, sc, y);
    }
    return c;
}

QChart* make_ccdf_chart(const Result& r) {
    QChart* c = chart("CCDF of the instantaneous power" + (r.ccdf.empty() ? QString() : ", PAPR " + db(r.papr_db)));
    auto* x = axis("dB above the mean power", 0, 12, 2);
    auto* y = new QLogValueAxis;
    y->setTitleText("probability");
    y->setBase(10);
    y->setRange(1e-4, 1);
    y->setLabelFormat("%g");
    y->setMinorTickCount(-1);
    c->addAxis(x, Qt::AlignBottom);
    c->addAxis(y, Qt::AlignLeft);
    auto* burst = line("ccdf", "burst", QColor(31, 119, 180), 2.0);
    auto* gauss = line("gaussian", "Gaussian noise", QColor(127, 127, 127), 1.5);
    gauss->setPen(QPen(QColor(127, 127, 127), 1.5, Qt::DashLine));
    for (size_t k = 0; k < r.ccdf_curve_db.size(); ++k) {
        const double p = analysis::ccdf_curve_probability(static_cast<int>(k));
        if (std::isfinite(r.ccdf_curve_db[k])) burst->append(r.ccdf_curve_db[k], p);
        const double g = analysis::gaussian_ccdf_db(p);
        if (std::isfinite(g)) gauss->append(g, p);  // (probability 1 has no level)
    }
    attach(c, burst, x, y);
    attach(c, gauss, x, y);
    return c;
}

PowerChart::PowerChart(std::shared_ptr<const Result> r) : r_(std::move(r)) {
    setTitle("Power against time");
    legend()->setAlignment(Qt::AlignBottom);
    setMargins(QMargins(4, 4, 4, 4));
    fs_ = r_->file.sample_rate_hz > 0 ? r_->file.sample_rate_hz : 1.0;
    const double us = 1e6 / fs_;
    time_ = new QValueAxis;
    time_->setTitleText("time (us)");
    time_->setRange(0, static_cast<double>(std::max<int64_t>(r_->power.samples, 1)) * us);
    time_->setLabelFormat("%g");
    const double top = std::ceil((r_->papr_db + 3) / 10) * 10, bottom = -70;
    level_ = axis("power (dB relative to the burst mean)", bottom, top, 10);
    addAxis(time_, Qt::AlignBottom);
    addAxis(level_, Qt::AlignLeft);
    const QColor shades[] = {QColor(255, 187, 120, 90), QColor(152, 223, 138, 90), QColor(197, 176, 213, 110),
                             QColor(174, 199, 232, 90), QColor(199, 199, 199, 90)};
    int i = 0;
    for (const analysis::Segment& s : r_->segments) {
        auto* upper = new QLineSeries(this);
        auto* lower = new QLineSeries(this);
        const double a = static_cast<double>(s.start) * us, b = static_cast<double>(s.start + s.length) * us;
        upper->append(a, top);
        upper->append(b, top);
        lower->append(a, bottom);
        lower->append(b, bottom);
        auto* area = new QAreaSeries(upper, lower);
        area->setObjectName("segment:" + QString::fromStdString(s.name));
        area->setName(QString::fromStdString(s.name));
        area->setBrush(shades[i++ % 5]);
        area->setPen(Qt::NoPen);
        addSeries(area);
        area->attachAxis(time_);
        area->attachAxis(level_);
        auto* label = new QGraphicsSimpleTextItem(QString::fromStdString(s.name), this);
        label->setData(0, QString::fromStdString(s.name));
        labels_.push_back(label);
    }
    envelope_ = line("power", "power (min/max per pixel)", QColor(31, 119, 180), 1.0);
    addSeries(envelope_);
    envelope_->attachAxis(time_);
    envelope_->attachAxis(level_);
    // The segments' legend entries name them; the labels on the plot say the same.
    connect(time_, &QValueAxis::rangeChanged, this, [this] { refresh(); });
    connect(this, &QChart::plotAreaChanged, this, [this] { refresh(); });
    refresh();
}

void PowerChart::refresh() {
    if (refreshing_) return;
    refreshing_ = true;
    const int64_t n = r_->power.samples;
    const double lo = time_->min() * fs_ / 1e6, hi = time_->max() * fs_ / 1e6;
    from_ = std::clamp<int64_t>(static_cast<int64_t>(std::floor(lo)), 0, n);
    to_ = std::clamp<int64_t>(static_cast<int64_t>(std::ceil(hi)) + 1, from_, n);
    columns_ = std::max(200, static_cast<int>(plotArea().width()));
    const std::vector<analysis::PowerColumn> cols = analysis::decimate_power(r_->power, from_, to_, columns_);
    QList<QPointF> pts;
    pts.reserve(static_cast<qsizetype>(2 * cols.size()));
    for (const analysis::PowerColumn& c : cols) {
        const double t = static_cast<double>(c.first) * 1e6 / fs_;
        pts.append({t, c.min_db});
        if (c.max_db != c.min_db) pts.append({t, c.max_db});
    }
    envelope_->replace(pts);
    place_labels();
    refreshing_ = false;
}

void PowerChart::place_labels() {
    const QRectF area = plotArea();
    for (size_t i = 0; i < labels_.size() && i < r_->segments.size(); ++i) {
        const analysis::Segment& s = r_->segments[i];
        const double a = std::max(static_cast<double>(s.start) * 1e6 / fs_, time_->min());
        const double b = std::min(static_cast<double>(s.start + s.length) * 1e6 / fs_, time_->max());
        QGraphicsSimpleTextItem* label = labels_[i];
        if (b <= a || area.isEmpty()) {
            label->hide();
            continue;
        }
        const QPointF left = mapToPosition(QPointF(a, level_->max()), envelope_);
        const QPointF right = mapToPosition(QPointF(b, level_->max()), envelope_);
        const QRectF box = label->boundingRect();
        label->setVisible(right.x() - left.x() > box.width() + 4);
        label->setPos((left.x() + right.x() - box.width()) / 2, area.top() + 2);
    }
}

QChart* make_chart(View v, const std::shared_ptr<const Result>& r) {
    switch (v) {
        case View::Spectrum: return make_spectrum_chart(*r);
        case View::Constellation: return make_constellation_chart(*r);
        case View::Evm: return make_evm_chart(*r);
        case View::Ccdf: return make_ccdf_chart(*r);
        case View::Power: return new PowerChart(r);
    }
    return nullptr;
}

}  // namespace orv::viewer
