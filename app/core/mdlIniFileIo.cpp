#include "mdlIniFileIo.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "num_text.h"
#include "settings_file.h"

namespace {

// The value as the profile read returns it: up to the first NUL, at most
// kIniMaxValueLength characters; false when missing or empty.
bool ReadRawValue(const IniFile& ini, const char* section, const char* key, std::string& value) {
    if (!ini.text.Find(section, key, value)) return false;
    const size_t nul = value.find('\0');
    if (nul != std::string::npos) value.resize(nul);
    if (value.size() > kIniMaxValueLength) value.resize(kIniMaxValueLength);
    return !value.empty();
}

}  // namespace

bool PathExists(const std::string& path) {
    std::error_code ec;
    std::filesystem::file_status st = std::filesystem::status(path, ec);
    if (ec) return false;
    return std::filesystem::exists(st) && !std::filesystem::is_directory(st);
}

bool IniLoad(const std::string& path, IniFile& ini) {
    std::string text;
    errno = 0;
    const int result = ReadRegularFile(path, text);
    ini.readable = result != kReadUnreadable;
    ini.read_error = ini.readable ? 0 : (errno != 0 ? errno : EIO);
    ini.text.Parse(result == kReadOk ? std::move(text) : std::string());
    return ini.readable;
}

IniStatus IniStore(const IniFile& ini, const std::string& path, int& err) {
    err = 0;
    if (!ini.readable) {
        err = ini.read_error;
        return IniStatus::kFailed;
    }
    const bool stored = ReplaceFileAtomically(
        path, [&](const std::function<bool(std::string_view)>& write) { return ini.text.WriteTo(write); }, err);
    return stored ? IniStatus::kOk : IniStatus::kFailed;
}

IniStatus IniReadValue(const IniFile& ini, const char* section, const char* key, int32_t& receiver) {
    receiver = 0;
    std::string raw;
    if (!ReadRawValue(ini, section, key, raw)) return IniStatus::kFailed;
    int32_t v = 0;
    if (!ReadStrictInteger(raw, v)) return IniStatus::kFailed;
    receiver = v;
    return IniStatus::kOk;
}

IniStatus IniReadValue(const IniFile& ini, const char* section, const char* key, double& receiver) {
    receiver = 0.0;
    std::string raw;
    if (!ReadRawValue(ini, section, key, raw)) return IniStatus::kFailed;
    double v = 0.0;
    if (!ReadStrictNumber(raw, v)) return IniStatus::kFailed;
    receiver = v;
    return IniStatus::kOk;
}

IniStatus IniReadValue(const IniFile& ini, const char* section, const char* key, std::string& receiver) {
    receiver.clear();
    std::string raw;
    if (!ReadRawValue(ini, section, key, raw)) return IniStatus::kFailed;
    receiver = raw;
    return IniStatus::kOk;
}

IniStatus IniReadValue(const char* section, const char* key, const std::string& path, int32_t& receiver) {
    IniFile ini;
    IniLoad(path, ini);
    return IniReadValue(ini, section, key, receiver);
}

IniStatus IniReadValue(const char* section, const char* key, const std::string& path, double& receiver) {
    IniFile ini;
    IniLoad(path, ini);
    return IniReadValue(ini, section, key, receiver);
}

IniStatus IniReadValue(const char* section, const char* key, const std::string& path, std::string& receiver) {
    IniFile ini;
    IniLoad(path, ini);
    return IniReadValue(ini, section, key, receiver);
}

void IniWriteValue(IniFile& ini, const char* section, const char* key, const std::string& value) {
    ini.text.Set(section, key, value);
}

IniStatus IniWriteValue(const char* section, const char* key, const std::string& path, int32_t value) {
    return IniWriteValue(section, key, path, std::to_string(value));
}

IniStatus IniWriteValue(const char* section, const char* key, const std::string& path, const std::string& value) {
    IniFile ini;
    if (!IniLoad(path, ini)) return IniStatus::kFailed;
    IniWriteValue(ini, section, key, value);
    int err = 0;
    return IniStore(ini, path, err);
}
