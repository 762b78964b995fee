// The fuzz targets' scratch folder: one per process, removed with its
// contents when the fuzzer exits (libFuzzer ends a bounded run with exit()).
#pragma once
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace orv_fuzz {

inline std::string& scratch_folder_path() {
    static std::string dir;
    return dir;
}

inline void remove_scratch_folder() {
    std::error_code ec;
    std::filesystem::remove_all(scratch_folder_path(), ec);
}

// The folder /tmp/orv_fuzz_<tag>_XXXXXX, made on the first call; aborts when it cannot be made.
inline const std::string& scratch_folder(const char* tag) {
    static const std::string dir = [tag] {
        std::string name = std::string("/tmp/orv_fuzz_") + tag + "_XXXXXX";
        if (mkdtemp(name.data()) == nullptr) std::abort();
        scratch_folder_path() = name;
        std::atexit(remove_scratch_folder);
        return name;
    }();
    return dir;
}

}  // namespace orv_fuzz
