// The five charts of orvview (Qt Charts). Each is built from an analysis
// Result and draws what the analysis measured; nothing is measured here.
#pragma once

#include <QChart>
#include <QString>
#include <QValueAxis>
#include <memory>
#include <vector>

#include "analysis.h"

class QGraphicsSimpleTextItem;
class QLineSeries;

namespace orv::viewer {

enum class View { Spectrum, Constellation, Evm, Ccdf, Power };
constexpr View kViews[] = {View::Spectrum, View::Constellation, View::Evm, View::Ccdf, View::Power};

// The file name stem of an exported view ("spectrum", "constellation", "evm", "ccdf", "power").
QString view_stem(View v);

// Power spectral density (dBr) against frequency (MHz), the transmit mask and its worst margin.
QChart* make_spectrum_chart(const analysis::Result& r);

// Equalised DATA subcarriers, pilots and the ideal points of the rate's modulation.
QChart* make_constellation_chart(const analysis::Result& r);

// EVM against subcarrier (bottom axis) and against DATA symbol (top axis), with the rate's limit.
QChart* make_evm_chart(const analysis::Result& r);

// CCDF of the instantaneous power against dB above the mean, and Gaussian noise's.
QChart* make_ccdf_chart(const analysis::Result& r);

// Power against time (us), min/max decimated to the plot's pixel columns, with the
// burst's segments shaded and labelled. Zooming the time axis re-decimates the
// visible samples, down to single samples.
class PowerChart : public QChart {
    Q_OBJECT
public:
    explicit PowerChart(std::shared_ptr<const analysis::Result> r);
    // The visible samples [from, to) and the columns they were decimated to.
    int64_t first_sample() const { return from_; }
    int64_t end_sample() const { return to_; }
    int columns() const { return columns_; }
    QValueAxis* time_axis() const { return time_; }
    // Rebuilds the envelope series for the time axis's current range and the plot's width.
    void refresh();

private:
    void place_labels();

    std::shared_ptr<const analysis::Result> r_;
    double fs_ = 1;
    QLineSeries* envelope_ = nullptr;
    QValueAxis* time_ = nullptr;
    QValueAxis* level_ = nullptr;
    std::vector<QGraphicsSimpleTextItem*> labels_;
    int64_t from_ = 0, to_ = 0;
    int columns_ = 0;
    bool refreshing_ = false;
};

// Builds the chart of view v.
QChart* make_chart(View v, const std::shared_ptr<const analysis::Result>& r);

}  // namespace orv::viewer
