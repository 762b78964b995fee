// orvview: opening the largest burst (54 Mbit/s, 151 symbols, oversampling 10) and
// drawing its five views, and the min/max decimation of the time view over a file
// of 2e8 samples (the longest the generator writes).
// Goals: the largest burst opens (read, analysed, charts built) in under 1 s; the
// time view of a 2e8-sample file redraws in well under 1 s, so such a file opens in
// the time orvcheck needs plus under 1 s (the other views do not grow with the file;
// BM_HugeOpen* measure both on the real file, opt-in).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QGraphicsScene>
#include <QImage>
#include <QPainter>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "ViewerWindow.h"
#include "analysis.h"
#include "orvasynth.h"
#include "views.h"

namespace {

const char* const kLargest = "/tmp/orv_bench_view_largest.awv";

// Writes the largest burst once.
bool write_largest() {
    static const bool ok = [] {
        WaveParams p{};
        p.burst_off_time = 160e-6;
        p.filter_rolloff = 0.25;
        p.burst_enable = 1;
        p.rate_index = 7;
        p.ofdm_symbols = 151;
        p.pn_seed = 0xFFFF;
        p.oversampling = 10;
        p.filter_taps = 191;
        return orv_11a_actual(&p, 0, kLargest) == 0;
    }();
    return ok;
}

void build_charts(const std::shared_ptr<const orv::analysis::Result>& r) {
    for (orv::viewer::View v : orv::viewer::kViews) {
        std::unique_ptr<QChart> c(orv::viewer::make_chart(v, r));
        benchmark::DoNotOptimize(c.get());
    }
}

void BM_OpenLargestBurst(benchmark::State& state) {
    if (!write_largest()) return state.SkipWithError("orv_11a_actual failed");
    for (auto _ : state) {
        const orv::viewer::LoadOutcome o = orv::viewer::load_file(kLargest);
        if (!o.result) return state.SkipWithError("not read");
        build_charts(o.result);
    }
}

void BM_ChartsOfLargestBurst(benchmark::State& state) {
    if (!write_largest()) return state.SkipWithError("orv_11a_actual failed");
    const orv::viewer::LoadOutcome o = orv::viewer::load_file(kLargest);
    if (!o.result) return state.SkipWithError("not read");
    for (auto _ : state) build_charts(o.result);
}

// One view built, laid out and painted at the export size, as a first paint of the window does.
void BM_PaintLargestBurst(benchmark::State& state) {
    if (!write_largest()) return state.SkipWithError("orv_11a_actual failed");
    const orv::viewer::LoadOutcome o = orv::viewer::load_file(kLargest);
    if (!o.result) return state.SkipWithError("not read");
    QImage image(1200, 750, QImage::Format_ARGB32);
    const orv::viewer::View v = orv::viewer::kViews[state.range(0)];
    state.SetLabel(orv::viewer::view_stem(v).toStdString());
    for (auto _ : state) {
        {
            QGraphicsScene scene;
            QChart* c = orv::viewer::make_chart(v, o.result);
            scene.addItem(c);
            c->resize(1200, 750);
            QApplication::processEvents();
            QPainter painter(&image);
            scene.render(&painter);
        }
    }
}

// A trace shaped as the analysis leaves one for a 2e8-sample file: the first 2^22
// samples kept, windows of 32 samples over the whole file.
const orv::analysis::PowerTrace& huge_trace() {
    static const orv::analysis::PowerTrace t = [] {
        orv::analysis::PowerTrace tr;
        tr.samples = 200000000 + 124800;
        tr.window = 32;
        const size_t windows = static_cast<size_t>((tr.samples + 31) / 32);
        tr.window_min.resize(windows);
        tr.window_max.resize(windows);
        for (size_t w = 0; w < windows; ++w) {
            tr.window_min[w] = static_cast<float>((w * 2654435761u) % 1000) * 1e-3f;
            tr.window_max[w] = tr.window_min[w] + 1.0f;
        }
        tr.sample_power.resize(size_t{1} << 22);
        for (size_t k = 0; k < tr.sample_power.size(); ++k) tr.sample_power[k] = static_cast<float>((k * 40503u) % 977) * 1e-3f;
        tr.reference_power = 0.5;
        return tr;
    }();
    return t;
}

// The longest AWG file (124800 + 2e8 samples, 1.6 GB), written once by a child process.
// Opt-in: orvview_bench --benchmark_filter=HugeOpen
const char* const kHuge = "/tmp/orv_bench_view_huge.awv";

bool huge_wanted(benchmark::State& state) {
    if (benchmark::GetBenchmarkFilter().find("HugeOpen") != std::string::npos) return true;
    state.SkipWithError("opt-in only: --benchmark_filter=HugeOpen");
    for (auto _ : state) {
    }
    return false;
}

bool write_huge() {
    static const bool ok = [] {
        const pid_t child = fork();
        if (child == 0) {
            WaveParams p{};
            p.filter_rolloff = 0.25;
            p.burst_enable = 1;
            p.burst_off_time = 1.0;
            p.rate_index = 7;
            p.ofdm_symbols = 151;
            p.pn_seed = 0xFFFF;
            p.oversampling = 10;
            p.filter_taps = 191;
            _exit(orv_11a_actual(&p, 0, kHuge) == 0 ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }();
    return ok;
}

// What orvcheck needs: the analysis alone.
void BM_HugeOpenAnalysisOnly(benchmark::State& state) {
    if (!huge_wanted(state)) return;
    if (!write_huge()) return state.SkipWithError("writing the file failed");
    for (auto _ : state) {
        const orv::analysis::Result r = orv::analysis::analyse_file(kHuge, {});
        benchmark::DoNotOptimize(r.evm_db);
    }
}

// What orvview needs: the analysis, the five charts built and painted.
void BM_HugeOpenViewer(benchmark::State& state) {
    if (!huge_wanted(state)) return;
    if (!write_huge()) return state.SkipWithError("writing the file failed");
    QImage image(1200, 750, QImage::Format_ARGB32);
    for (auto _ : state) {
        const orv::viewer::LoadOutcome o = orv::viewer::load_file(kHuge);
        if (!o.result) return state.SkipWithError("not read");
        for (orv::viewer::View v : orv::viewer::kViews) {
            QGraphicsScene scene;
            QChart* c = orv::viewer::make_chart(v, o.result);
            scene.addItem(c);
            c->resize(1200, 750);
            QApplication::processEvents();
            QPainter painter(&image);
            scene.render(&painter);
        }
    }
}

// Arguments: first sample, end sample, columns.
void BM_DecimatePower(benchmark::State& state) {
    const orv::analysis::PowerTrace& t = huge_trace();
    const int64_t from = state.range(0), to = std::min<int64_t>(state.range(1), t.samples);
    for (auto _ : state) {
        auto cols = orv::analysis::decimate_power(t, from, to, static_cast<int>(state.range(2)));
        benchmark::DoNotOptimize(cols.data());
    }
    state.SetItemsProcessed(state.iterations() * (to - from));
}

}  // namespace

BENCHMARK(BM_OpenLargestBurst)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChartsOfLargestBurst)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PaintLargestBurst)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HugeOpenAnalysisOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_HugeOpenViewer)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_DecimatePower)
    ->Args({0, 200124800, 1600})     // the whole file, one screen wide
    ->Args({0, 1 << 22, 1600})       // the kept samples (exact, sample by sample)
    ->Args({3000, 4600, 1600})       // zoomed to single samples
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::remove(kLargest);
    std::remove(kHuge);
    return 0;
}
