// The settings file "PrmOrvane.ini": its 23 entries, their load and their save.
#pragma once
#include <cstdint>
#include <string>

#include "MainFormCore.h"
#include "mdlIniFileIo.h"
#include "settings_file.h"

constexpr const char* kSettingsFileName = kSettingsFileBaseName;
constexpr int32_t kIniKeyCount = 23;

// Which kind of control an entry belongs to.
enum IniTarget : int32_t { kTargetList, kTargetText, kTargetOption, kTargetLabel };

// The receiver type an entry is read into.
enum IniReceiver : int32_t { kReceiveInteger, kReceiveReal, kReceiveText };

struct IniKey {
    const char* section;
    const char* key;
    int32_t target;     // IniTarget
    int32_t control;    // ListControl, TextField or OptionGroup; unused for the label
    int32_t receiver;   // IniReceiver
    const char* pattern;  // display pattern of a number put into a text field; nullptr: plain integer
};

// The entries in save order (sections "SET UP", "TX FILTER",
// "DETERIORATION FACTOR", "OTHERS").
extern const IniKey kIniKeys[kIniKeyCount];

// The order of the load: indexes into kIniKeys.
extern const int32_t kIniLoadOrder[kIniKeyCount];

// Reads entry kIniKeys[k] of the image and puts what the window shows for it
// into v: a list index (one outside -1 .. last entry becomes 0), an option
// index (outside 0..2 becomes 0), a text formatted as the key table says, or
// the trimmed caption. A missing, empty or unconvertible value counts as 0,
// 0.0 or an empty text, so a file that cannot be read loads like an empty one.
void LoadPrmIniEntry(const IniFile& ini, int32_t k, FieldValues& v);

// Reads the file at path once and all 23 entries from it into v.
void LoadPrmIni(const std::string& path, FieldValues& v);

// Writes the 23 entries in save order into the file at path, which is read
// once and stored once, atomically. Returns kOk; kFailed when the file could
// not be read or written (err: the operating system's error number).
IniStatus SavePrmIni(const std::string& path, const FieldValues& v, int& err);
IniStatus SavePrmIni(const std::string& path, const FieldValues& v);
