// Entry-level access to the INI-style settings file and its existence test.
// Section and key names compare without regard to case; values are trimmed;
// a write keeps every other line of the file and creates the file, the section
// and the key as needed.
#pragma once
#include <cstdint>
#include <string>

// Longest value a read returns; longer values are cut.
constexpr size_t kIniMaxValueLength = 254;

// True when a file (not a folder) exists at path; false also when the test itself fails.
bool PathExists(const std::string& path);

// True when the file at path can be opened and read as an INI file.
bool IniFileReadable(const std::string& path);

// Reads one entry into the receiver, which is first cleared (0, 0.0 or empty).
// Returns false on success; true when the entry is missing or empty, the file
// cannot be read, or the value does not convert to the receiver's type
// (integers: decimal, rounded half to even, or "&H" hexadecimal; reals: decimal
// with "." as point).
bool IniReadValue(const char* section, const char* key, const std::string& path, int32_t& receiver);
bool IniReadValue(const char* section, const char* key, const std::string& path, double& receiver);
bool IniReadValue(const char* section, const char* key, const std::string& path, std::string& receiver);

// Writes "KEY=value" under the section. Returns false on success, true when the
// file cannot be read or written.
bool IniWriteValue(const char* section, const char* key, const std::string& path, int32_t value);
bool IniWriteValue(const char* section, const char* key, const std::string& path, const std::string& value);
