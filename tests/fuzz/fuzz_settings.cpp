// libFuzzer target: the settings reader over arbitrary file bytes. Whatever
// the file holds, start-up must end with every choice list and option group
// within its control's range, and the parameter mapping must not fail.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "MainFormCore.h"
#include "mdlIniFileIo.h"
#include "mdlPublicIniRW.h"

namespace {

// The scratch folder of this run, removed when the fuzzer exits.
std::string& scratch_dir() {
    static std::string dir;
    return dir;
}

void remove_scratch_dir() {
    std::error_code ec;
    std::filesystem::remove_all(scratch_dir(), ec);
}

const std::string& scratch_file() {
    static const std::string path = [] {
        char tmpl[] = "/tmp/orv_fuzz_ini_XXXXXX";
        const char* d = mkdtemp(tmpl);
        if (d == nullptr) std::abort();
        scratch_dir() = d;
        std::atexit(remove_scratch_dir);  // libFuzzer ends a bounded run with exit()
        return std::string(d) + "/PrmOrvane.ini";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = scratch_file();
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    FieldValues v;
    DefaultFieldValues(v);
    if (PathExists(path)) LoadPrmIni(path, v);
    for (int32_t k = 0; k < kListCount; ++k)
        if (v.list[k] < -1 || v.list[k] >= kLists[k].count) std::abort();
    for (int32_t g = 0; g < kOptionGroupCount; ++g)
        if (v.option[g] < 0 || v.option[g] > 2) std::abort();
    WaveParams rec{};
    int32_t bad = -1;
    if (Get_Params(v, rec, bad) != kParamsOk && (bad < 0 || bad >= kTextFieldCount)) std::abort();
    // What was loaded can be stored again and loads to the same choices.
    SavePrmIni(path, v);
    FieldValues again;
    DefaultFieldValues(again);
    LoadPrmIni(path, again);
    for (int32_t k = 0; k < kListCount; ++k)
        if (again.list[k] != v.list[k] && v.list[k] != -1) std::abort();
    for (int32_t g = 0; g < kOptionGroupCount; ++g)
        if (again.option[g] != v.option[g]) std::abort();
    std::remove(path.c_str());
    return 0;
}
