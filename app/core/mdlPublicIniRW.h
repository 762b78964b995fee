// The settings file "PrmOrvane.ini": its 23 entries, their load and their save.
#pragma once
#include <cstdint>
#include <string>

#include "MainFormCore.h"

constexpr const char* kSettingsFileName = "PrmOrvane.ini";
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

// Reads entry kIniKeys[k] and puts what the window shows for it into v: a list
// index (one outside -1 .. last entry becomes 0), an option index (outside 0..2
// becomes 0), a text formatted as the key table says, or the trimmed caption.
// A missing, empty or unconvertible value counts as 0, 0.0 or an empty text.
void LoadPrmIniEntry(const std::string& path, int32_t k, FieldValues& v);

// Reads all 23 entries into v.
void LoadPrmIni(const std::string& path, FieldValues& v);

// Writes the 23 entries in save order; write failures are ignored.
void SavePrmIni(const std::string& path, const FieldValues& v);
