// Records and file helpers shared by the library tests.
#pragma once
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "orvasynth.h"

// The reference record that validation accepts: 6 Mbit/s, 100 symbols, PN9,
// seed FFFF, oversampling 4, no window, no filter, all impairments off.
inline WaveParams valid_record() {
    WaveParams p{};
    p.frame_format = 0;
    p.burst_enable = 0;
    p.rate_index = 0;
    p.ofdm_symbols = 100;
    p.data_pattern = 0;
    p.pn_seed = 0xFFFF;
    p.oversampling = 4;
    p.window_tr = 0.0;
    p.filter_cutoff = 0.0;
    p.filter_rolloff = 0.5;
    p.filter_taps = 191;
    return p;
}

// A fresh empty directory under the system's temporary directory, removed on destruction.
struct TempDir {
    std::filesystem::path path;
    explicit TempDir(const std::string& tag) {
        path = std::filesystem::temp_directory_path() /
               ("orv_test_" + tag + "_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "_" + std::to_string(reinterpret_cast<uintptr_t>(this)));
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
