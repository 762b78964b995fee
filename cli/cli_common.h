// Tables and text helpers shared by orvgen's parts (the command line, the SigMF
// recording, the --check hand-over).
#pragma once
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace orv::cli {

// Rate in Mbit/s per rate index of the record.
extern const int kRateMbps[8];
// Payload pattern name per data-pattern index of the record.
extern const char* const kPatternNames[7];

// Lower-case text (ASCII), blanks kept.
std::string lower(std::string s);

// Lower-case text (ASCII) without blanks and tabs, for comparing words.
std::string fold(const std::string& s);

// A double as JSON: an integral value as an integer (0.0 reads "0", as the
// shortest round-trip text has it), null for a NaN or an infinity.
nlohmann::ordered_json json_number(double v);

}  // namespace orv::cli
