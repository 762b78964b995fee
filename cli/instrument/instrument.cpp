#include "instrument.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <system_error>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orv::instrument {

namespace {

constexpr double kFullScale = 32767.0;
constexpr uint32_t kChecksumSeed = 0xA50F74FFu;
constexpr double kMaxBackoffDb = 30.0;  // beyond it a code step exceeds 0.01 dB of the peak
// Power (codes squared) beyond which a sample is saturated: full scale and the
// rounding of a peak scaled to it (a few units in the last place), so the
// peak at 0 dB back-off is not counted as beyond full scale.
constexpr double kSaturationPower = kFullScale * kFullScale * (1.0 + 1e-12);

// Peak and power of a source's samples, and how many it handed over.
struct Measure {
    double peak2 = 0;         // largest |I+jQ|^2
    double lanes[4] = {};     // sums of |I+jQ|^2 of the samples k with k % 4 = 0, 1, 2, 3
    int64_t count = 0;
    double sum2() const { return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]); }
};

// A UTF-8 file name as a path (wide on Windows).
std::filesystem::path fs_path(const std::string& s) {
    return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(s.data()), s.size()));
}

std::string fixed(double v, int precision) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, precision);
    return std::string(buf, r.ptr);
}

std::string shortest_fixed(double v) {
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    return std::string(buf, r.ptr);
}

// The intervals checked: in order, not overlapping, inside the waveform.
bool check_intervals(const SampleSource& src, std::string& error) {
    int64_t end = 0;
    for (const Interval& v : src.on_air) {
        if (v.length <= 0 || v.start < end || v.start > src.count - v.length) {
            error = "marker interval " + std::to_string(v.start) + "+" + std::to_string(v.length) +
                    " is empty, out of order or outside the " + std::to_string(src.count) + " samples";
            return false;
        }
        end = v.start + v.length;
    }
    return true;
}

// The code the largest |I+jQ| is placed at, backoff_db below full scale.
double peak_level(double backoff_db) { return kFullScale * std::pow(10.0, -backoff_db / 20.0); }

// Scale and peak code from the measurement and the back-off.
bool set_levels(const SampleSource& src, const Measure& m, double backoff_db, Result& res, std::string& error) {
    if (!(backoff_db >= 0 && backoff_db <= kMaxBackoffDb)) {
        error = "the back-off must lie between 0 and 30 dB";
        return false;
    }
    const double peak = std::sqrt(m.peak2);
    const double level = peak_level(backoff_db);
    res.fs = src.fs;
    res.samples = src.count;
    res.scale = level / peak;
    res.peak_code = static_cast<int32_t>(std::lround(level));
    return true;
}

int64_t pulse_length(const MarkerOptions& mo, double fs) {
    if (mo.pulse > 0) return mo.pulse;
    return std::max<int64_t>(1, std::llround(fs * 1e-6));
}

// A file written under a temporary name and put in place when complete.
struct PendingFile {
    std::string path, temp;
    std::FILE* f = nullptr;
    std::unique_ptr<char[]> buffer;
    bool failed = false;

    bool open(const std::string& p) {
        path = p;
        temp = p + ".part";
#ifdef _WIN32
        f = _wfopen(fs_path(temp).wstring().c_str(), L"wb");
#else
        f = std::fopen(temp.c_str(), "wb");
#endif
        if (!f) return false;
        buffer.reset(new char[1 << 20]);
        std::setvbuf(f, buffer.get(), _IOFBF, 1 << 20);
        return true;
    }
    void write(const void* data, size_t n) {
        if (!failed && std::fwrite(data, 1, n, f) != n) failed = true;
    }
    // Closes the temporary file; true when every byte reached it.
    bool close() {
        if (!f) return false;
        const bool ok = std::fflush(f) == 0 && !std::ferror(f) && !failed;
        const bool closed = std::fclose(f) == 0;
        f = nullptr;
        return ok && closed;
    }
    bool commit() {
        std::error_code ec;
        std::filesystem::rename(fs_path(temp), fs_path(path), ec);
        return !ec;
    }
    void discard() {
        if (f) std::fclose(f);
        f = nullptr;
        std::error_code ec;
        if (!temp.empty()) std::filesystem::remove(fs_path(temp), ec);
    }
    ~PendingFile() { discard(); }
};

// The samples of the source's first run, kept for writing when they number
// at most memory_samples; a longer waveform is run a second time instead.
struct Store {
    const SampleSource* src = nullptr;
    bool keep = false;
    std::vector<double> i, q;

    void begin(const SampleSource& source, int64_t memory_samples) {
        src = &source;
        keep = source.count <= memory_samples;
        if (!keep) return;
        i.reserve(static_cast<size_t>(source.count));
        q.reserve(static_cast<size_t>(source.count));
    }
    void put(int32_t n, const double* bi, const double* bq) {
        if (!keep) return;
        i.insert(i.end(), bi, bi + n);
        q.insert(q.end(), bq, bq + n);
    }
    // Hands the samples to write again, in blocks; false when write refused
    // them or the second run did not hand over the same count.
    bool replay(const BlockSink& write) {
        constexpr size_t kBlock = 65536;
        if (keep) {
            for (size_t at = 0; at < i.size(); at += kBlock)
                if (!write(static_cast<int32_t>(std::min(kBlock, i.size() - at)), &i[at], &q[at])) return false;
            return true;
        }
        int64_t handed = 0;
        const int32_t rc = src->run([&](int32_t n, const double* bi, const double* bq) {
            handed += n;
            return handed <= src->count && write(n, bi, bq);
        });
        return rc == 0 && handed == src->count;
    }
};

// Adds n samples to the measurement: two at a time where SSE2 takes them,
// each power added to the same lane in the same order.
void measure_block(int32_t n, const double* i, const double* q, Measure& m) {
    int32_t k = 0;
#if defined(__SSE2__)
    if (n > 0 && (m.count & 1) != 0) {
        const double p = i[0] * i[0] + q[0] * q[0];
        m.lanes[m.count & 3] += p;
        if (p > m.peak2) m.peak2 = p;
        k = 1;
    }
    __m128d sums[2] = {_mm_loadu_pd(m.lanes), _mm_loadu_pd(m.lanes + 2)};  // lanes 0, 1 and 2, 3
    __m128d peak = _mm_set1_pd(m.peak2);
    for (; k + 2 <= n; k += 2) {
        const __m128d x = _mm_loadu_pd(i + k), y = _mm_loadu_pd(q + k);
        const __m128d p = _mm_add_pd(_mm_mul_pd(x, x), _mm_mul_pd(y, y));
        const int64_t lane = ((m.count + k) >> 1) & 1;
        sums[lane] = _mm_add_pd(sums[lane], p);
        peak = _mm_max_pd(p, peak);  // p > peak ? p : peak, as the scalar test (a NaN p never the peak)
    }
    _mm_storeu_pd(m.lanes, sums[0]);
    _mm_storeu_pd(m.lanes + 2, sums[1]);
    double pk[2];
    _mm_storeu_pd(pk, peak);
    m.peak2 = std::max(pk[0], pk[1]);
#endif
    for (; k < n; ++k) {
        const double p = i[k] * i[k] + q[k] * q[k];
        m.lanes[(m.count + k) & 3] += p;  // four chains of additions, not one
        if (p > m.peak2) m.peak2 = p;
    }
    m.count += n;
}

// The checks of a whole run's measurement; false with error set.
bool measured_whole(const SampleSource& src, int32_t rc, const Measure& m, std::string& error) {
    if (rc != 0) {
        error = "the waveform could not be generated (code " + std::to_string(rc) + ")";
        return false;
    }
    if (m.count != src.count) {
        error = "the waveform source handed over " + std::to_string(m.count) + " samples instead of " +
                std::to_string(src.count);
        return false;
    }
    if (!(m.peak2 > 0) || !std::isfinite(m.sum2())) {
        error = m.peak2 > 0 ? "the waveform has samples that are not finite" : "the waveform is zero throughout";
        return false;
    }
    return true;
}

// Runs the source once, measuring and keeping its samples; false with error set when it fails.
bool measure(const SampleSource& src, Measure& m, Store& store, std::string& error) {
    const int32_t rc = src.run([&m, &store](int32_t n, const double* i, const double* q) {
        measure_block(n, i, q, m);
        store.put(n, i, q);
        return true;
    });
    return measured_whole(src, rc, m, error);
}

// How a writer's one run of an announcing source ended.
enum class OneRun { kWritten, kRunAgain, kFailed };

// One run of an announcing source: every block goes to put at the scale of
// the announced peak (level / its magnitude, into scale; a later sample
// beyond full scale is saturated by the coder), and every sample is
// measured. kRunAgain when nothing was announced before the first block or
// the announced peak lies above every sample (put stopped; m measures the
// whole waveform); kFailed with error set when the run or put failed.
OneRun announced_run(const SampleSource& src, double level, Measure& m, double& scale, const BlockSink& put,
                     std::string& error) {
    double limit2 = -1;  // the announced peak power; -1: none
    bool unannounced = false, put_failed = false;
    const int32_t rc = src.run_announced(
        [&](const Announcement& a) {
            if (!(a.power_peak > 0) || !std::isfinite(a.power_peak) || m.count > 0) return;
            limit2 = a.power_peak;
            scale = level / std::sqrt(a.power_peak);
        },
        [&](int32_t n, const double* i, const double* q) {
            unannounced = unannounced || !(limit2 > 0);
            measure_block(n, i, q, m);
            if (unannounced) return true;
            put_failed = !put(n, i, q);
            return !put_failed;
        });
    if (put_failed) {
        error = "cannot write the file";
        return OneRun::kFailed;
    }
    if (!measured_whole(src, rc, m, error)) return OneRun::kFailed;
    // A peak above every sample would leave no sample at the level asked for.
    return unannounced || m.peak2 < limit2 ? OneRun::kRunAgain : OneRun::kWritten;
}


// The nearest code of a value within +-32767, ties to even: lrint in the
// default rounding mode, without a library call where SSE2 converts it.
inline int16_t round_code(double v) {
#if defined(__SSE2__)
    return static_cast<int16_t>(_mm_cvtsd_si32(_mm_set_sd(v)));
#else
    return static_cast<int16_t>(std::lrint(v));
#endif
}

// Codes samples at a scale, an |I+jQ| beyond full scale set to it (its
// phase kept), and keeps the levels of what it coded.
struct Coder {
    double scale = 0;
    double lanes[4] = {};        // sums of the scaled samples' power (codes squared), by sample index % 4
    double peak2 = 0;            // the largest of them
    int64_t count = 0, saturated = 0;

    // A sample beyond full scale brought to it, its phase kept (p: its power).
    void saturate(double& x, double& y, double& p) {
        if (!(p > kSaturationPower)) return;
        const double f = kFullScale / std::sqrt(p);
        x *= f;
        y *= f;
        p = kFullScale * kFullScale;
        ++saturated;
    }
    void code(double i, double q, int16_t& ci, int16_t& cq) {
        double x = i * scale, y = q * scale;
        double p = x * x + y * y;
        saturate(x, y, p);
        lanes[count & 3] += p;
        if (p > peak2) peak2 = p;
        ++count;
        ci = round_code(std::clamp(x, -kFullScale, kFullScale));
        cq = round_code(std::clamp(y, -kFullScale, kFullScale));
    }
    // Codes n samples as code does, into out (I and Q interleaved): two at a
    // time where SSE2 converts them, each power added to the same lane in the
    // same order.
    void code_block(int32_t n, const double* i, const double* q, int16_t* out) {
        int32_t k = 0;
#if defined(__SSE2__)
        if (n > 0 && (count & 1) != 0) {
            code(i[0], q[0], out[0], out[1]);
            k = 1;
        }
        const __m128d s = _mm_set1_pd(scale), limit = _mm_set1_pd(kSaturationPower);
        const __m128d hi = _mm_set1_pd(kFullScale), lo = _mm_set1_pd(-kFullScale);
        __m128d sums[2] = {_mm_loadu_pd(lanes), _mm_loadu_pd(lanes + 2)};  // lanes 0, 1 and 2, 3
        __m128d peak = _mm_set1_pd(peak2);
        int64_t c = count;  // even here
        for (; k + 2 <= n; k += 2, c += 2) {
            __m128d x = _mm_mul_pd(_mm_loadu_pd(i + k), s), y = _mm_mul_pd(_mm_loadu_pd(q + k), s);
            __m128d p = _mm_add_pd(_mm_mul_pd(x, x), _mm_mul_pd(y, y));
            if (_mm_movemask_pd(_mm_cmpgt_pd(p, limit)) != 0) {
                double xs[2], ys[2], ps[2];
                _mm_storeu_pd(xs, x);
                _mm_storeu_pd(ys, y);
                _mm_storeu_pd(ps, p);
                for (int t = 0; t < 2; ++t) saturate(xs[t], ys[t], ps[t]);
                x = _mm_loadu_pd(xs);
                y = _mm_loadu_pd(ys);
                p = _mm_loadu_pd(ps);
            }
            sums[(c >> 1) & 1] = _mm_add_pd(sums[(c >> 1) & 1], p);
            peak = _mm_max_pd(p, peak);  // p > peak ? p : peak, as the scalar test (a NaN p never the peak)
            x = _mm_min_pd(_mm_max_pd(x, lo), hi);
            y = _mm_min_pd(_mm_max_pd(y, lo), hi);
            const __m128i iq = _mm_unpacklo_epi32(_mm_cvtpd_epi32(x), _mm_cvtpd_epi32(y));  // I, Q, I, Q
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 2 * k), _mm_packs_epi32(iq, iq));
        }
        _mm_storeu_pd(lanes, sums[0]);
        _mm_storeu_pd(lanes + 2, sums[1]);
        double pk[2];
        _mm_storeu_pd(pk, peak);
        peak2 = std::max(pk[0], pk[1]);
        count = c;
#endif
        for (; k < n; ++k) code(i[k], q[k], out[2 * k], out[2 * k + 1]);
    }
    void restart() {
        lanes[0] = lanes[1] = lanes[2] = lanes[3] = peak2 = 0;
        count = saturated = 0;
    }
    // The RMS and peak below full scale of the coded samples, and the saturated count.
    void into(Result& res) const {
        const double sum2 = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
        const double rms = count > 0 ? std::sqrt(sum2 / static_cast<double>(count)) : 0.0;
        res.rms_offset_db = -20.0 * std::log10(rms / kFullScale);
        res.peak_offset_db = -20.0 * std::log10(std::sqrt(peak2) / kFullScale);
        res.saturated = saturated;
    }
};

std::string printable(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (c < 0x20 || c > 0x7E || c == '}' || c == '{') c = '?';
    return out;
}

std::string utc_now() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &t);
#else
    gmtime_r(&t, &tm);
#endif
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d;%02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

// The TYPE tag with the checksum right-aligned in ten places, so the tag
// has the same length before and after the checksum is known.
std::string type_tag(uint32_t checksum) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{TYPE: SMU-WV,%10u}", static_cast<unsigned>(checksum));
    return buf;
}

// A level offset in dB with six decimals, right-aligned in eleven places, so
// the header keeps its length when the levels are filled in after the data.
std::string level_text(double db) {
    std::string t = fixed(db, 6);
    return t.size() < 11 ? std::string(11 - t.size(), ' ') + t : t;
}

// The header of a WV file from its TYPE tag to the WAVEFORM tag's '#', with
// res's checksum and levels.
std::string wv_header(const SampleSource& src, const WvOptions& opt, const std::string& date, const Result& res) {
    std::string h = type_tag(res.checksum);
    h += "{COMMENT: " + printable(opt.comment) + "}";
    h += "{DATE: " + date + "}";
    h += "{CLOCK: " + shortest_fixed(src.fs) + "}";
    h += "{LEVEL OFFS: " + level_text(res.rms_offset_db) + "," + level_text(res.peak_offset_db) + "}";
    h += "{SAMPLES: " + std::to_string(src.count) + "}";
    if (opt.markers.enabled) {
        h += "{MARKER LIST 1: " + marker_list(res.marker1, src.count) + "}";
        h += "{MARKER LIST 2: " + marker_list(res.marker2, src.count) + "}";
    }
    h += "{WAVEFORM-" + std::to_string(4 * src.count + 1) + ":#";
    return h;
}

// The common start of both writers: the source and back-off checked, the
// markers; then either one_run (a long waveform whose source announces its
// peak: measured as it is written) or one run of the source now (measured,
// and kept in store when short) and the levels.
bool prepare(const SampleSource& src, double backoff_db, const MarkerOptions& mo, int64_t memory_samples,
             Store& store, Measure& m, bool& one_run, Result& res, std::string& error) {
    if (src.count <= 0 || !(src.fs > 0) || !src.run) {
        error = "the waveform has no samples or no sample rate";
        return false;
    }
    if (!(backoff_db >= 0 && backoff_db <= kMaxBackoffDb)) {
        error = "the back-off must lie between 0 and 30 dB";
        return false;
    }
    if (!check_intervals(src, error)) return false;
    if (mo.enabled) marker_spans(src.on_air, pulse_length(mo, src.fs), res.marker1, res.marker2);
    res.fs = src.fs;
    res.samples = src.count;
    one_run = src.run_announced && src.count > memory_samples;
    if (one_run) return true;
    store.begin(src, memory_samples);
    return measure(src, m, store, error) && set_levels(src, m, backoff_db, res, error);
}

// Writes the samples through put at res.scale: one run of an announcing
// source (rewind, then a second run, when it did not hold), or the store's
// replay. false with error set; file_failed names a failed write.
bool write_samples(const SampleSource& src, double backoff_db, bool one_run, Store& store, Measure& m,
                   Coder& coder, const std::function<bool()>& rewind, const BlockSink& put, Result& res,
                   const std::function<bool()>& file_failed, std::string& error) {
    if (one_run) {
        const OneRun r = announced_run(src, peak_level(backoff_db), m, coder.scale, put, error);
        if (r == OneRun::kFailed) return false;
        if (r == OneRun::kWritten) {
            set_levels(src, m, backoff_db, res, error);
            res.scale = coder.scale;  // the announced peak's
            coder.into(res);
            return true;
        }
        if (!set_levels(src, m, backoff_db, res, error)) return false;
        if (!rewind()) {
            error = "cannot write the file";
            return false;
        }
        coder.restart();
        store.begin(src, 0);  // run again, nothing kept
    }
    coder.scale = res.scale;
    if (!store.replay(put)) {
        error = file_failed() ? "cannot write the file" : "the waveform could not be generated a second time";
        return false;
    }
    coder.into(res);
    return true;
}

// Puts a stdio stream at a byte offset of its file (beyond 2 GiB too).
bool seek_to(std::FILE* f, int64_t offset) {
#ifdef _WIN32
    return _fseeki64(f, offset, SEEK_SET) == 0;
#else
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

// Writes the Keysight marker file of total samples: a byte a sample, bit 0
// marker 1, bit 1 marker 2. Only the marked samples' bytes and the last byte
// are written; the runs of unmarked samples between them are the zeros of the
// file's extension (a hole where the file system keeps one). False when a
// write failed.
bool write_marker_file(PendingFile& f, const Result& res, int64_t total) {
    std::vector<int64_t> edges = {0, total};
    for (const std::vector<Interval>* spans : {&res.marker1, &res.marker2})
        for (const Interval& v : *spans) {
            edges.push_back(v.start);
            edges.push_back(v.start + v.length);
        }
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    constexpr int64_t kChunk = 65536;
    std::vector<unsigned char> run(static_cast<size_t>(kChunk));
    const std::vector<Interval>* lists[2] = {&res.marker1, &res.marker2};
    size_t cursor[2] = {0, 0};
    int64_t at = 0;  // the stream's position
    for (size_t e = 0; e + 1 < edges.size() && !f.failed; ++e) {
        const int64_t a = edges[e], b = edges[e + 1];
        unsigned char bits = 0;
        for (int m = 0; m < 2; ++m) {
            const std::vector<Interval>& spans = *lists[m];
            size_t& c = cursor[m];
            while (c < spans.size() && spans[c].start + spans[c].length <= a) ++c;
            if (c < spans.size() && spans[c].start <= a) bits |= static_cast<unsigned char>(1u << m);
        }
        if (bits == 0) continue;
        if (at != a && !seek_to(f.f, a)) f.failed = true;
        std::fill(run.begin(), run.end(), bits);
        for (int64_t k = a; k < b; k += kChunk) f.write(run.data(), static_cast<size_t>(std::min(kChunk, b - k)));
        at = b;
    }
    if (at < total) {
        const unsigned char zero = 0;
        if (!seek_to(f.f, total - 1)) f.failed = true;
        f.write(&zero, 1);
    }
    return !f.failed;
}

}  // namespace

void marker_spans(const std::vector<Interval>& on_air, int64_t pulse, std::vector<Interval>& marker1,
                  std::vector<Interval>& marker2) {
    marker1.clear();
    marker2.clear();
    for (const Interval& v : on_air) {
        marker1.push_back({v.start, std::min(pulse, v.length)});
        if (!marker2.empty() && marker2.back().start + marker2.back().length == v.start)
            marker2.back().length += v.length;  // packets back to back: one span
        else
            marker2.push_back(v);
    }
}

std::string marker_list(const std::vector<Interval>& spans, int64_t count) {
    std::vector<Interval> merged;
    for (const Interval& v : spans) {
        if (!merged.empty() && merged.back().start + merged.back().length == v.start)
            merged.back().length += v.length;
        else
            merged.push_back(v);
    }
    if (merged.empty()) return "0:0";
    std::string out = merged.front().start > 0 ? "0:0;" : "";
    for (const Interval& v : merged) {
        out += std::to_string(v.start) + ":1;";
        if (v.start + v.length < count) out += std::to_string(v.start + v.length) + ":0;";
    }
    out.pop_back();
    return out;
}

int32_t write_wv(const std::string& path, const SampleSource& src, const WvOptions& opt, Result& res,
                 std::string& error) {
    res = Result{};
    res.format = "wv";
    Store store;
    Measure m;
    bool one_run = false;
    if (!prepare(src, opt.backoff_db, opt.markers, opt.memory_samples, store, m, one_run, res, error)) return 1;
    PendingFile file;
    if (!file.open(path)) {
        error = "cannot create " + file.temp;
        return 1;
    }
    // The header as it will be (its checksum and, after one run, its levels
    // still to come): the data start after it, and it is written again at the end.
    const std::string date = opt.date.empty() ? utc_now() : printable(opt.date);
    const std::string header = wv_header(src, opt, date, res);
    file.write(header.data(), header.size());
    uint32_t checksum = kChecksumSeed;
    std::vector<uint16_t> codes;
    Coder coder;
    auto put = [&](int32_t n, const double* i, const double* q) {
        codes.resize(static_cast<size_t>(n) * 2);
        uint16_t* c = codes.data();
        coder.code_block(n, i, q, reinterpret_cast<int16_t*>(c));
        for (int32_t k = 0; k < n; ++k)
            checksum ^= static_cast<uint32_t>(c[2 * k]) | (static_cast<uint32_t>(c[2 * k + 1]) << 16);
        // Little-endian words: on a big-endian machine each code's bytes exchanged.
        if constexpr (std::endian::native == std::endian::big)
            for (uint16_t& v : codes) v = static_cast<uint16_t>(v >> 8 | v << 8);
        file.write(codes.data(), codes.size() * sizeof(uint16_t));
        return !file.failed;
    };
    auto rewind = [&] {
        checksum = kChecksumSeed;
        return !file.failed && std::fflush(file.f) == 0 &&
               std::fseek(file.f, static_cast<long>(header.size()), SEEK_SET) == 0;
    };
    if (!write_samples(src, opt.backoff_db, one_run, store, m, coder, rewind, put, res,
                       [&] { return file.failed; }, error)) {
        if (file.failed) error = "cannot write " + file.temp;
        return 1;
    }
    file.write("}", 1);
    res.checksum = checksum;
    const std::string filled = wv_header(src, opt, date, res);
    if (filled.size() != header.size()) file.failed = true;  // cannot happen: every field has its width
    if (!file.failed && (std::fflush(file.f) != 0 || std::fseek(file.f, 0, SEEK_SET) != 0)) file.failed = true;
    file.write(filled.data(), filled.size());
    if (!file.close() || !file.commit()) {
        error = "cannot write " + path;
        return 1;
    }
    res.files = {path};
    return 0;
}

std::string marker_path(const std::string& data_path) {
    std::filesystem::path p = fs_path(data_path);
    p.replace_extension(".mkr");
    const std::u8string u = p.u8string();
    return std::string(reinterpret_cast<const char*>(u.data()), u.size());
}

int32_t write_keysight(const std::string& path, const SampleSource& src, const KeysightOptions& opt,
                       Result& res, std::string& error) {
    res = Result{};
    res.format = "keysight";
    Store store;
    Measure m;
    bool one_run = false;
    if (!prepare(src, opt.backoff_db, opt.markers, opt.memory_samples, store, m, one_run, res, error)) return 1;
    const int64_t total = std::max(kKeysightMinSamples, (src.count + kKeysightMultiple - 1) / kKeysightMultiple *
                                                            kKeysightMultiple);
    res.padded = total - src.count;
    const std::string mkr = marker_path(path);
    if (opt.markers.enabled && mkr == path) {
        error = "the data file " + path + " already has the marker file's name";
        return 1;
    }
    PendingFile data, marks;
    if (!data.open(path) || (opt.markers.enabled && !marks.open(mkr))) {
        error = "cannot create " + (data.f ? marks.temp : data.temp);
        return 1;
    }
    if (opt.markers.enabled && !write_marker_file(marks, res, total)) {
        error = "cannot write " + marks.temp;
        return 1;
    }
    std::vector<uint16_t> codes;
    Coder coder;
    auto put = [&](int32_t n, const double* i, const double* q) {
        codes.resize(static_cast<size_t>(n) * 2);
        uint16_t* c = codes.data();
        if (i == nullptr) std::fill(codes.begin(), codes.end(), uint16_t{0});
        else coder.code_block(n, i, q, reinterpret_cast<int16_t*>(c));
        // Big-endian words: on a little-endian machine each code's bytes
        // exchanged, in a loop of its own that the compiler vectorises.
        if constexpr (std::endian::native == std::endian::little)
            for (uint16_t& v : codes) v = static_cast<uint16_t>(v >> 8 | v << 8);
        data.write(codes.data(), codes.size() * sizeof(uint16_t));
        return !data.failed;
    };
    // The marker file is complete: a second run rewrites the data only.
    auto rewind = [&] { return !data.failed && std::fflush(data.f) == 0 && std::fseek(data.f, 0, SEEK_SET) == 0; };
    if (!write_samples(src, opt.backoff_db, one_run, store, m, coder, rewind, put, res, [&] { return data.failed; },
                       error)) {
        if (data.failed) error = "cannot write " + data.temp;
        return 1;
    }
    for (int64_t left = res.padded; left > 0;) {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(left, 4096));
        put(n, nullptr, nullptr);
        left -= n;
    }
    if (!data.close() || (opt.markers.enabled && !marks.close())) {
        error = "cannot write " + (data.failed ? path : mkr);
        return 1;
    }
    if (!data.commit()) {
        error = "cannot put " + path + " in place";
        return 1;
    }
    if (opt.markers.enabled && !marks.commit()) {
        // No data file without its markers: an instrument would play it with stale ones.
        std::error_code ec;
        std::filesystem::remove(fs_path(path), ec);
        error = "cannot put " + mkr + " in place (" + path + " removed with it)";
        return 1;
    }
    res.files = {path};
    if (opt.markers.enabled) res.files.push_back(mkr);
    return 0;
}

nlohmann::ordered_json to_json(const Result& res) {
    using nlohmann::ordered_json;
    auto spans = [](const std::vector<Interval>& v) {
        ordered_json a = ordered_json::array();
        for (const Interval& s : v) a.push_back({{"start", s.start}, {"length", s.length}});
        return a;
    };
    ordered_json j = {{"format", res.format},
                      {"files", res.files},
                      {"sample_rate_hz", res.fs},
                      {"samples", res.samples},
                      {"idle_samples_appended", res.padded},
                      {"scale", res.scale},
                      {"full_scale_code", 32767},
                      {"peak_code", res.peak_code},
                      {"rms_offset_db", res.rms_offset_db},
                      {"peak_offset_db", res.peak_offset_db},
                      {"saturated_samples", res.saturated}};
    if (res.format == "wv") j["checksum"] = res.checksum;
    j["marker1"] = spans(res.marker1);
    j["marker2"] = spans(res.marker2);
    return j;
}

}  // namespace orv::instrument
