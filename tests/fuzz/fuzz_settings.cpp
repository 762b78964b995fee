// libFuzzer target: the settings reader and writer over arbitrary file bytes.
// Whatever the file holds: parsing alone changes no byte; a write changes only
// the entry written (read back as written, a second write leaves the text as it
// was); start-up ends with every choice list and option group within its
// control's range, the parameter mapping does not fail, and what was loaded can
// be stored again and loads to the same choices.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "MainFormCore.h"
#include "mdlIniFileIo.h"
#include "mdlPublicIniRW.h"
#include "profile_text.h"
#include "scratch.h"

namespace {

const std::string& scratch_file() {
    static const std::string path = orv_fuzz::scratch_folder("ini") + "/PrmOrvane.ini";
    return path;
}

void CheckProfileText(const std::string& bytes) {
    ProfileText text;
    text.Parse(bytes);
    if (text.Text() != bytes) std::abort();
    // The first line's name and value give a section, a key and a value to write.
    const std::string value = bytes.substr(0, bytes.size() % 17);
    for (const IniKey& e : kIniKeys) {
        std::string before;
        const bool had = text.Find(e.section, e.key, before);
        text.Set(e.section, e.key, value);
        std::string after;
        if (!text.Find(e.section, e.key, after)) std::abort();
        const std::string once = text.Text();
        text.Set(e.section, e.key, value);
        if (text.Text() != once) std::abort();
        ProfileText again;
        again.Parse(once);
        std::string reread;
        if (!again.Find(e.section, e.key, reread) || reread != after) std::abort();
        (void)had;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    CheckProfileText(bytes);

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
    if (SavePrmIni(path, v) != IniStatus::kOk) std::abort();
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
