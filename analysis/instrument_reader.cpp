#include "instrument_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <complex>
#include <cstring>

namespace orv::analysis {

namespace {

constexpr double kCodeFullScale = 32767.0;
constexpr uint32_t kWvChecksumSeed = 0xA50F74FFu;
constexpr size_t kMaxTagName = 256;
constexpr size_t kMaxTagText = size_t{64} << 20;  // marker lists of many packets
constexpr size_t kBlockSamples = 16384;

[[noreturn]] void fail(int64_t offset, const std::string& what) {
    throw ReadError("byte " + std::to_string(offset) + ": " + what);
}

// A byte stream with its offset.
struct Bytes {
    std::istream& in;
    int64_t offset = 0;

    int get() {
        const int c = in.get();
        if (c != std::char_traits<char>::eof()) ++offset;
        return c;
    }
    // Reads up to n bytes; returns how many came.
    size_t read(char* p, size_t n) {
        in.read(p, static_cast<std::streamsize>(n));
        const size_t got = static_cast<size_t>(in.gcount());
        offset += static_cast<int64_t>(got);
        return got;
    }
};

std::string trim(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t' || s[a] == '\r' || s[a] == '\n')) ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r' || s[b - 1] == '\n')) --b;
    return s.substr(a, b - a);
}

bool parse_double(const std::string& s, double& v) {
    const std::string t = trim(s);
    if (t.empty()) return false;
    const char* b = t.data() + (t[0] == '+' ? 1 : 0);
    const auto r = std::from_chars(b, t.data() + t.size(), v);
    return r.ec == std::errc() && r.ptr == t.data() + t.size() && std::isfinite(v);
}

bool parse_int(const std::string& s, int64_t& v) {
    const std::string t = trim(s);
    if (t.empty()) return false;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    return r.ec == std::errc() && r.ptr == t.data() + t.size();
}

// Running figures of the samples: checksum words, power and peak in codes.
struct Figures {
    uint32_t checksum = kWvChecksumSeed;
    double sum2 = 0, peak2 = 0;
    int64_t count = 0;

    void add(int16_t i, int16_t q) {
        checksum ^= static_cast<uint32_t>(static_cast<uint16_t>(i)) |
                    (static_cast<uint32_t>(static_cast<uint16_t>(q)) << 16);
        const double p = static_cast<double>(i) * i + static_cast<double>(q) * q;
        sum2 += p;
        peak2 = std::max(peak2, p);
        ++count;
    }
    void into(InstrumentFileInfo& info) const {
        info.computed_checksum = checksum;
        const double rms = count > 0 ? std::sqrt(sum2 / static_cast<double>(count)) : 0.0;
        info.measured_rms_offset_db = -20.0 * std::log10(rms / kCodeFullScale);
        info.measured_peak_offset_db = -20.0 * std::log10(std::sqrt(peak2) / kCodeFullScale);
    }
};

// Streams count I/Q pairs of 4 bytes each (little- or big-endian) to sink.
void stream_pairs(Bytes& b, int64_t count, bool big_endian, Figures& fig, SampleSink& sink, const char* what) {
    std::vector<char> raw(kBlockSamples * 4);
    std::vector<std::complex<double>> x(kBlockSamples);
    for (int64_t done = 0; done < count;) {
        const size_t n = static_cast<size_t>(std::min<int64_t>(count - done, kBlockSamples));
        const int64_t at = b.offset;
        const size_t got = b.read(raw.data(), n * 4);
        if (got != n * 4) fail(at + static_cast<int64_t>(got), std::string(what) + " ends early");
        const unsigned char* p = reinterpret_cast<const unsigned char*>(raw.data());
        for (size_t k = 0; k < n; ++k, p += 4) {
            const uint16_t ui = big_endian ? (p[0] << 8 | p[1]) : (p[1] << 8 | p[0]);
            const uint16_t uq = big_endian ? (p[2] << 8 | p[3]) : (p[3] << 8 | p[2]);
            const int16_t i = static_cast<int16_t>(ui), q = static_cast<int16_t>(uq);
            fig.add(i, q);
            x[k] = {i / kCodeFullScale, q / kCodeFullScale};
        }
        sink.block(x.data(), n, nullptr, nullptr);
        done += static_cast<int64_t>(n);
    }
}

// A MARKER LIST's text ("pos:state;...") as high spans over count samples.
std::vector<MarkerSpan> marker_spans(const std::string& text, int64_t count, int64_t offset) {
    std::vector<MarkerSpan> spans;
    int64_t last = -1;
    int64_t high_from = -1;
    size_t at = 0;
    const std::string t = trim(text);
    while (at <= t.size() && !t.empty()) {
        const size_t semi = std::min(t.find(';', at), t.size());
        const std::string entry = t.substr(at, semi - at);
        const size_t colon = entry.find(':');
        int64_t pos = 0, state = 0;
        if (colon == std::string::npos || !parse_int(entry.substr(0, colon), pos) ||
            !parse_int(entry.substr(colon + 1), state) || (state != 0 && state != 1))
            fail(offset, "marker list entry \"" + entry + "\" is not position:0 or position:1");
        if (pos <= last || pos >= count)
            fail(offset, "marker list position " + std::to_string(pos) + " is out of order or beyond the " +
                             std::to_string(count) + " samples");
        last = pos;
        if (state == 1 && high_from < 0) high_from = pos;
        if (state == 0 && high_from >= 0) {
            spans.push_back({high_from, pos - high_from});
            high_from = -1;
        }
        at = semi + 1;
        if (at == t.size()) break;  // a closing ';'
    }
    if (high_from >= 0) spans.push_back({high_from, count - high_from});
    return spans;
}

// One text tag's name and value as read, with where its value starts.
struct Tag {
    std::string name, value;
    int64_t offset = 0;
};

// Reads a tag name up to ':' after '{'; the binary length when the name ends in -<digits>.
std::string tag_name(Bytes& b, std::optional<int64_t>& length) {
    const int64_t start = b.offset;
    std::string name;
    for (;;) {
        const int c = b.get();
        if (c == std::char_traits<char>::eof()) fail(b.offset, "truncated tag (no ':')");
        if (c == ':') break;
        if (c == '{' || c == '}' || name.size() >= kMaxTagName) fail(b.offset - 1, "malformed tag name");
        name += static_cast<char>(c);
    }
    length.reset();
    const size_t dash = name.rfind('-');
    if (dash != std::string::npos && dash + 1 < name.size() &&
        std::all_of(name.begin() + static_cast<std::ptrdiff_t>(dash) + 1, name.end(),
                    [](char c) { return c >= '0' && c <= '9'; })) {
        int64_t len = 0;
        if (!parse_int(name.substr(dash + 1), len) || len < 1) fail(start, "bad length in tag " + name);
        length = len;
        name.resize(dash);
    }
    return name;
}

std::string tag_text(Bytes& b) {
    std::string v;
    for (;;) {
        const int c = b.get();
        if (c == std::char_traits<char>::eof()) fail(b.offset, "truncated tag (no '}')");
        if (c == '}') return v;
        if (v.size() >= kMaxTagText) fail(b.offset, "tag text too long");
        v += static_cast<char>(c);
    }
}

void expect_close(Bytes& b, const std::string& name) {
    const int64_t at = b.offset;
    const int c = b.get();
    if (c != '}') fail(at, c == std::char_traits<char>::eof() ? "truncated " + name + " tag" : name + " tag's length does not end at '}'");
}

// Skips a binary tag that is not WAVEFORM.
void skip_bytes(Bytes& b, int64_t n, const std::string& name) {
    char buf[4096];
    while (n > 0) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(n, sizeof buf));
        const size_t got = b.read(buf, want);
        if (got != want) fail(b.offset, "truncated " + name + " tag");
        n -= static_cast<int64_t>(got);
    }
    expect_close(b, name);
}

// The WAVEFORM tag's data after its ':'.
void read_waveform(Bytes& b, int64_t length, Figures& fig, SampleSink& sink, int64_t tag_offset) {
    if ((length - 1) % 4 != 0) fail(tag_offset, "WAVEFORM length " + std::to_string(length) + " is not 4N+1");
    const int64_t at = b.offset;
    const int c = b.get();
    if (c != '#') fail(at, "WAVEFORM data does not start with '#'");
    stream_pairs(b, (length - 1) / 4, false, fig, sink, "WAVEFORM data");
    expect_close(b, "WAVEFORM");
}

// The figures of the text tags, checked against the samples.
void finish_wv(const std::vector<Tag>& tags, const Figures& fig, bool have_waveform, InstrumentFileInfo& info) {
    if (!have_waveform) fail(0, "no WAVEFORM tag");
    info.samples = fig.count;
    fig.into(info);
    bool have_clock = false;
    for (const Tag& t : tags) {
        if (t.name == "CLOCK") {
            if (!parse_double(t.value, info.sample_rate_hz) || !(info.sample_rate_hz > 0))
                fail(t.offset, "CLOCK is not a positive number");
            have_clock = true;
        } else if (t.name == "SAMPLES") {
            int64_t n = 0;
            if (!parse_int(t.value, n) || n != fig.count)
                fail(t.offset, "SAMPLES \"" + trim(t.value) + "\" disagrees with the WAVEFORM's " +
                                   std::to_string(fig.count) + " samples");
        } else if (t.name == "LEVEL OFFS") {
            const size_t comma = t.value.find(',');
            double rms = 0, peak = 0;
            if (comma == std::string::npos || !parse_double(t.value.substr(0, comma), rms) ||
                !parse_double(t.value.substr(comma + 1), peak))
                fail(t.offset, "LEVEL OFFS is not rms,peak");
            info.rms_offset_db = rms;
            info.peak_offset_db = peak;
        } else if (t.name == "MARKER LIST 1" || t.name == "MARKER LIST 2") {
            info.has_markers = true;
            (t.name.back() == '1' ? info.marker1 : info.marker2) = marker_spans(t.value, fig.count, t.offset);
        } else if (t.name == "COMMENT") {
            info.comment = trim(t.value);
        } else if (t.name == "DATE") {
            info.date = trim(t.value);
        }
    }
    if (!have_clock) fail(0, "no CLOCK tag: the sample rate is unknown");
}

}  // namespace

bool level_offsets_agree(const InstrumentFileInfo& info) {
    if (!info.rms_offset_db || !info.peak_offset_db) return true;
    return std::fabs(*info.rms_offset_db - info.measured_rms_offset_db) <= kLevelOffsetTolerance &&
           std::fabs(*info.peak_offset_db - info.measured_peak_offset_db) <= kLevelOffsetTolerance;
}

InstrumentFileInfo read_wv(std::istream& in, SampleSink& sink) {
    InstrumentFileInfo info;
    Bytes b{in};
    Figures fig;
    std::vector<Tag> tags;
    bool have_waveform = false;
    int64_t checksum_offset = 0;
    for (bool first = true;; first = false) {
        int c = b.get();
        while (c == ' ' || c == '\r' || c == '\n' || c == '\t') c = b.get();
        if (c == std::char_traits<char>::eof()) {
            if (first) fail(0, "empty file");
            break;
        }
        const int64_t tag_offset = b.offset - 1;
        if (c != '{') fail(tag_offset, "expected '{' of a tag");
        std::optional<int64_t> length;
        const std::string name = tag_name(b, length);
        if (first && (name != "TYPE" || length)) fail(tag_offset, "the file does not start with a TYPE tag");
        if (length) {
            if (name != "WAVEFORM") {
                skip_bytes(b, *length, name);
                continue;
            }
            if (have_waveform) fail(tag_offset, "a second WAVEFORM tag");
            read_waveform(b, *length, fig, sink, tag_offset);
            have_waveform = true;
            continue;
        }
        const int64_t value_offset = b.offset;
        Tag t{name, tag_text(b), value_offset};
        if (first) {
            const size_t comma = t.value.find(',');
            if (trim(t.value.substr(0, comma)) != "SMU-WV")
                fail(value_offset, "TYPE is not SMU-WV (a single-segment waveform)");
            int64_t sum = 0;
            if (comma != std::string::npos && parse_int(t.value.substr(comma + 1), sum) && sum > 0 &&
                sum <= 0xFFFFFFFFll)
                info.stated_checksum = static_cast<uint32_t>(sum);
            checksum_offset = value_offset + static_cast<int64_t>(comma == std::string::npos ? 0 : comma + 1);
        }
        tags.push_back(std::move(t));
    }
    finish_wv(tags, fig, have_waveform, info);
    if (info.stated_checksum && *info.stated_checksum != info.computed_checksum)
        fail(checksum_offset, "checksum " + std::to_string(*info.stated_checksum) + " does not match the data's " +
                                  std::to_string(info.computed_checksum));
    return info;
}

InstrumentFileInfo read_keysight(std::istream& data, std::istream* markers, double sample_rate_hz,
                                 SampleSink& sink) {
    if (!(sample_rate_hz >= 0) || !std::isfinite(sample_rate_hz))
        throw ReadError("a Keysight binary's sample rate must be positive (or 0: not known)");
    InstrumentFileInfo info;
    info.sample_rate_hz = sample_rate_hz;
    Bytes b{data};
    Figures fig;
    std::vector<char> raw(kBlockSamples * 4);
    std::vector<std::complex<double>> x(kBlockSamples);
    for (;;) {
        const int64_t at = b.offset;
        const size_t got = b.read(raw.data(), raw.size());
        if (got % 4 != 0)
            fail(at + static_cast<int64_t>(got / 4 * 4),
                 "the file ends inside an I/Q pair (" + std::to_string(at + static_cast<int64_t>(got)) +
                     " bytes, not a multiple of 4)");
        const unsigned char* p = reinterpret_cast<const unsigned char*>(raw.data());
        const size_t n = got / 4;
        for (size_t k = 0; k < n; ++k, p += 4) {
            const int16_t i = static_cast<int16_t>(static_cast<uint16_t>(p[0] << 8 | p[1]));
            const int16_t q = static_cast<int16_t>(static_cast<uint16_t>(p[2] << 8 | p[3]));
            fig.add(i, q);
            x[k] = {i / kCodeFullScale, q / kCodeFullScale};
        }
        if (n > 0) sink.block(x.data(), n, nullptr, nullptr);
        if (got < raw.size()) break;
    }
    if (fig.count == 0) fail(0, "no samples");
    info.samples = fig.count;
    fig.into(info);
    if (!markers) return info;
    info.has_markers = true;
    Bytes m{*markers};
    int64_t from[2] = {-1, -1};
    std::vector<MarkerSpan>* lists[2] = {&info.marker1, &info.marker2};
    for (;;) {
        const int64_t at = m.offset;
        const size_t got = m.read(raw.data(), raw.size());
        if (at + static_cast<int64_t>(got) > fig.count)
            fail(fig.count, "the marker file is longer than the " + std::to_string(fig.count) + " samples");
        for (size_t k = 0; k < got; ++k)
            for (int bit = 0; bit < 2; ++bit) {
                const bool high = (static_cast<unsigned char>(raw[k]) >> bit) & 1;
                const int64_t pos = at + static_cast<int64_t>(k);
                if (high && from[bit] < 0) from[bit] = pos;
                if (!high && from[bit] >= 0) {
                    lists[bit]->push_back({from[bit], pos - from[bit]});
                    from[bit] = -1;
                }
            }
        if (got < raw.size()) {
            if (m.offset != fig.count)
                fail(m.offset, "the marker file ends after " + std::to_string(m.offset) + " of " +
                                   std::to_string(fig.count) + " samples");
            break;
        }
    }
    for (int bit = 0; bit < 2; ++bit)
        if (from[bit] >= 0) lists[bit]->push_back({from[bit], fig.count - from[bit]});
    return info;
}

}  // namespace orv::analysis
