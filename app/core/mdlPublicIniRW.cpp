#include "mdlPublicIniRW.h"

#include "mdlIniFileIo.h"
#include "num_text.h"

namespace {

constexpr const char* kSetUp = "SET UP";
constexpr const char* kTxFilter = "TX FILTER";
constexpr const char* kDeterioration = "DETERIORATION FACTOR";
constexpr const char* kOthers = "OTHERS";

std::string TrimBlanks(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

}  // namespace

const IniKey kIniKeys[kIniKeyCount] = {
    {kSetUp, "DATA RATE", kTargetList, kCmbRate, kReceiveInteger, nullptr},
    {kSetUp, "DATA", kTargetList, kCmbData, kReceiveInteger, nullptr},
    {kSetUp, "FORMAT", kTargetList, kCmbFormat, kReceiveInteger, nullptr},
    {kSetUp, "OFDM LENGTH", kTargetText, kTxtnOFDM, kReceiveInteger, nullptr},
    {kSetUp, "BURST", kTargetList, kCmbBurst, kReceiveInteger, nullptr},
    {kSetUp, "BURST OFF TIME", kTargetText, kTxtBurstOff, kReceiveInteger, "###0"},
    {kSetUp, "PN SEED", kTargetText, kTxtSeedPN, kReceiveText, nullptr},
    {kTxFilter, "FILTER TYPE", kTargetList, kCmbFilTyp, kReceiveInteger, nullptr},
    {kTxFilter, "ROLL OFF", kTargetText, kTxtFiltAlpha, kReceiveReal, "###0.0#"},
    {kTxFilter, "CUT OFF", kTargetText, kTxtFCut, kReceiveReal, "###0.0#####"},
    {kTxFilter, "TR VALUE", kTargetText, kTxtWinTR, kReceiveReal, "###0.0#####"},
    {kTxFilter, "FILTER LENGTH", kTargetText, kTxtFiltLeng, kReceiveInteger, nullptr},
    {kTxFilter, "OVER SAMPL", kTargetList, kCmbOverSamp, kReceiveInteger, nullptr},
    {kTxFilter, "IQ INVERSE", kTargetList, kCmbIQInv, kReceiveInteger, nullptr},
    {kDeterioration, "NOISE TYPE", kTargetOption, kOptNoise, kReceiveInteger, nullptr},
    {kDeterioration, "FREQUENCY OFFSET", kTargetOption, kOptFreqOfs, kReceiveInteger, nullptr},
    {kDeterioration, "FREQUENCY ERR", kTargetText, kTxtDFreq, kReceiveReal, "###0.0#####"},
    {kDeterioration, "IF CONVERSION", kTargetText, kTxtIf, kReceiveReal, "###0.0#####"},
    {kDeterioration, "DC OFFSET REAL", kTargetText, kTxtDcOffsetRe, kReceiveInteger, nullptr},
    {kDeterioration, "DC OFFSET IMAG", kTargetText, kTxtDcOffsetIm, kReceiveInteger, nullptr},
    {kDeterioration, "NOISE FREQ", kTargetText, kTxtNoiseFreq, kReceiveReal, "###0.0#####"},
    {kDeterioration, "NOISE DB", kTargetText, kTxtNoiseDB, kReceiveReal, "###0.0"},
    {kOthers, "SAMPLING RATE", kTargetLabel, 0, kReceiveText, nullptr},
};

// The deterioration section loads the frequency offset first and the noise type
// just before its two fields.
const int32_t kIniLoadOrder[kIniKeyCount] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                             12, 13, 15, 16, 17, 18, 19, 14, 20, 21, 22};

void LoadPrmIniEntry(const IniFile& ini, int32_t k, FieldValues& v) {
    const IniKey& e = kIniKeys[k];
    int32_t n = 0;
    double x = 0.0;
    std::string s;
    if (e.receiver == kReceiveInteger) {
        IniReadValue(ini, e.section, e.key, n);
    } else if (e.receiver == kReceiveReal) {
        IniReadValue(ini, e.section, e.key, x);
    } else {
        IniReadValue(ini, e.section, e.key, s);
    }

    switch (e.target) {
        case kTargetList:
            v.list[e.control] = (n >= -1 && n < kLists[e.control].count) ? n : 0;
            break;
        case kTargetOption:
            v.option[e.control] = (n >= 0 && n < kOptionsPerGroup) ? n : 0;
            break;
        case kTargetText:
            if (e.receiver == kReceiveInteger) {
                v.text[e.control] = e.pattern ? FormatPattern(n, e.pattern) : std::to_string(n);
            } else if (e.receiver == kReceiveReal) {
                v.text[e.control] = FormatPattern(x, e.pattern);
            } else {
                v.text[e.control] = TrimBlanks(s);
            }
            break;
        default:
            v.samp_rate_caption = TrimBlanks(s);
            break;
    }
}

void LoadPrmIni(const std::string& path, FieldValues& v) {
    IniFile ini;
    IniLoad(path, ini);
    for (int32_t i = 0; i < kIniKeyCount; ++i) LoadPrmIniEntry(ini, kIniLoadOrder[i], v);
}

IniStatus SavePrmIni(const std::string& path, const FieldValues& v, int& err) {
    IniFile ini;
    IniLoad(path, ini);
    for (const IniKey& e : kIniKeys) {
        switch (e.target) {
            case kTargetList:
                IniWriteValue(ini, e.section, e.key, std::to_string(v.list[e.control]));
                break;
            case kTargetOption:
                IniWriteValue(ini, e.section, e.key, std::to_string(v.option[e.control]));
                break;
            case kTargetText:
                IniWriteValue(ini, e.section, e.key, v.text[e.control]);
                break;
            default:
                IniWriteValue(ini, e.section, e.key, v.samp_rate_caption);
                break;
        }
    }
    return IniStore(ini, path, err);
}

IniStatus SavePrmIni(const std::string& path, const FieldValues& v) {
    int err = 0;
    return SavePrmIni(path, v, err);
}
