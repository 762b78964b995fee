// A continuous interfering tone found and subtracted before packet detection: the
// short training field's delay-and-correlate metric sees any tone as periodic, so a
// tone stronger than the packets hides every preamble.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "rx.h"

namespace orv::analysis::rx {

namespace {
constexpr int kSpectrumSize = 1024;  // periodogram points for the coarse frequency
constexpr int kBlock = 512;          // samples per block of the phase and amplitude checks
static_assert(kToneMinSamples >= 2 * kSpectrumSize);

// The mean of y[from, from + n) against e^{j w k}, k the index in y.
cd correlate(const std::vector<cd>& y, int64_t from, int64_t n, double w) {
    cd acc = 0;
    for (int64_t k = from; k < from + n; ++k) acc += y[static_cast<size_t>(k)] * std::polar(1.0, -w * static_cast<double>(k));
    return acc / static_cast<double>(n);
}

// The strongest line of the averaged periodogram, in radians a sample; nothing when no
// bin stands 20 dB above the median.
std::optional<double> strongest_line(const std::vector<cd>& y) {
    ForwardFft fft(kSpectrumSize);
    std::vector<double> psd(kSpectrumSize, 0.0);
    std::vector<cd> spectrum(kSpectrumSize);
    const int64_t blocks = static_cast<int64_t>(y.size()) / kSpectrumSize;
    const int64_t step = std::max<int64_t>(1, blocks / 32);
    for (int64_t b = 0; b < blocks; b += step) {
        fft.run(y.data() + b * kSpectrumSize, spectrum.data());
        for (int k = 0; k < kSpectrumSize; ++k) psd[static_cast<size_t>(k)] += std::norm(spectrum[static_cast<size_t>(k)]);
    }
    const auto peak = std::max_element(psd.begin(), psd.end());
    std::vector<double> sorted(psd);
    std::nth_element(sorted.begin(), sorted.begin() + kSpectrumSize / 2, sorted.end());
    if (!(*peak > 100.0 * sorted[kSpectrumSize / 2])) return std::nullopt;
    const int k = static_cast<int>(peak - psd.begin());
    return 2.0 * std::numbers::pi * (k < kSpectrumSize / 2 ? k : k - kSpectrumSize) / kSpectrumSize;
}
}  // namespace

std::optional<Tone> remove_tone(std::vector<cd>& y) {
    const int64_t n = static_cast<int64_t>(y.size());
    if (n < kToneMinSamples) return std::nullopt;
    std::optional<double> line = strongest_line(y);
    if (!line) return std::nullopt;
    double w = *line;
    const int64_t blocks = n / kBlock;
    // The frequency refined from the phase advance between blocks (half a periodogram bin
    // off turns a block's phase by pi / 2 at most), twice.
    for (int pass = 0; pass < 2; ++pass) {
        cd advance = 0, previous = correlate(y, 0, kBlock, w);
        for (int64_t b = 1; b < blocks; ++b) {
            const cd a = correlate(y, b * kBlock, kBlock, w);
            advance += a * std::conj(previous);
            previous = a;
        }
        w += std::arg(advance) / kBlock;
    }
    // A tone is the same in every block: within 1 dB of its mean amplitude.
    const cd a = correlate(y, 0, blocks * kBlock, w);
    if (!(std::norm(a) > 0)) return std::nullopt;
    for (int64_t b = 0; b < blocks; ++b) {
        const double ratio = std::norm(correlate(y, b * kBlock, kBlock, w)) / std::norm(a);
        if (ratio > 1.26 || ratio < 1 / 1.26) return std::nullopt;
    }
    for (int64_t k = 0; k < n; ++k) y[static_cast<size_t>(k)] -= a * std::polar(1.0, w * static_cast<double>(k));
    return Tone{w * kBaseRateHz / (2.0 * std::numbers::pi), a};
}

}  // namespace orv::analysis::rx
