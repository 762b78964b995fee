// libFuzzer target: the character filters and range checks of the text fields
// over arbitrary texts. A filter run to its end (as the nested change
// notifications do) leaves a text it keeps unchanged; a check leaves a value
// within the field's bounds, written in its display pattern, that filter and
// check both keep unchanged.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mdlPrmInput.h"
#include "num_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return -1;
    const int32_t field = data[0] % kTextFieldCount;
    const float fs = 20000000.0f * static_cast<float>(4 + data[1] % 7);
    std::u32string text;
    std::string bytes;
    for (size_t k = 2; k < size; ++k) {
        // Bytes above 0xF0 stand for characters outside ASCII.
        text += data[k] >= 0xF0 ? static_cast<char32_t>(0x3000 + data[k]) : static_cast<char32_t>(data[k]);
        bytes += static_cast<char>(data[k]);
    }

    // The filter, re-run on its own correction until it keeps the text.
    std::u32string corrected;
    size_t passes = 0;
    while (FilterField(field, text, corrected) != kFilterKeep) {
        if (corrected == text) std::abort();  // a correction must change the text
        text = corrected;
        if (++passes > size + 2) std::abort();  // each pass removes or replaces a character
    }
    if (FilterField(field, text, corrected) != kFilterKeep) std::abort();

    // The check, on any text (also one the filter never saw).
    const std::string checked = CheckField(field, bytes, fs);
    double lower, upper;
    FieldBounds(field, fs, lower, upper);
    if (kFieldRules[field].hex_length > 0) {
        int32_t v = 0;
        if (!ReadStrictInteger("&H" + checked, v) || v < lower || v > upper) std::abort();
    } else {
        double v = ReadLeadingNumber(checked);
        // The pattern may round a bound's last decimal, never by more than half of it.
        const double slack = 0.5 * std::pow(10.0, -kFieldRules[field].decimals) + 1e-9;
        if (!(v >= lower - slack && v <= upper + slack)) std::abort();
        if (FormatPattern(v, kFieldRules[field].pattern) != checked) std::abort();
    }
    if (CheckField(field, checked, fs) != checked) std::abort();
    std::u32string wide(checked.begin(), checked.end());
    if (FilterField(field, wide, corrected) != kFilterKeep) std::abort();
    return 0;
}
