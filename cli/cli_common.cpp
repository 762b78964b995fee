#include "cli_common.h"

#include <cctype>
#include <cmath>

namespace orv::cli {

const int kRateMbps[8] = {6, 9, 12, 18, 24, 36, 48, 54};
const char* const kPatternNames[7] = {"PN9", "PN15", "PN19", "PN20", "PN23", "ALL 0", "ALL 1"};

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string fold(const std::string& s) {
    std::string out;
    for (char c : s)
        if (c != ' ' && c != '\t') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

nlohmann::ordered_json json_number(double v) {
    if (!std::isfinite(v)) return nullptr;
    if (v == std::trunc(v) && std::fabs(v) < 9007199254740992.0) return static_cast<int64_t>(v);
    return v;
}

}  // namespace orv::cli
