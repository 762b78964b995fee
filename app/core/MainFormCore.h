// The main window's parameter logic without the toolkit: the field values a
// window holds, the choice lists, the mapping to WaveParams (Get_Params), the
// derived values, the defaults and the texts of the message boxes.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "mdlPrmInput.h"
#include "orvasynth.h"

// The choice lists, in the order the window fills them at start-up.
enum ListControl : int32_t {
    kCmbRate,
    kCmbFormat,
    kCmbOverSamp,
    kCmbFilTyp,
    kCmbData,
    kCmbIQInv,
    kCmbBurst,
    kListCount
};

// The two option-button groups of the deterioration frame.
enum OptionGroup : int32_t { kOptFreqOfs, kOptNoise, kOptionGroupCount };

constexpr int32_t kOptionsPerGroup = 3;
// Option index stored when no button of a group is on.
constexpr int32_t kNoOption = 3;

struct ListTable {
    const char* control;
    int32_t count;
    const char* const* entries;   // entry text, index 0 first; the index is the code
};

extern const ListTable kLists[kListCount];

struct OptionTable {
    const char* control;
    const char* frame;
    const char* captions[kOptionsPerGroup];
};

extern const OptionTable kOptionGroups[kOptionGroupCount];

// Everything the window holds that a generation or the settings file needs:
// selected list indexes (-1 when nothing is selected), the index of the option
// that is on per group (kNoOption when none), the texts of the parameter fields
// and the caption of the sampling-rate label.
struct FieldValues {
    int32_t list[kListCount];
    int32_t option[kOptionGroupCount];
    std::string text[kTextFieldCount];
    std::string samp_rate_caption;
};

// Program name, window caption and message-box titles.
constexpr const char* kProgramName = "Orvane";
constexpr const char* kVersionText = "Ver.1.2.0";
constexpr const char* kCrestBoxTitle = "PAPR parameter";
// Message of a second start while the program runs ("already running").
constexpr const char* kAlreadyRunningText = "既に起動されています。";

// Get_Params results.
enum GetParamsResult : int32_t {
    kParamsOk = 0,
    kParamsNotANumber = 1   // a field read by strict conversion is not a number
};

// Copies the field values into the record's input fields as the generate
// command does; papr, crest_i and crest_q are not touched. When a field read by
// strict conversion (seed, filter length, roll-off, and the cut-off unless the
// filter type is "Rectangle") is not a number, returns kParamsNotANumber with
// that field in bad_field and leaves the record unchanged.
int32_t Get_Params(const FieldValues& v, WaveParams& rec, int32_t& bad_field);

// Sampling rate in Hz for a CmbOverSamp index (factor = index + 4), single precision.
float SamplingRate(int32_t oversamp_index);

// Caption of LblSampRate for sampling rate fs (Hz), for example "160 Msps".
std::string SamplingRateCaption(float fs);

// Filter length in microseconds: the leading number of taps_text divided by
// the sampling rate of the oversampling index, single precision.
float FilterLengthTime(std::string_view taps_text, int32_t oversamp_index);

// Caption of FilterLenUSec for a filter length in microseconds, for example "( 1.19 usec)".
std::string FilterLengthCaption(float usec);

// The built-in defaults (sampling-rate caption left empty: the window computes it).
void DefaultFieldValues(FieldValues& v);

// Default text of the two hidden ratio fields.
constexpr const char* kDefaultRatioText = "1";

// Text of the error box: last platform error in decimal, result in upper-case hexadecimal.
std::string ErrorBoxText(int32_t last_error, int32_t result);

// Text of the crest-factor box (values written "#0.0#####").
std::string CrestBoxText(double papr, double crest_i, double crest_q);

// Text of the box that reports a field which is not a number. When the field
// is disabled, a second line names the choice that enables it.
std::string NotANumberText(int32_t field, bool field_disabled = false);

// The choice list whose selection enables a field (kListCount: none).
int32_t EnablingList(int32_t field);
