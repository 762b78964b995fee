#include "mdlIniFileIo.h"

#include <filesystem>
#include <string_view>
#include <system_error>

// Plain 8-bit texts in the system code page: no UTF conversion layer. Debian's
// SimpleIni.h keeps its template definitions behind SI_IMPLEMENTATION; this is
// the one translation unit that uses it, so the header serves header-only and
// the program needs no SimpleIni runtime library.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include "num_text.h"

namespace {

// Sets up a reader/writer with the layout of the settings file: names compared
// without case, one value per key, "KEY=value" without blanks, no quoting.
void ConfigureIni(CSimpleIniA& ini) {
    ini.SetUnicode(false);
    ini.SetMultiKey(false);
    ini.SetMultiLine(false);
    ini.SetQuotes(false);
    ini.SetSpaces(false);
}

// Reads the raw value of one entry; false when missing, empty or unreadable.
bool ReadRawValue(const char* section, const char* key, const std::string& path, std::string& value) {
    CSimpleIniA ini;
    ConfigureIni(ini);
    if (ini.LoadFile(path.c_str()) != SI_OK) return false;
    const char* raw = ini.GetValue(section, key, nullptr);
    if (raw == nullptr || *raw == '\0') return false;
    std::string_view v(raw);
    value.assign(v.substr(0, kIniMaxValueLength));
    return true;
}

// Drops sections whose names span several lines: an opening "[" whose "]"
// only comes lines later is read as one such name, and writing it back would
// add lines that the next read takes into the name again, so the file would
// grow with every write.
void DropBrokenSections(CSimpleIniA& ini) {
    CSimpleIniA::TNamesDepend sections;
    ini.GetAllSections(sections);
    for (const auto& s : sections) {
        const std::string_view name(s.pItem);
        if (name.find_first_of("\r\n") != std::string_view::npos) ini.Delete(s.pItem, nullptr);
    }
}

}  // namespace

bool PathExists(const std::string& path) {
    std::error_code ec;
    std::filesystem::file_status st = std::filesystem::status(path, ec);
    if (ec) return false;
    return std::filesystem::exists(st) && !std::filesystem::is_directory(st);
}

bool IniFileReadable(const std::string& path) {
    CSimpleIniA ini;
    ConfigureIni(ini);
    return ini.LoadFile(path.c_str()) == SI_OK;
}

bool IniReadValue(const char* section, const char* key, const std::string& path, int32_t& receiver) {
    receiver = 0;
    std::string raw;
    if (!ReadRawValue(section, key, path, raw)) return true;
    int32_t v = 0;
    if (!ReadStrictInteger(raw, v)) return true;
    receiver = v;
    return false;
}

bool IniReadValue(const char* section, const char* key, const std::string& path, double& receiver) {
    receiver = 0.0;
    std::string raw;
    if (!ReadRawValue(section, key, path, raw)) return true;
    double v = 0.0;
    if (!ReadStrictNumber(raw, v)) return true;
    receiver = v;
    return false;
}

bool IniReadValue(const char* section, const char* key, const std::string& path, std::string& receiver) {
    receiver.clear();
    std::string raw;
    if (!ReadRawValue(section, key, path, raw)) return true;
    receiver = raw;
    return false;
}

bool IniWriteValue(const char* section, const char* key, const std::string& path, int32_t value) {
    return IniWriteValue(section, key, path, std::to_string(value));
}

bool IniWriteValue(const char* section, const char* key, const std::string& path, const std::string& value) {
    CSimpleIniA ini;
    ConfigureIni(ini);
    if (PathExists(path) && ini.LoadFile(path.c_str()) != SI_OK) return true;
    DropBrokenSections(ini);
    if (ini.SetValue(section, key, value.c_str()) < 0) return true;
    return ini.SaveFile(path.c_str(), false) != SI_OK;
}
