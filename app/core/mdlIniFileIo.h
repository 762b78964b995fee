// Entry-level access to the INI-style settings file and its existence test,
// with the semantics of the Windows profile calls (see profile_text.h). A
// settings file is read once into an IniFile, its entries are read from and
// written into that image, and it is stored back whole, atomically.
#pragma once
#include <cstdint>
#include <string>

#include "profile_text.h"

// Longest value a read returns; longer values are cut.
constexpr size_t kIniMaxValueLength = 254;

// True when something other than a folder exists at path; false also when the
// test itself fails.
bool PathExists(const std::string& path);

// Outcome of a settings-file call.
enum class IniStatus : int32_t { kOk = 0, kFailed = 1 };

// The image of one settings file.
struct IniFile {
    ProfileText text;
    bool readable = false;   // the file could be read (a missing file counts as readable and empty)
    int read_error = 0;      // why not: the operating system's error number
};

// Reads the file at path into ini. A file that exists but cannot be read (no
// permission, not a regular file, an I/O error) leaves ini empty and not
// readable; a missing file leaves it empty and readable. Returns ini.readable.
bool IniLoad(const std::string& path, IniFile& ini);

// Writes ini to path atomically. Returns kOk; kFailed when ini came from a
// file that could not be read (it would be lost) or the file cannot be
// written, with the operating system's error number in err.
IniStatus IniStore(const IniFile& ini, const std::string& path, int& err);

// Reads one entry into the receiver, which is first cleared (0, 0.0 or empty).
// Returns kOk; kFailed when the entry is missing or empty, or the
// value does not convert to the receiver's type (integers: decimal, rounded
// half to even, or "&H" hexadecimal; reals: decimal with "." as point). A text
// is cut at its first NUL and to kIniMaxValueLength characters.
IniStatus IniReadValue(const IniFile& ini, const char* section, const char* key, int32_t& receiver);
IniStatus IniReadValue(const IniFile& ini, const char* section, const char* key, double& receiver);
IniStatus IniReadValue(const IniFile& ini, const char* section, const char* key, std::string& receiver);

// The same from the file at path (read for this one entry).
IniStatus IniReadValue(const char* section, const char* key, const std::string& path, int32_t& receiver);
IniStatus IniReadValue(const char* section, const char* key, const std::string& path, double& receiver);
IniStatus IniReadValue(const char* section, const char* key, const std::string& path, std::string& receiver);

// Sets "KEY=value" under the section of the image.
void IniWriteValue(IniFile& ini, const char* section, const char* key, const std::string& value);

// Writes one entry into the file at path (read, changed, stored atomically).
// Returns kOk; kFailed when the file cannot be read or written.
IniStatus IniWriteValue(const char* section, const char* key, const std::string& path, int32_t value);
IniStatus IniWriteValue(const char* section, const char* key, const std::string& path, const std::string& value);
