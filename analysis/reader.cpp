#include "reader.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

namespace orv::analysis {

namespace {

constexpr size_t kBlockSamples = 65536;  // samples handed to the sink at a time
constexpr size_t kMaxHeaderBytes = 65536;
constexpr size_t kMaxTagValue = 4096;
constexpr size_t kMaxCsvLine = 256;

// Buffered byte input that counts the offset of the next byte.
class ByteInput {
public:
    explicit ByteInput(std::istream& in) : in_(in), buf_(1 << 16) {}
    // Next byte, or -1 at the end.
    int get() {
        if (pos_ == len_ && !fill()) return -1;
        ++offset_;
        return static_cast<unsigned char>(buf_[pos_++]);
    }
    int peek() {
        if (pos_ == len_ && !fill()) return -1;
        return static_cast<unsigned char>(buf_[pos_]);
    }
    // Copies up to n bytes to dst; returns how many were there.
    size_t read(char* dst, size_t n) {
        size_t done = 0;
        while (done < n) {
            if (pos_ == len_ && !fill()) break;
            const size_t take = std::min(n - done, len_ - pos_);
            std::memcpy(dst + done, buf_.data() + pos_, take);
            pos_ += take;
            done += take;
        }
        offset_ += static_cast<int64_t>(done);
        return done;
    }
    int64_t offset() const { return offset_; }

private:
    bool fill() {
        if (in_.bad() || in_.eof()) return false;
        in_.read(buf_.data(), static_cast<std::streamsize>(buf_.size()));
        len_ = static_cast<size_t>(in_.gcount());
        pos_ = 0;
        return len_ > 0;
    }
    std::istream& in_;
    std::vector<char> buf_;
    size_t pos_ = 0, len_ = 0;
    int64_t offset_ = 0;
};

[[noreturn]] void fail_at(int64_t offset, const std::string& what) {
    throw ReadError("byte offset " + std::to_string(offset) + ": " + what);
}

[[noreturn]] void fail_line(int64_t line, const std::string& what) {
    throw ReadError("line " + std::to_string(line) + ": " + what);
}

// Parses a whole text as one finite double, locale-independently ("+" allowed).
bool parse_double(std::string_view s, double& v) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty() || s.front() == '+') return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() && std::isfinite(v);
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (out.size() > 40) return out + "...";
        if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
        else {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02X", c);
            out += b;
        }
    }
    return out;
}

// Collects samples into blocks for the sink.
class BlockBuffer {
public:
    explicit BlockBuffer(SampleSink& sink, bool codes) : sink_(sink), codes_(codes) { grow(); }
    void push(std::complex<double> v) {
        x_[n_++] = v;
        if (n_ == kBlockSamples) flush();
        else if (n_ == x_.size()) grow();
    }
    void push_codes(uint16_t i, uint16_t q) {
        static const std::vector<double> value = [] {
            std::vector<double> v(kAwgCodeMax + 1);
            for (uint32_t c = 0; c <= kAwgCodeMax; ++c) v[c] = awg_code_value(c);
            return v;
        }();
        ci_[n_] = i;
        cq_[n_] = q;
        push({value[i], value[q]});
    }
    void flush() {
        if (n_ == 0) return;
        sink_.block(x_.data(), n_, codes_ ? ci_.data() : nullptr, codes_ ? cq_.data() : nullptr);
        total_ += static_cast<int64_t>(n_);
        n_ = 0;
    }
    int64_t total() const { return total_; }

private:
    // Buffers grow to a block as samples come, so a short input costs little.
    void grow() {
        const size_t size = std::min(kBlockSamples, std::max<size_t>(4096, 2 * x_.size()));
        x_.resize(size);
        if (codes_) {
            ci_.resize(size);
            cq_.resize(size);
        }
    }
    SampleSink& sink_;
    bool codes_;
    std::vector<std::complex<double>> x_;
    std::vector<uint16_t> ci_, cq_;
    size_t n_ = 0;
    int64_t total_ = 0;
};

}  // namespace

namespace {

// The three numbers of a PAPR item (PAPR; crest I; crest Q, dB) into info.
void parse_papr(const std::string& value, int64_t value_at, WaveformInfo& info) {
    double v[3];
    std::string_view rest(value);
    int n = 0;
    for (; n < 3; ++n) {
        const size_t semi = rest.find(';');
        std::string_view part = trim(rest.substr(0, semi));
        if (!parse_double(part, v[n])) break;
        if (semi == std::string_view::npos) {
            ++n;
            break;
        }
        rest.remove_prefix(semi + 1);
    }
    if (n != 3) fail_at(value_at, "PAPR \"" + printable(value) + "\" is not three numbers");
    info.header_papr_db = v[0];
    info.header_crest_i_db = v[1];
    info.header_crest_q_db = v[2];
}

// The AWG header: {TAG:value} items up to "{WAVEDATA:count;"; the sampling rate and PAPR
// items into info. Returns the count (bytes of the sample block).
int64_t read_awg_header(ByteInput& in, WaveformInfo& info) {
    bool have_rate = false;
    int64_t count = -1;
    while (count < 0) {
        if (in.offset() > static_cast<int64_t>(kMaxHeaderBytes))
            fail_at(in.offset(), "no {WAVEDATA: item within the first 64 KiB");
        const int64_t item_at = in.offset();
        const int c = in.get();
        if (c < 0) fail_at(item_at, "the file ends in the header, before the {WAVEDATA: item");
        if (c != '{') fail_at(item_at, "expected '{' to open a header item, found " + printable(std::string(1, static_cast<char>(c))));
        std::string tag;
        int t;
        while ((t = in.get()) >= 0 && t != ':') {
            if (!((t >= 'A' && t <= 'Z') || (t >= '0' && t <= '9') || t == '_') || tag.size() > 32)
                fail_at(in.offset() - 1, "bad header tag name \"" + printable(tag + static_cast<char>(t)) + "\"");
            tag += static_cast<char>(t);
        }
        if (t < 0) fail_at(in.offset(), "the file ends inside the header item {" + tag);
        if (tag == "WAVEDATA") {
            const int64_t digits_at = in.offset();
            std::string digits;
            while ((t = in.get()) >= 0 && t != ';') {
                if (t < '0' || t > '9' || digits.size() >= 18) fail_at(in.offset() - 1, "the WAVEDATA count is not a decimal number");
                digits += static_cast<char>(t);
            }
            if (t < 0 || digits.empty()) fail_at(digits_at, "the WAVEDATA count is missing or not ended by ';'");
            count = std::stoll(digits);
            break;
        }
        const int64_t value_at = in.offset();
        std::string value;
        while ((t = in.get()) >= 0 && t != '}') {
            if (t == '{' || value.size() > kMaxTagValue) fail_at(in.offset() - 1, "header item {" + tag + ": is not closed by '}'");
            value += static_cast<char>(t);
        }
        if (t < 0) fail_at(in.offset(), "the file ends inside the header item {" + tag + ":");
        if (tag == "SAMPLINGFREQ") {
            double fs = 0;
            if (!parse_double(trim(value), fs) || !(fs > 0.0) || fs > 1e12)
                fail_at(value_at, "SAMPLINGFREQ \"" + printable(value) + "\" is not a positive number");
            info.sample_rate_hz = fs;
            have_rate = true;
        } else if (tag == "PAPR") {
            parse_papr(value, value_at, info);
        }
    }
    if (!have_rate) fail_at(in.offset(), "the header has no SAMPLINGFREQ item before WAVEDATA");
    return count;
}

// The sample block of count bytes from block_at (per sample the I code and the Q code,
// 32-bit little-endian) and its closing '}', into the sink; returns the samples.
int64_t read_awg_samples(ByteInput& in, int64_t count, int64_t block_at, SampleSink& sink) {
    BlockBuffer out(sink, true);
    std::vector<unsigned char> raw(kBlockSamples * 8);
    int64_t left = count / 8;
    while (left > 0) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(left, kBlockSamples));
        const int64_t at = in.offset();
        const size_t got = in.read(reinterpret_cast<char*>(raw.data()), want * 8);
        if (got < want * 8)
            fail_at(at + static_cast<int64_t>(got),
                    "the file is truncated: WAVEDATA announces " + std::to_string(count) + " bytes from offset " +
                        std::to_string(block_at) + ", only " + std::to_string(at + static_cast<int64_t>(got) - block_at) +
                        " are present");
        for (size_t s = 0; s < want; ++s) {
            const unsigned char* p = raw.data() + 8 * s;
            const uint32_t ci = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
            const uint32_t cq = p[4] | (p[5] << 8) | (p[6] << 16) | (static_cast<uint32_t>(p[7]) << 24);
            if (ci > kAwgCodeMax || cq > kAwgCodeMax) {
                char b[96];
                std::snprintf(b, sizeof b, "sample code 0x%08X is outside 0..16383", ci > kAwgCodeMax ? ci : cq);
                fail_at(at + static_cast<int64_t>(8 * s) + (ci > kAwgCodeMax ? 0 : 4), b);
            }
            out.push_codes(static_cast<uint16_t>(ci), static_cast<uint16_t>(cq));
        }
        left -= static_cast<int64_t>(want);
    }
    const int64_t close_at = in.offset();
    const int close = in.get();
    if (close != '}') {
        if (close < 0) fail_at(close_at, "the closing '}' of WAVEDATA is missing (file truncated?)");
        fail_at(close_at, "the WAVEDATA count " + std::to_string(count) +
                              " does not match the sample block: no closing '}' after it");
    }
    if (in.peek() >= 0) fail_at(in.offset(), "unexpected bytes after the closing '}' of WAVEDATA (wrong WAVEDATA count?)");
    out.flush();
    return out.total();
}

}  // namespace

WaveformInfo read_awg(std::istream& stream, SampleSink& sink) {
    ByteInput in(stream);
    WaveformInfo info;
    info.format = FileFormat::Awg;
    if (in.peek() < 0) throw ReadError("the file is empty");
    const int64_t count = read_awg_header(in, info);
    const int64_t block_at = in.offset();
    if (count % 8 != 0)
        fail_at(block_at, "the WAVEDATA count " + std::to_string(count) + " is not a multiple of 8 (one I and one Q word a sample)");
    info.wavedata_bytes = count;
    info.samples = read_awg_samples(in, count, block_at, sink);
    return info;
}

WaveformInfo read_csv(std::istream& stream, SampleSink& sink) {
    ByteInput in(stream);
    WaveformInfo info;
    info.format = FileFormat::Csv;
    if (in.peek() < 0) throw ReadError("the file is empty");
    BlockBuffer out(sink, false);
    int64_t line = 0;
    int64_t empty_line = 0;  // first empty line seen, 0 if none
    std::string text;
    for (;;) {
        text.clear();
        int c;
        bool any = false;
        while ((c = in.get()) >= 0 && c != '\n') {
            any = true;
            if (text.size() >= kMaxCsvLine) fail_line(line + 1, "the line is longer than " + std::to_string(kMaxCsvLine) + " characters");
            text += static_cast<char>(c);
        }
        if (c < 0 && !any) break;
        ++line;
        if (!text.empty() && text.back() == '\r') text.pop_back();
        std::string_view s = trim(text);
        if (s.empty()) {
            if (empty_line == 0) empty_line = line;
            continue;
        }
        if (empty_line != 0) fail_line(empty_line, "empty line inside the samples");
        size_t sep = s.find(',');
        if (sep == std::string_view::npos) sep = s.find(';');
        if (sep == std::string_view::npos) sep = s.find_first_of(" \t");
        double vi = 0, vq = 0;
        if (sep == std::string_view::npos || !parse_double(trim(s.substr(0, sep)), vi) ||
            !parse_double(trim(s.substr(sep + 1)), vq))
            fail_line(line, "\"" + printable(std::string(s)) + "\" is not two numbers (I,Q)");
        out.push({vi, vq});
        if (c < 0) break;
    }
    out.flush();
    info.samples = out.total();
    if (info.samples == 0) throw ReadError("the file holds no samples");
    return info;
}

namespace {

std::string lower_text(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A SigMF sample type: complex, float or integer (signed or not), its width and byte order.
struct SampleFormat {
    char kind = 'f';  // 'f', 'i' or 'u'
    int bytes = 4;    // per component
    bool big_endian = false;
};

// Parses a complex core:datatype ("cf32_le", "ci16_le", "cu8", ...); throws ReadError otherwise.
SampleFormat parse_datatype(const std::string& meta, const std::string& t) {
    static const std::regex form("^(c|r)(f32|f64|i32|i16|i8|u32|u16|u8)(_le|_be)?$");
    std::smatch m;
    if (!std::regex_match(t, m, form)) throw ReadError(meta + ": core:datatype \"" + printable(t) + "\" is not a SigMF datatype");
    if (m[1] == "r") throw ReadError(meta + ": core:datatype " + t + " holds real samples; an 802.11a burst needs complex I/Q");
    SampleFormat f;
    const std::string w = m[2];
    f.kind = w[0];
    f.bytes = std::stoi(w.substr(1)) / 8;
    if (f.bytes > 1 && !m[3].matched) throw ReadError(meta + ": core:datatype " + t + " has no byte order (_le or _be)");
    f.big_endian = m[3] == "_be";
    return f;
}

// One component at p as a double; integers scaled to -1..+1.
double component(const unsigned char* p, const SampleFormat& f) {
    uint64_t u = 0;
    for (int k = 0; k < f.bytes; ++k) u |= static_cast<uint64_t>(p[f.big_endian ? f.bytes - 1 - k : k]) << (8 * k);
    const int bits = 8 * f.bytes;
    if (f.kind == 'f') {
        if (f.bytes == 4) {
            const uint32_t v = static_cast<uint32_t>(u);
            float x;
            std::memcpy(&x, &v, 4);
            return x;
        }
        double x;
        std::memcpy(&x, &u, 8);
        return x;
    }
    const double half = std::ldexp(1.0, bits - 1);
    if (f.kind == 'u') return (static_cast<double>(u) - half) / half;
    const int64_t v = static_cast<int64_t>(u << (64 - bits)) >> (64 - bits);  // sign-extended
    return static_cast<double>(v) / half;
}

}  // namespace

bool is_sigmf_name(const std::string& path) {
    const std::string l = lower_text(path);
    return l.ends_with(".sigmf-meta") || l.ends_with(".sigmf-data");
}

WaveformInfo read_sigmf(const std::string& path, SampleSink& sink) {
    const std::string base = path.substr(0, path.size() - std::strlen(".sigmf-meta"));
    const std::string meta = base + ".sigmf-meta";
    std::ifstream m(meta, std::ios::binary);
    if (!m) throw ReadError("cannot open the metadata file " + meta);
    const nlohmann::json j = nlohmann::json::parse(m, nullptr, false);
    if (j.is_discarded() || !j.is_object()) throw ReadError(meta + ": not a JSON object");
    const auto g = j.find("global");
    if (g == j.end() || !g->is_object()) throw ReadError(meta + ": no \"global\" object");
    const auto dt = g->find("core:datatype");
    if (dt == g->end() || !dt->is_string()) throw ReadError(meta + ": no core:datatype");
    WaveformInfo info;
    info.format = FileFormat::Sigmf;
    info.datatype = dt->get<std::string>();
    const SampleFormat f = parse_datatype(meta, info.datatype);
    if (const auto sr = g->find("core:sample_rate"); sr != g->end()) {
        if (!sr->is_number() || !(sr->get<double>() > 0) || !std::isfinite(sr->get<double>()))
            throw ReadError(meta + ": core:sample_rate is not a positive number");
        info.sample_rate_hz = sr->get<double>();
    }
    if (const auto nc = g->find("core:num_channels"); nc != g->end() && !(nc->is_number_integer() && nc->get<int64_t>() == 1))
        throw ReadError(meta + ": core:num_channels is not 1; give one channel's recording");
    if (const auto caps = j.find("captures"); caps != j.end() && caps->is_array())
        for (const auto& c : *caps)
            if (c.is_object() && c.contains("core:header_bytes"))
                throw ReadError(meta + ": captures with core:header_bytes (a non-conforming dataset) are not read");
    if (const auto an = j.find("annotations"); an != j.end() && an->is_array()) {
        for (const auto& a : *an) {
            if (!a.is_object()) continue;
            const auto st = a.find("core:sample_start");
            if (st == a.end() || !st->is_number_integer()) throw ReadError(meta + ": an annotation without core:sample_start");
            Annotation x;
            x.start = st->get<int64_t>();
            if (const auto n = a.find("core:sample_count"); n != a.end() && n->is_number_integer()) x.count = n->get<int64_t>();
            if (const auto l = a.find("core:label"); l != a.end() && l->is_string()) x.label = l->get<std::string>();
            info.annotations.push_back(std::move(x));
        }
    }

    std::string data = base + ".sigmf-data";
    if (const auto ds = g->find("core:dataset"); ds != g->end() && ds->is_string()) {
        const size_t slash = base.find_last_of("/\\");
        data = (slash == std::string::npos ? std::string() : base.substr(0, slash + 1)) + ds->get<std::string>();
    }
    // A device or FIFO named as the dataset (/dev/zero) would be read forever.
    std::error_code ec;
    const auto kind = std::filesystem::status(data, ec).type();
    if (!ec && kind != std::filesystem::file_type::regular)
        throw ReadError("the data file " + data + " is not a regular file");
    std::ifstream in(data, std::ios::binary);
    if (!in) throw ReadError("cannot open the data file " + data);
    const size_t sample_bytes = 2 * static_cast<size_t>(f.bytes);
    std::vector<unsigned char> raw(kBlockSamples * sample_bytes);
    std::vector<std::complex<double>> x(kBlockSamples);
    int64_t offset = 0;
    for (;;) {
        in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
        const size_t got = static_cast<size_t>(in.gcount());
        if (got == 0) break;
        const size_t n = got / sample_bytes;
        for (size_t k = 0; k < n; ++k) {
            x[k] = {component(&raw[k * sample_bytes], f), component(&raw[k * sample_bytes + f.bytes], f)};
            if (!std::isfinite(x[k].real()) || !std::isfinite(x[k].imag()))
                fail_at(offset + static_cast<int64_t>(k * sample_bytes), data + ": a sample that is not a finite number");
        }
        if (n > 0) sink.block(x.data(), n, nullptr, nullptr);
        info.samples += static_cast<int64_t>(n);
        offset += static_cast<int64_t>(got);
        if (got % sample_bytes != 0) fail_at(offset - static_cast<int64_t>(got % sample_bytes), data + ": the file ends inside a sample");
        if (!in) break;
    }
    if (in.bad()) throw ReadError("cannot read the data file " + data);
    if (info.samples == 0) throw ReadError("the file holds no samples");
    return info;
}

RecordingDescription describe_sigmf(const std::string& path) {
    RecordingDescription d;
    if (!is_sigmf_name(path)) return d;
    std::ifstream m(path.substr(0, path.size() - std::strlen(".sigmf-meta")) + ".sigmf-meta", std::ios::binary);
    const nlohmann::json j = nlohmann::json::parse(m, nullptr, false);
    if (!m || j.is_discarded() || !j.is_object() || !j.contains("global") || !j["global"].is_object()) return d;
    const nlohmann::json& g = j["global"];
    // An integer field of the orvane namespace within [lo, hi].
    auto field = [&g](const char* name, int lo, int hi) -> std::optional<int> {
        const auto it = g.find(std::string("orvane:") + name);
        if (it == g.end() || !it->is_number_integer()) return std::nullopt;
        const int64_t v = it->get<int64_t>();
        return v >= lo && v <= hi ? std::optional<int>(static_cast<int>(v)) : std::nullopt;
    };
    static const int kMbps[8] = {6, 9, 12, 18, 24, 36, 48, 54};
    if (const auto f = field("frame_format", 0, 1)) d.free_format = *f == 1;
    if (const auto r = field("rate_index", 0, 7)) d.rate_mbps = kMbps[*r];
    d.symbols = field("ofdm_symbols", 1, 100000);
    d.oversample = field("oversampling", 1, 64);
    d.has_sample_rate = g.contains("core:sample_rate");
    return d;
}

WaveformInfo read_waveform(std::istream& in, SampleSink& sink) {
    const int first = in.peek();
    if (first == std::char_traits<char>::eof()) throw ReadError("the file is empty");
    if (first == '{') return read_awg(in, sink);
    return read_csv(in, sink);
}

}  // namespace orv::analysis
