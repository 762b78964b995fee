// Keystroke filters and range checks of the window's thirteen parameter fields.
// Pure text functions: the window applies their results to its text boxes.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// The filtered text fields, in the window's reading order of the set-up frame,
// the filter frame and the deterioration frame.
enum TextField : int32_t {
    kTxtBurstOff,
    kTxtSeedPN,
    kTxtnOFDM,
    kTxtFiltLeng,
    kTxtFiltAlpha,
    kTxtFCut,
    kTxtWinTR,
    kTxtDFreq,
    kTxtIf,
    kTxtDcOffsetRe,
    kTxtDcOffsetIm,
    kTxtNoiseFreq,
    kTxtNoiseDB,
    kTextFieldCount
};

// How a field's upper bound is found.
enum UpperBoundKind : int32_t {
    kUpperFixed,        // FieldRule::upper
    kUpperHalfFs,       // fs / 2 000 000 (MHz): the cut-off frequency
    kUpperSineFreq      // (fs / 1 000 000 - 20) * 0.5 (MHz): the sine frequency
};

// One row of the field table.
struct FieldRule {
    const char* control;   // control name on the window
    const char* caption;   // caption label beside it
    int32_t hex_length;    // > 0: hexadecimal field of at most this many characters
    int32_t decimals;      // decimal field: most decimals the filter lets through
    double lower;
    double upper;          // used when upper_kind is kUpperFixed
    int32_t upper_kind;
    const char* pattern;   // display pattern written by the check (decimal fields)
};

extern const FieldRule kFieldRules[kTextFieldCount];

// Result of a character filter.
enum FilterAction : int32_t {
    kFilterKeep = 0,     // text is acceptable as it stands
    kFilterReject = 1,   // one character removed: beep, caret to the end, focus
    kFilterCutBack = 2   // decimal or digit beyond the limit replaced the last one: caret, focus
};

// Decimal character filter; max_decimals 0 forbids the point. On a reject or
// cut-back, corrected holds the new text (one correction per call).
int32_t FilterNumText(std::u32string_view text, int32_t max_decimals, std::u32string& corrected);

// Hexadecimal character filter allowing at most max_length characters.
int32_t FilterHexText(std::u32string_view text, int32_t max_length, std::u32string& corrected);

// The text the field's filter leaves when every correction is filtered again
// at once (the nested change notification), computed in one pass: the same
// final text as filtering until the text is kept, with rejects the number of
// characters removed with a beep. Returns false when text is kept as it is.
bool CleanField(int32_t field, std::u32string_view text, std::u32string& cleaned, int32_t& rejects);

// Reads the leading number of text, clamps it into [lower, upper] and returns
// it written in the display pattern.
std::string CheckNumRange(std::string_view text, double upper, double lower, std::string_view pattern);

// Reads text as hexadecimal (empty text counts as "1"; the first character that
// is not a hexadecimal digit, a control character for instance, ends it),
// clamps it into [lower, upper] and returns it in upper case without leading zeros.
std::string CheckHexRange(std::string_view text, int32_t upper, int32_t lower);

// Lower and upper bound of a field at sampling rate fs (Hz).
void FieldBounds(int32_t field, float fs, double& lower, double& upper);

// Runs the field's character filter.
int32_t FilterField(int32_t field, std::u32string_view text, std::u32string& corrected);

// Runs the field's range check at sampling rate fs (Hz) and returns the text to write back.
std::string CheckField(int32_t field, std::string_view text, float fs);
