#include "MainFormCore.h"

#include <cfloat>
#include <cmath>

#include "num_text.h"

namespace {

const char* const kRateEntries[] = {" 6Mbps BPSK",  " 9Mbps BPSK",  "12Mbps QPSK",  "18Mbps QPSK",
                                    "24Mbps 16QAM", "36Mbps 16QAM", "48Mbps 64QAM", "54Mbps 64QAM"};
const char* const kFormatEntries[] = {"802.11a", "Free"};
// Oversampling factors 4 to 10, each with a leading blank in the sign position.
const char* const kOverSampEntries[] = {" 4", " 5", " 6", " 7", " 8", " 9", " 10"};
const char* const kFilTypEntries[] = {"Rectangle", "Nyquist"};
const char* const kDataEntries[] = {"PN9", "PN15", "PN19", "PN20", "PN23", "ALL 0", "ALL 1"};
const char* const kOffOnEntries[] = {"OFF", "ON"};

// Default texts of the parameter fields, in TextField order.
const char* const kDefaultTexts[kTextFieldCount] = {
    "160",    // txtBurstOff
    "FFFF",   // txtSeedPN
    "100",    // TxtnOFDM
    "191",    // TxtFiltLeng
    "0.25",   // TxtFiltAlpha
    "0.0",    // TxtFCut
    "0.0",    // txtWinTR
    "0.0",    // TxtDFreq
    "0.0",    // TxtIf
    "0",      // TxtDcOffsetRe
    "0",      // TxtDcOffsetIm
    "15.0",   // TxtNoiseFreq
    "-40.0",  // TxtNoiseDB
};

constexpr int32_t kOversamplingOfIndex0 = 4;
constexpr double kBaseRate = 20000000.0;   // Hz, the 802.11a sample rate at factor 1

// Magnitude of single precision; beyond it the conversion gives an infinity.
float ToSingle(double x) {
    if (x > FLT_MAX) return INFINITY;
    if (x < -FLT_MAX) return -INFINITY;
    return static_cast<float>(x);
}

}  // namespace

const ListTable kLists[kListCount] = {
    {"CmbRate", 8, kRateEntries},      {"CmbFormat", 2, kFormatEntries}, {"CmbOverSamp", 7, kOverSampEntries},
    {"CmbFilTyp", 2, kFilTypEntries},  {"CmbData", 7, kDataEntries},     {"CmbIQInv", 2, kOffOnEntries},
    {"CmbBurst", 2, kOffOnEntries},
};

const OptionTable kOptionGroups[kOptionGroupCount] = {
    {"OptFreqOfs", "Frequency Offset", {"None", "Freq Error", "IF conversion"}},
    {"OptNoise", "Noise", {"None", "Sin", "Gauss"}},
};

int32_t Get_Params(const FieldValues& v, WaveParams& rec, int32_t& bad_field) {
    const bool rectangle = v.list[kCmbFilTyp] == 0;
    int32_t seed = 0;
    int32_t taps = 0;
    double rolloff = 0.0;
    double cutoff_mhz = 0.0;
    bad_field = -1;
    if (!ReadStrictInteger("&H" + v.text[kTxtSeedPN], seed)) {
        bad_field = kTxtSeedPN;
    } else if (!ReadStrictInteger(v.text[kTxtFiltLeng], taps)) {
        bad_field = kTxtFiltLeng;
    } else if (!ReadStrictNumber(v.text[kTxtFiltAlpha], rolloff)) {
        bad_field = kTxtFiltAlpha;
    } else if (!rectangle && !ReadStrictNumber(v.text[kTxtFCut], cutoff_mhz)) {
        bad_field = kTxtFCut;
    }
    if (bad_field >= 0) return kParamsNotANumber;

    rec.rate_index = v.list[kCmbRate];
    rec.frame_format = v.list[kCmbFormat];
    rec.burst_enable = v.list[kCmbBurst];
    rec.burst_off_time = ReadLeadingNumber(v.text[kTxtBurstOff]) * 1e-6;
    rec.data_pattern = v.list[kCmbData];
    rec.pn_seed = seed;
    rec.ofdm_symbols = RoundToInt32(ReadLeadingNumber(v.text[kTxtnOFDM]));
    rec.reserved = 0;
    rec.filter_taps = taps;
    rec.filter_rolloff = rolloff;
    rec.filter_cutoff = rectangle ? 0.0 : cutoff_mhz * 1000000.0;
    rec.window_tr = ReadLeadingNumber(v.text[kTxtWinTR]) * 1e-6;
    rec.oversampling = v.list[kCmbOverSamp] + kOversamplingOfIndex0;
    rec.iq_inverse = v.list[kCmbIQInv];

    rec.freq_error_enable = 0;
    rec.freq_error = 0.0;
    rec.if_enable = 0;
    rec.if_freq = 0.0;
    if (v.option[kOptFreqOfs] == 1) {
        rec.freq_error_enable = 1;
        rec.freq_error = ReadLeadingNumber(v.text[kTxtDFreq]) * 1000000.0;
    } else if (v.option[kOptFreqOfs] == 2) {
        rec.if_enable = 1;
        rec.if_freq = ReadLeadingNumber(v.text[kTxtIf]) * 1000000.0;
    }

    rec.dc_offset_im = ReadLeadingNumber(v.text[kTxtDcOffsetIm]);
    rec.dc_offset_re = ReadLeadingNumber(v.text[kTxtDcOffsetRe]);

    rec.sine_enable = 0;
    rec.sine_freq = 0.0;
    rec.sine_level = 0.0;
    rec.noise_enable = 0;
    rec.noise_level = 0.0;
    if (v.option[kOptNoise] == 1) {
        rec.sine_enable = 1;
        rec.sine_freq = ReadLeadingNumber(v.text[kTxtNoiseFreq]) * 1000000.0;
        rec.sine_level = ReadLeadingNumber(v.text[kTxtNoiseDB]);
    } else if (v.option[kOptNoise] == 2) {
        rec.noise_enable = 1;
        rec.noise_level = ReadLeadingNumber(v.text[kTxtNoiseDB]);
    }
    return kParamsOk;
}

float SamplingRate(int32_t oversamp_index) {
    int32_t factor = oversamp_index + kOversamplingOfIndex0;
    return ToSingle(factor * kBaseRate);
}

std::string SamplingRateCaption(float fs) {
    return FormatPattern(static_cast<double>(fs) / 1000000.0, "###0") + " Msps";
}

float FilterLengthTime(std::string_view taps_text, int32_t oversamp_index) {
    int32_t factor = oversamp_index + kOversamplingOfIndex0;
    double taps = ReadLeadingNumber(taps_text);
    return ToSingle(taps * 1000000.0 / (factor * kBaseRate));
}

std::string FilterLengthCaption(float usec) {
    return "( " + FormatPattern(static_cast<double>(usec), "##0.00") + " usec)";
}

void DefaultFieldValues(FieldValues& v) {
    v.list[kCmbRate] = 5;
    v.list[kCmbFormat] = 0;
    v.list[kCmbOverSamp] = 4;
    v.list[kCmbData] = 0;
    v.list[kCmbBurst] = 1;
    v.list[kCmbIQInv] = 0;
    v.list[kCmbFilTyp] = 0;
    v.option[kOptFreqOfs] = 0;
    v.option[kOptNoise] = 0;
    for (int32_t field = 0; field < kTextFieldCount; ++field) v.text[field] = std::string(kDefaultTexts[field]);
    v.samp_rate_caption.clear();
}

std::string ErrorBoxText(int32_t last_error, int32_t result) {
    return "GUI Error Code : " + std::to_string(last_error) + "\r\nDLL Return Code(Hex) : " +
           FormatHexUpper(static_cast<uint32_t>(result));
}

std::string CrestBoxText(double papr, double crest_i, double crest_q) {
    return "\r\nRF crest factor     :  " + FormatPattern(papr, "#0.0#####") +
           "\r\n I  sig crest factor :  " + FormatPattern(crest_i, "#0.0#####") +
           "\r\n Q sig crest factor :  " + FormatPattern(crest_q, "#0.0#####") + "\r\n";
}

int32_t EnablingList(int32_t field) {
    switch (field) {
        case kTxtSeedPN:
            return kCmbData;
        case kTxtFiltLeng:
        case kTxtFiltAlpha:
        case kTxtFCut:
            return kCmbFilTyp;
        case kTxtBurstOff:
            return kCmbBurst;
        default:
            return kListCount;
    }
}

std::string NotANumberText(int32_t field, bool field_disabled) {
    std::string text = std::string(kFieldRules[field].caption) + " is not a number.";
    if (!field_disabled) return text;
    switch (EnablingList(field)) {
        case kCmbData:
            return text + "\r\nIt can be edited with \"Data\" PN9, PN15, PN19, PN20 or PN23.";
        case kCmbFilTyp:
            return text + "\r\nIt can be edited with \"Filter Type\" Nyquist.";
        case kCmbBurst:
            return text + "\r\nIt can be edited with \"Burst\" ON.";
        default:
            return text;
    }
}
