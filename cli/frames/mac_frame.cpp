// MAC data frames, their FCS, and PSDUs given as hex or as a file.
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sys/stat.h>

#include "frames.h"

namespace frames {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void put_address(const MacAddress& a, uint8_t* out) { std::memcpy(out, a.data(), a.size()); }

}  // namespace

std::optional<MacAddress> parse_mac_address(std::string_view text) {
    if (text.size() != 17) return std::nullopt;
    MacAddress a{};
    for (size_t k = 0; k < 6; ++k) {
        const int hi = hex_value(text[3 * k]), lo = hex_value(text[3 * k + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        if (k < 5 && text[3 * k + 2] != ':' && text[3 * k + 2] != '-') return std::nullopt;
        a[k] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return a;
}

uint32_t fcs32(const uint8_t* data, size_t count) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (count > 0) {  // zlib takes at most a uInt per call
        const uInt n = count > 0x40000000u ? 0x40000000u : static_cast<uInt>(count);
        crc = crc32(crc, data, n);
        data += n;
        count -= n;
    }
    return static_cast<uint32_t>(crc);
}

void write_data_header(const MacHeader& header, uint16_t seq, uint8_t* out) {
    out[0] = 0x08;  // protocol version 0, type Data, subtype Data
    out[1] = 0x00;  // no flags
    out[2] = static_cast<uint8_t>(header.duration & 0xff);
    out[3] = static_cast<uint8_t>(header.duration >> 8);
    put_address(header.addr1, out + 4);
    put_address(header.addr2, out + 10);
    put_address(header.addr3, out + 16);
    const uint16_t control = static_cast<uint16_t>((seq & 0x0fff) << 4);  // fragment 0
    out[22] = static_cast<uint8_t>(control & 0xff);
    out[23] = static_cast<uint8_t>(control >> 8);
}

void append_fcs(uint8_t* frame, size_t count) {
    const uint32_t fcs = fcs32(frame, count);
    for (int k = 0; k < 4; ++k) frame[count + k] = static_cast<uint8_t>(fcs >> (8 * k));
}

bool parse_hex(std::string_view text, std::vector<uint8_t>& out, std::string& error) {
    out.clear();
    int high = -1;
    for (size_t k = 0; k < text.size(); ++k) {
        const char c = text[k];
        if (c == ' ' || c == ':' || c == '-' || c == '\t') {
            if (high >= 0) {
                error = "a separator splits an octet at character " + std::to_string(k + 1);
                return false;
            }
            continue;
        }
        const int v = hex_value(c);
        if (v < 0) {
            error = "character " + std::to_string(k + 1) + " is not a hex digit";
            return false;
        }
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0) {
        error = "an odd number of hex digits";
        return false;
    }
    return true;
}

bool regular_file_size(const std::string& path, uint64_t& size, std::string& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + " is not a regular file";
        return false;
    }
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool read_small_file(const std::string& path, size_t max_octets, std::vector<uint8_t>& out,
                     std::string& error) {
    uint64_t size = 0;
    if (!regular_file_size(path, size, error)) return false;
    if (size > max_octets) {
        error = path + " has " + std::to_string(size) + " octets, at most " + std::to_string(max_octets);
        return false;
    }
    out.assign(static_cast<size_t>(size), 0);
    if (out.empty()) return true;  // not opened: some kernel files of size 0 block when read
    std::ifstream in(path, std::ios::binary);
    if (!in || !in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size())) ||
        in.peek() != std::char_traits<char>::eof()) {
        error = "cannot read " + path + " (or it changed while read)";
        return false;
    }
    return true;
}

}  // namespace frames
