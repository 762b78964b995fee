#include "mdlPrmInput.h"

#include "num_text.h"

const FieldRule kFieldRules[kTextFieldCount] = {
    {"txtBurstOff", "Burst Off", 0, 0, 0.0, 1000000.0, kUpperFixed, "###0"},
    {"txtSeedPN", "Seed PN", 6, 0, 1.0, 16777215.0, kUpperFixed, nullptr},
    {"TxtnOFDM", "OFDM Length", 0, 0, 1.0, 151.0, kUpperFixed, "##0"},
    {"TxtFiltLeng", "Filter Length", 0, 0, 1.0, 1000.0, kUpperFixed, "###0"},
    {"TxtFiltAlpha", "Roll Off", 0, 2, 0.01, 0.99, kUpperFixed, "###0.00"},
    {"TxtFCut", "Cut Off", 0, 6, 0.0, 0.0, kUpperHalfFs, "###0.0#####"},
    {"txtWinTR", "Window TR", 0, 1, 0.0, 2.0, kUpperFixed, "#0.0"},
    {"TxtDFreq", "Freq Error", 0, 6, 0.0, 1000.0, kUpperFixed, "###0.0#####"},
    {"TxtIf", "IF conversion", 0, 6, -1000.0, 1000.0, kUpperFixed, "###0.0#####"},
    {"TxtDcOffsetRe", "Real", 0, 0, -100.0, 100.0, kUpperFixed, "###0"},
    {"TxtDcOffsetIm", "Imag", 0, 0, -100.0, 100.0, kUpperFixed, "###0"},
    {"TxtNoiseFreq", "Noise (MHz)", 0, 6, 0.0, 0.0, kUpperSineFreq, "###0.0#####"},
    {"TxtNoiseDB", "Noise (dB)", 0, 1, -100.0, 10.0, kUpperFixed, "###0.0"},
};

namespace {

// Text without the character at index i.
std::u32string RemoveAt(std::u32string_view text, size_t i) {
    std::u32string out(text.substr(0, i));
    out += text.substr(i + 1);
    return out;
}

// Cut-back at index i: the character before it and everything after it are dropped.
std::u32string CutBackAt(std::u32string_view text, size_t i) {
    std::u32string out(text.substr(0, i - 1));
    out += text[i];
    return out;
}

int32_t HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

int32_t FilterNumText(std::u32string_view text, int32_t max_decimals, std::u32string& corrected) {
    int32_t decimals = -1;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c == U'-' && i != 0) {
            corrected = RemoveAt(text, i);
            return kFilterReject;
        }
        // Blank to comma, the slash, and everything above "9" (letters, non-ASCII).
        bool rejected = (c >= 32 && c <= 44) || c == 47 || c > 57 || (max_decimals == 0 && c == U'.');
        if (rejected) {
            corrected = RemoveAt(text, i);
            return kFilterReject;
        }
        if (max_decimals > 0) {
            if (decimals == -1) {
                if (c == U'.') decimals = 0;
            } else if (c == U'.') {
                corrected = RemoveAt(text, i);
                return kFilterReject;
            } else if (++decimals > max_decimals) {
                corrected = CutBackAt(text, i);
                return kFilterCutBack;
            }
        }
    }
    return kFilterKeep;
}

int32_t FilterHexText(std::u32string_view text, int32_t max_length, std::u32string& corrected) {
    int32_t count = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        bool accepted = c < 32 || (c >= U'0' && c <= U'9') || (c >= U'A' && c <= U'F') ||
                        (c >= U'a' && c <= U'f');
        if (!accepted) {
            corrected = RemoveAt(text, i);
            return kFilterReject;
        }
        if (++count > max_length) {
            corrected = CutBackAt(text, i);
            return kFilterCutBack;
        }
    }
    return kFilterKeep;
}

bool CleanField(int32_t field, std::u32string_view text, std::u32string& cleaned, int32_t& rejects) {
    // Each pass of the filter stops at its first correction and the passes
    // before it found the characters ahead clean, so one scan carrying the
    // filter's state gives the same result: a rejected character is dropped
    // and the scan goes on; a cut-back replaces the last character kept by
    // the current one and ends the text (the cut text is stable).
    const FieldRule& rule = kFieldRules[field];
    const bool hex = rule.hex_length > 0;
    const int32_t max_decimals = rule.decimals;
    cleaned.clear();
    rejects = 0;
    int32_t decimals = -1;
    int32_t count = 0;
    bool cut = false;
    for (char32_t c : text) {
        if (hex) {
            const bool accepted = c < 32 || (c >= U'0' && c <= U'9') || (c >= U'A' && c <= U'F') ||
                                  (c >= U'a' && c <= U'f');
            if (!accepted) {
                ++rejects;
                continue;
            }
            if (++count > rule.hex_length) {
                cleaned.back() = c;
                cut = true;
                break;
            }
            cleaned += c;
            continue;
        }
        const bool misplaced_minus = c == U'-' && !cleaned.empty();
        const bool rejected = misplaced_minus || (c >= 32 && c <= 44) || c == 47 || c > 57 ||
                              (max_decimals == 0 && c == U'.');
        if (rejected) {
            ++rejects;
            continue;
        }
        if (max_decimals > 0) {
            if (decimals == -1) {
                if (c == U'.') decimals = 0;
            } else if (c == U'.') {
                ++rejects;
                continue;
            } else if (++decimals > max_decimals) {
                cleaned.back() = c;
                cut = true;
                break;
            }
        }
        cleaned += c;
    }
    return rejects > 0 || cut;
}

std::string CheckNumRange(std::string_view text, double upper, double lower, std::string_view pattern) {
    double x = ReadLeadingNumber(text);
    if (x > upper) {
        x = upper;
    } else if (x < lower) {
        x = lower;
    }
    return FormatPattern(x, pattern);
}

std::string CheckHexRange(std::string_view text, int32_t upper, int32_t lower) {
    if (text.empty()) text = "1";
    size_t end = 0;
    while (end < text.size() && HexDigitValue(text[end]) >= 0) ++end;
    std::string_view digits = text.substr(0, end);
    if (digits.empty()) digits = "1";
    size_t first = digits.find_first_not_of('0');
    std::string_view significant = first == std::string_view::npos ? std::string_view() : digits.substr(first);

    int32_t v = 0;
    if (significant.size() > 8) {
        v = upper;  // more than 32 bits: beyond every bound
    } else {
        uint32_t pattern = 0;
        for (char c : significant) pattern = pattern * 16u + static_cast<uint32_t>(HexDigitValue(c));
        v = static_cast<int32_t>(pattern);
        if (v > upper) {
            v = upper;
        } else if (v < lower) {
            v = lower;
        }
    }
    return FormatHexUpper(static_cast<uint32_t>(v));
}

void FieldBounds(int32_t field, float fs, double& lower, double& upper) {
    const FieldRule& rule = kFieldRules[field];
    lower = rule.lower;
    upper = rule.upper;
    if (rule.upper_kind == kUpperHalfFs) {
        upper = static_cast<double>(fs) / 2000000.0;
    } else if (rule.upper_kind == kUpperSineFreq) {
        upper = (static_cast<double>(fs) / 1000000.0 - 20.0) * 0.5;
    }
}

int32_t FilterField(int32_t field, std::u32string_view text, std::u32string& corrected) {
    const FieldRule& rule = kFieldRules[field];
    if (rule.hex_length > 0) return FilterHexText(text, rule.hex_length, corrected);
    return FilterNumText(text, rule.decimals, corrected);
}

std::string CheckField(int32_t field, std::string_view text, float fs) {
    const FieldRule& rule = kFieldRules[field];
    double lower = 0.0;
    double upper = 0.0;
    FieldBounds(field, fs, lower, upper);
    if (rule.hex_length > 0) {
        return CheckHexRange(text, static_cast<int32_t>(upper), static_cast<int32_t>(lower));
    }
    return CheckNumRange(text, upper, lower, rule.pattern);
}
