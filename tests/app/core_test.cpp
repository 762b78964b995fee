// The Qt-free core that the window and the command-line generator share:
// number reading and display patterns, the filters and checks on texts that
// typing cannot produce, Get_Params failures, derived captions, message texts
// and the INI entry access. Runs under a German locale to prove "." everywhere.
#include <QLocale>
#include <QTemporaryDir>
#include <QTest>

#include <clocale>
#include <cmath>

#include "MainFormCore.h"
#include "mdlIniFileIo.h"
#include "mdlPrmInput.h"
#include "num_text.h"
#include "window_driver.h"

Q_DECLARE_METATYPE(std::string)

namespace {

std::string Std(const QString& s) { return s.toStdString(); }

// Applies a filter the way the window does (each correction re-filtered at
// once) and counts the rejects, which are the beeps.
std::u32string FilterUntilStable(int32_t field, std::u32string text, int& rejects) {
    rejects = 0;
    for (;;) {
        std::u32string corrected;
        int32_t action = FilterField(field, text, corrected);
        if (action == kFilterKeep) return text;
        if (action == kFilterReject) ++rejects;
        text = corrected;
    }
}

}  // namespace

class CoreTest : public QObject {
    Q_OBJECT

    std::string savedLocale_;

private slots:
    void initTestCase() {
        savedLocale_ = std::setlocale(LC_ALL, nullptr);
        if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
            qWarning("de_DE.UTF-8 not installed: only the Qt default locale is German");
        } else {
            QCOMPARE(std::localeconv()->decimal_point, ",");
        }
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    }

    void cleanupTestCase() {
        std::setlocale(LC_ALL, savedLocale_.c_str());
        QLocale::setDefault(QLocale::c());
    }

    void displayPatterns_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("expected");
        QTest::newRow("one decimal kept") << 21.4 << "###0.0#####" << "21.4";
        QTest::newRow("integer gets .0") << 3.0 << "###0.0#####" << "3.0";
        QTest::newRow("six decimals rounded") << 1.23456789 << "###0.0#####" << "1.234568";
        QTest::newRow("trailing zeros dropped") << 12.345678 << "###0.0#####" << "12.345678";
        QTest::newRow("no grouping") << 1000000.0 << "###0" << "1000000";
        QTest::newRow("always one decimal") << 7.0 << "#0.0" << "7.0";
        QTest::newRow("negative integer") << -12.0 << "###0" << "-12";
        QTest::newRow("exact half up") << 2.5 << "###0" << "3";
        QTest::newRow("exact half negative") << -2.5 << "###0" << "-3";
        QTest::newRow("exact half of 0.01") << 0.125 << "###0.00" << "0.13";
        QTest::newRow("0.015 is below the half") << 0.015 << "###0.00" << "0.01";
        QTest::newRow("0.005 is above the half") << 0.005 << "###0.00" << "0.01";
        QTest::newRow("9.995 lies below the half") << 9.995 << "##0.00" << "9.99";
        QTest::newRow("carry into the integer part") << 9.9996 << "##0.00" << "10.00";
        QTest::newRow("roll-off one decimal") << 0.5 << "###0.0#" << "0.5";
        QTest::newRow("roll-off two decimals") << 0.25 << "###0.0#" << "0.25";
        QTest::newRow("two fixed decimals") << 0.5 << "###0.00" << "0.50";
        QTest::newRow("negative zero after rounding") << -0.01 << "###0.0" << "0.0";
        QTest::newRow("zero") << 0.0 << "###0.0#####" << "0.0";
        QTest::newRow("crest pattern") << 12.3456789 << "#0.0#####" << "12.345679";
        QTest::newRow("crest pattern integer") << 7.0 << "#0.0#####" << "7.0";
        QTest::newRow("tiny rounds to zero") << 1e-300 << "###0.0#####" << "0.0";
    }

    void displayPatterns() {
        QFETCH(double, value);
        QFETCH(QString, pattern);
        QFETCH(QString, expected);
        QCOMPARE(QString::fromStdString(FormatPattern(value, Std(pattern))), expected);
    }

    void hugeValueWritesAllItsDigits() {
        const std::string s = FormatPattern(1e300, "###0");
        QCOMPARE(s.size(), size_t(301));
        QCOMPARE(s.substr(0, 4), std::string("1000"));
    }

    void leadingNumber_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("expected");
        QTest::newRow("stops at letters") << "12abc" << 12.0;
        QTest::newRow("blanks skipped anywhere") << " 1 2\t3\n" << 123.0;
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("minus alone") << "-" << 0.0;
        QTest::newRow("point alone") << "." << 0.0;
        QTest::newRow("second point stops") << "1.2.3" << 1.2;
        QTest::newRow("exponent") << "1e3" << 1000.0;
        QTest::newRow("exponent without digits") << "1e" << 1.0;
        QTest::newRow("negative exponent") << "25E-1" << 2.5;
        QTest::newRow("second sign stops") << "--5" << 0.0;
        QTest::newRow("leading zeros") << "-0012" << -12.0;
        QTest::newRow("comma stops") << "1,5" << 1.0;
        QTest::newRow("control character stops") << "1\x01" "2" << 1.0;
        QTest::newRow("plus sign") << "+5" << 5.0;
        QTest::newRow("fraction only") << ".5" << 0.5;
        QTest::newRow("underflow") << "1e-400" << 0.0;
    }

    void leadingNumber() {
        QFETCH(QString, text);
        QFETCH(double, expected);
        QCOMPARE(ReadLeadingNumber(Std(text)), expected);
    }

    void leadingNumberOverflowIsInfinite() {
        QVERIFY(std::isinf(ReadLeadingNumber(std::string(400, '9'))));
        QVERIFY(ReadLeadingNumber("-" + std::string(400, '9')) < 0);
        QVERIFY(std::isinf(ReadLeadingNumber("1e999999999999999")));
    }

    void strictNumber_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<double>("expected");
        QTest::newRow("plain") << "0.50" << true << 0.5;
        QTest::newRow("outer blanks") << " 12 " << true << 12.0;
        QTest::newRow("negative fraction") << "-.5" << true << -0.5;
        QTest::newRow("exponent") << "1.5e2" << true << 150.0;
        QTest::newRow("empty") << "" << false << 0.0;
        QTest::newRow("point alone") << "." << false << 0.0;
        QTest::newRow("two points") << "1.2.3" << false << 0.0;
        QTest::newRow("letters") << "abc" << false << 0.0;
        QTest::newRow("trailing letter") << "12x" << false << 0.0;
        QTest::newRow("comma") << "0,5" << false << 0.0;
        QTest::newRow("exponent without digits") << "1e" << false << 0.0;
        QTest::newRow("too large") << "1e400" << false << 0.0;
    }

    void strictNumber() {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QFETCH(double, expected);
        double v = -1.0;
        QCOMPARE(ReadStrictNumber(Std(text), v), ok);
        QCOMPARE(v, expected);
    }

    void strictInteger_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("expected");
        QTest::newRow("plain") << "191" << true << 191;
        QTest::newRow("half to even up") << "191.5" << true << 192;
        QTest::newRow("half to even down") << "190.5" << true << 190;
        QTest::newRow("negative half") << "-2.5" << true << -2;
        QTest::newRow("above half") << "2.51" << true << 3;
        QTest::newRow("exponent") << "1e3" << true << 1000;
        QTest::newRow("hex FFFF") << "&HFFFF" << true << 65535;
        QTest::newRow("hex 32-bit pattern") << "&HFFFFFFFF" << true << -1;
        QTest::newRow("hex nine digits") << "&H123456789" << false << 0;
        QTest::newRow("hex bad digit") << "&HG" << false << 0;
        QTest::newRow("hex blank inside") << "&H FF" << false << 0;
        QTest::newRow("largest") << "2147483647" << true << 2147483647;
        QTest::newRow("beyond int32") << "2147483648" << false << 0;
        QTest::newRow("rounds beyond int32") << "2147483647.5" << false << 0;
        QTest::newRow("smallest") << "-2147483648" << true << int(INT32_MIN);
        QTest::newRow("letters") << "abc" << false << 0;
        QTest::newRow("empty") << "" << false << 0;
    }

    void strictInteger() {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QFETCH(int, expected);
        int32_t v = -7;
        QCOMPARE(ReadStrictInteger(Std(text), v), ok);
        QCOMPARE(v, expected);
    }

    void roundToInt32Saturates() {
        QCOMPARE(RoundToInt32(0.5), 0);
        QCOMPARE(RoundToInt32(1.5), 2);
        QCOMPARE(RoundToInt32(-1.5), -2);
        QCOMPARE(RoundToInt32(HUGE_VAL), INT32_MAX);
        QCOMPARE(RoundToInt32(-HUGE_VAL), INT32_MIN);
        QCOMPARE(RoundToInt32(NAN), 0);
    }

    void filters_data() {
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("beeps");
        QTest::newRow("plus comma e E space") << int(kTxtDFreq) << "+1,e E 2" << "12" << 6;
        QTest::newRow("cut-back drops the rest") << int(kTxtFiltAlpha) << "1.23456" << "1.24" << 0;
        QTest::newRow("control characters pass") << int(kTxtnOFDM) << "1\x01" "2" << "1\x01" "2" << 0;
        QTest::newRow("control character counts as decimal") << int(kTxtWinTR) << "1.\x01" "5" << "1.5" << 0;
        QTest::newRow("non-ASCII") << int(kTxtnOFDM) << "1\u00e9\u20ac2" << "12" << 2;
        QTest::newRow("hex slash and blank") << int(kTxtSeedPN) << "1/ 2" << "12" << 2;
        QTest::newRow("hex non-ASCII") << int(kTxtSeedPN) << "A\u00c4" << "A" << 1;
    }

    void filters() {
        QFETCH(int, field);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QFETCH(int, beeps);
        int rejects = 0;
        const std::u32string out = FilterUntilStable(field, text.toStdU32String(), rejects);
        QCOMPARE(QString::fromStdU32String(out), expected);
        QCOMPARE(rejects, beeps);
    }

    void checks_data() {
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<float>("fs");
        QTest::addColumn<QString>("expected");
        const float fs160 = 160000000.0f;
        QTest::newRow("bound stays") << int(kTxtWinTR) << "2" << fs160 << "2.0";
        QTest::newRow("sine at 200 Msps") << int(kTxtNoiseFreq) << "95" << 200000000.0f << "90.0";
        QTest::newRow("too large negative") << int(kTxtDcOffsetIm) << "-" + QString(400, QLatin1Char('9')) << fs160
                                            << "-100";
        QTest::newRow("control character ends the number") << int(kTxtnOFDM) << "1\x01" "5" << fs160 << "1";
        QTest::newRow("hex control character ends") << int(kTxtSeedPN) << "A\x01" "B" << fs160 << "A";
        QTest::newRow("hex only a control character") << int(kTxtSeedPN) << "\x01" << fs160 << "1";
        QTest::newRow("hex above FFFFFF") << int(kTxtSeedPN) << "1000000" << fs160 << "FFFFFF";
        QTest::newRow("hex negative pattern") << int(kTxtSeedPN) << "FFFFFFFF" << fs160 << "1";
        QTest::newRow("hex beyond 32 bits") << int(kTxtSeedPN) << "123456789" << fs160 << "FFFFFF";
        QTest::newRow("hex non-hex from a file") << int(kTxtSeedPN) << "XYZ" << fs160 << "1";
    }

    void checks() {
        QFETCH(int, field);
        QFETCH(QString, text);
        QFETCH(float, fs);
        QFETCH(QString, expected);
        QCOMPARE(QString::fromStdString(CheckField(field, Std(text), fs)), expected);
    }

    void everyCheckOutputPassesItsFilter() {
        const char* samples[] = {"", "0", "-5", "1e5", "123456.7654321", "-99999", "0.005", "abc"};
        for (int32_t field = 0; field < kTextFieldCount; ++field) {
            for (const char* s : samples) {
                const std::string out = CheckField(field, s, 160000000.0f);
                std::u32string corrected;
                QString in = QString::fromStdString(out);
                QCOMPARE(FilterField(field, in.toStdU32String(), corrected), int32_t(kFilterKeep));
            }
        }
    }

    // The one-pass cleaning gives what filtering each correction again gives.
    void cleaningInOnePassEqualsRepeatedFiltering_data() {
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("beeps");
        QTest::newRow("letters between digits") << int(kTxtnOFDM) << "a1b2" << "12" << 2;
        QTest::newRow("minus after a rejected start") << int(kTxtDcOffsetRe) << "x-5" << "-5" << 1;
        QTest::newRow("second minus") << int(kTxtDcOffsetRe) << "--5-" << "-5" << 2;
        QTest::newRow("second point") << int(kTxtFCut) << "1.2.3.4" << "1.234" << 2;
        QTest::newRow("cut-back ends the text") << int(kTxtFiltAlpha) << "0.1234x5" << "0.13" << 0;
        QTest::newRow("reject then cut-back") << int(kTxtFiltAlpha) << "x0.12y3" << "0.13" << 2;
        QTest::newRow("multi-line") << int(kTxtnOFDM) << "1\n2\r\n3" << "1\n2\r\n3" << 0;
        QTest::newRow("point in 0 decimals") << int(kTxtnOFDM) << "1.5." << "15" << 2;
        QTest::newRow("hex rejects and length") << int(kTxtSeedPN) << "g12h3456789" << "123457" << 2;
        QTest::newRow("kept") << int(kTxtIf) << "-12.5" << "-12.5" << 0;
        QTest::newRow("empty") << int(kTxtIf) << "" << "" << 0;
    }

    void cleaningInOnePassEqualsRepeatedFiltering() {
        QFETCH(int, field);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QFETCH(int, beeps);
        std::u32string cleaned;
        int32_t rejects = -1;
        const bool changed = CleanField(field, text.toStdU32String(), cleaned, rejects);
        QCOMPARE(QString::fromStdU32String(cleaned), expected);
        QCOMPARE(int(rejects), beeps);
        QCOMPARE(changed, expected != text);
        int repeatedBeeps = 0;
        QCOMPARE(QString::fromStdU32String(FilterUntilStable(field, text.toStdU32String(), repeatedBeeps)), expected);
        QCOMPARE(repeatedBeeps, beeps);
    }

    // The same over many random texts of the characters the filters care about, in every field.
    void cleaningEqualsFilteringOnRandomTexts() {
        const std::u32string alphabet = U"0123456789.-+, aAfFgZ/\n\u00e9";
        uint32_t state = 12345;
        for (int round = 0; round < 4000; ++round) {
            std::u32string text;
            const int length = static_cast<int>((state >> 8) % 24);
            for (int i = 0; i < length; ++i) {
                state = state * 1664525u + 1013904223u;
                text += alphabet[(state >> 16) % alphabet.size()];
            }
            state = state * 1664525u + 1013904223u;
            const int32_t field = static_cast<int32_t>((state >> 16) % kTextFieldCount);
            std::u32string cleaned;
            int32_t rejects = 0;
            CleanField(field, text, cleaned, rejects);
            int beeps = 0;
            const std::u32string filtered = FilterUntilStable(field, text, beeps);
            if (cleaned != filtered || rejects != beeps) {
                QFAIL(qPrintable(QStringLiteral("field %1, \"%2\": \"%3\" (%4 beeps), filtering \"%5\" (%6)")
                                     .arg(field)
                                     .arg(QString::fromStdU32String(text), QString::fromStdU32String(cleaned))
                                     .arg(rejects)
                                     .arg(QString::fromStdU32String(filtered))
                                     .arg(beeps)));
            }
        }
    }

    void getParamsReportsTheFirstFieldThatIsNoNumber_data() {
        QTest::addColumn<QStringList>("texts");  // seed, taps, roll-off, cut-off
        QTest::addColumn<int>("filterType");
        QTest::addColumn<int>("badField");
        QTest::addColumn<QString>("message");          // the box's text for the field
        QTest::addColumn<QString>("disabledMessage");  // the same while the field is disabled
        QTest::newRow("empty seed") << QStringList{"", "191", "0.25", "0.0"} << 0 << int(kTxtSeedPN)
                                    << "Seed PN is not a number."
                                    << "Seed PN is not a number.\r\nIt can be edited with \"Data\" PN9, PN15, "
                                       "PN19, PN20 or PN23.";
        QTest::newRow("seed not hex") << QStringList{"XY", "191", "0.25", "0.0"} << 0 << int(kTxtSeedPN)
                                      << "Seed PN is not a number."
                                      << "Seed PN is not a number.\r\nIt can be edited with \"Data\" PN9, PN15, "
                                         "PN19, PN20 or PN23.";
        QTest::newRow("seed nine digits") << QStringList{"123456789", "1", "0.25", "0.0"} << 0 << int(kTxtSeedPN)
                                          << "Seed PN is not a number."
                                          << "Seed PN is not a number.\r\nIt can be edited with \"Data\" PN9, "
                                             "PN15, PN19, PN20 or PN23.";
        QTest::newRow("taps") << QStringList{"1", "", "x", "0.0"} << 0 << int(kTxtFiltLeng)
                              << "Filter Length is not a number."
                              << "Filter Length is not a number.\r\nIt can be edited with \"Filter Type\" Nyquist.";
        QTest::newRow("roll-off") << QStringList{"1", "5", "", ""} << 0 << int(kTxtFiltAlpha)
                                  << "Roll Off is not a number."
                                  << "Roll Off is not a number.\r\nIt can be edited with \"Filter Type\" Nyquist.";
        QTest::newRow("cut-off with Nyquist") << QStringList{"1", "5", "0.5", ""} << 1 << int(kTxtFCut)
                                              << "Cut Off is not a number."
                                              << "Cut Off is not a number.\r\nIt can be edited with "
                                                 "\"Filter Type\" Nyquist.";
        QTest::newRow("cut-off ignored with Rectangle") << QStringList{"1", "5", "0.5", ""} << 0 << -1 << "" << "";
    }

    void getParamsReportsTheFirstFieldThatIsNoNumber() {
        QFETCH(QStringList, texts);
        QFETCH(int, filterType);
        QFETCH(int, badField);
        QFETCH(QString, message);
        QFETCH(QString, disabledMessage);
        FieldValues v;
        DefaultFieldValues(v);
        v.list[kCmbFilTyp] = filterType;
        v.text[kTxtSeedPN] = Std(texts[0]);
        v.text[kTxtFiltLeng] = Std(texts[1]);
        v.text[kTxtFiltAlpha] = Std(texts[2]);
        v.text[kTxtFCut] = Std(texts[3]);
        WaveParams rec{};
        rec.papr = 1.5;
        rec.ofdm_symbols = -9;
        int32_t bad = 99;
        const int32_t result = Get_Params(v, rec, bad);
        QCOMPARE(bad, badField);
        if (badField >= 0) {
            QCOMPARE(result, int32_t(kParamsNotANumber));
            QCOMPARE(rec.ofdm_symbols, -9);  // record untouched
            QCOMPARE(QString::fromStdString(NotANumberText(bad)), message);
            QCOMPARE(QString::fromStdString(NotANumberText(bad, true)), disabledMessage);
        } else {
            QCOMPARE(result, int32_t(kParamsOk));
            QCOMPARE(rec.ofdm_symbols, 100);
        }
        QCOMPARE(rec.papr, 1.5);  // output fields never touched
    }

    void getParamsNoSelectionAndOutOfRangeTexts() {
        FieldValues v;
        DefaultFieldValues(v);
        for (int32_t& index : v.list) index = -1;
        v.option[kOptFreqOfs] = kNoOption;
        v.option[kOptNoise] = kNoOption;
        v.text[kTxtnOFDM] = std::string(400, '9');
        v.text[kTxtDFreq] = std::string("5");
        v.text[kTxtFCut] = std::string("2");
        WaveParams rec{};
        int32_t bad = 0;
        QCOMPARE(Get_Params(v, rec, bad), int32_t(kParamsOk));
        QCOMPARE(rec.rate_index, -1);
        QCOMPARE(rec.oversampling, 3);
        QCOMPARE(rec.filter_cutoff, 2.0 * 1000000.0);  // -1 is not "Rectangle": the cut-off is read
        QCOMPARE(rec.ofdm_symbols, INT32_MAX);
        QCOMPARE(rec.freq_error_enable + rec.if_enable + rec.noise_enable + rec.sine_enable, 0);
        QCOMPARE(rec.freq_error, 0.0);
        QCOMPARE(rec.pn_seed, 0xFFFF);
    }

    void derivedCaptions_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("taps");
        QTest::addColumn<QString>("rate");
        QTest::addColumn<QString>("length");
        QTest::newRow("defaults") << 4 << "191" << "160 Msps" << "( 1.19 usec)";
        QTest::newRow("factor 4") << 0 << "191" << "80 Msps" << "( 2.39 usec)";
        QTest::newRow("1000 taps") << 0 << "1000" << "80 Msps" << "( 12.50 usec)";
        QTest::newRow("1 tap") << 0 << "1" << "80 Msps" << "( 0.01 usec)";
        QTest::newRow("no number") << 6 << "x" << "200 Msps" << "( 0.00 usec)";
        QTest::newRow("factor 7") << 3 << "191" << "140 Msps" << "( 1.36 usec)";
    }

    void derivedCaptions() {
        QFETCH(int, index);
        QFETCH(QString, taps);
        QFETCH(QString, rate);
        QFETCH(QString, length);
        QCOMPARE(QString::fromStdString(SamplingRateCaption(SamplingRate(index))), rate);
        QCOMPARE(QString::fromStdString(FilterLengthCaption(FilterLengthTime(Std(taps), index))), length);
    }

    void messageTexts() {
        QCOMPARE(ErrorBoxText(0, 4), std::string("GUI Error Code : 0\r\nDLL Return Code(Hex) : 4"));
        QCOMPARE(ErrorBoxText(2, static_cast<int32_t>(0x80008000u)),
                 std::string("GUI Error Code : 2\r\nDLL Return Code(Hex) : 80008000"));
        QCOMPARE(ErrorBoxText(13, -1), std::string("GUI Error Code : 13\r\nDLL Return Code(Hex) : FFFFFFFF"));
        QCOMPARE(ErrorBoxText(0, 0x1A), std::string("GUI Error Code : 0\r\nDLL Return Code(Hex) : 1A"));
        QCOMPARE(CrestBoxText(10.5, 3.25, 3.125),
                 std::string("\r\nRF crest factor     :  10.5\r\n I  sig crest factor :  3.25\r\n"
                             " Q sig crest factor :  3.125\r\n"));
        QCOMPARE(CrestBoxText(12.3456789, 7.0, 0.0),
                 std::string("\r\nRF crest factor     :  12.345679\r\n I  sig crest factor :  7.0\r\n"
                             " Q sig crest factor :  0.0\r\n"));
    }

    void iniRead() {
        QTemporaryDir dir;
        const std::string path = Std(dir.filePath(QStringLiteral("PrmOrvane.ini")));
        int32_t n = 5;
        double x = 5.0;
        std::string s = "old";
        QCOMPARE(IniReadValue("SET UP", "DATA RATE", path, n), IniStatus::kFailed);  // no file
        QCOMPARE(n, 0);
        WriteFile(QString::fromStdString(path),
                  "; settings\n[set up]\ndata rate = 3 \nEMPTY=\nBAD=abc\nHALF=2.5\nHEX=&H10\n"
                  "[TX FILTER]\nCUT OFF=12.345678\nROLL=0,5\nLONG=" +
                      QByteArray(300, 'x') + "\n[OTHERS]\nSAMPLING RATE=  160 Msps  \n");
        QCOMPARE(IniReadValue("SET UP", "DATA RATE", path, n), IniStatus::kOk);
        QCOMPARE(n, 3);
        QCOMPARE(IniReadValue("set up", "Data Rate", path, n), IniStatus::kOk);
        QCOMPARE(n, 3);
        QCOMPARE(IniReadValue("SET UP", "EMPTY", path, s), IniStatus::kFailed);
        QCOMPARE(s, std::string());
        QCOMPARE(IniReadValue("SET UP", "MISSING", path, n), IniStatus::kFailed);
        QCOMPARE(n, 0);
        QCOMPARE(IniReadValue("NO SECTION", "DATA RATE", path, s), IniStatus::kFailed);
        n = 9;
        QCOMPARE(IniReadValue("SET UP", "BAD", path, n), IniStatus::kFailed);
        QCOMPARE(n, 0);
        QCOMPARE(IniReadValue("SET UP", "HALF", path, n), IniStatus::kOk);
        QCOMPARE(n, 2);
        QCOMPARE(IniReadValue("SET UP", "HEX", path, n), IniStatus::kOk);
        QCOMPARE(n, 16);
        QCOMPARE(IniReadValue("TX FILTER", "CUT OFF", path, x), IniStatus::kOk);
        QCOMPARE(x, 12.345678);
        x = 1.0;
        QCOMPARE(IniReadValue("TX FILTER", "ROLL", path, x), IniStatus::kFailed);  // "," is no decimal point, whatever the locale
        QCOMPARE(x, 0.0);
        QCOMPARE(IniReadValue("TX FILTER", "LONG", path, s), IniStatus::kOk);
        QCOMPARE(s.size(), size_t(254));
        QCOMPARE(IniReadValue("OTHERS", "SAMPLING RATE", path, s), IniStatus::kOk);
        QCOMPARE(s, std::string("160 Msps"));
    }

    void iniWrite() {
        QTemporaryDir dir;
        const QString qpath = dir.filePath(QStringLiteral("PrmOrvane.ini"));
        const std::string path = Std(qpath);
        QCOMPARE(IniWriteValue("SET UP", "DATA RATE", path, 5), IniStatus::kOk);
        QCOMPARE(IniWriteValue("SET UP", "PN SEED", path, std::string("FFFF")), IniStatus::kOk);
        QCOMPARE(IniWriteValue("OTHERS", "SAMPLING RATE", path, std::string("160 Msps")), IniStatus::kOk);
        QCOMPARE(IniWriteValue("SET UP", "OFDM LENGTH", path, std::string()), IniStatus::kOk);
        QCOMPARE(ReadAll(qpath), QByteArray("[SET UP]\nDATA RATE=5\nPN SEED=FFFF\nOFDM LENGTH=\n"
                                            "[OTHERS]\nSAMPLING RATE=160 Msps\n"));
        // Replacing a value keeps every other line, comments and foreign entries included.
        WriteFile(qpath, "; kept\n[Set Up]\nData Rate=1\nEXTRA=x\n\n[MINE]\nA=b\n");
        QCOMPARE(IniWriteValue("SET UP", "DATA RATE", path, 7), IniStatus::kOk);
        const QByteArray text = ReadAll(qpath);
        QVERIFY2(text.contains("; kept"), text.constData());
        QVERIFY2(text.contains("Data Rate=7"), text.constData());
        QVERIFY2(text.contains("EXTRA=x"), text.constData());
        QVERIFY2(text.contains("[MINE]\nA=b"), text.constData());
        QVERIFY(!text.contains("Data Rate=1"));
        // A folder that does not exist: the write fails and says so.
        QCOMPARE(IniWriteValue("SET UP", "DATA RATE", Std(dir.filePath(QStringLiteral("no/such.ini"))), 1), IniStatus::kFailed);
    }

    void existenceTest() {
        QTemporaryDir dir;
        QVERIFY(!PathExists(Std(dir.filePath(QStringLiteral("none.ini")))));
        QVERIFY(!PathExists(Std(dir.path())));  // a folder is no file
        WriteFile(dir.filePath(QStringLiteral("a.ini")), "");
        QVERIFY(PathExists(Std(dir.filePath(QStringLiteral("a.ini")))));
        IniFile ini;
        QVERIFY(IniLoad(Std(dir.filePath(QStringLiteral("a.ini"))), ini));
        QVERIFY(IniLoad(Std(dir.filePath(QStringLiteral("none.ini"))), ini));  // missing: readable, empty
        QVERIFY(!IniLoad(Std(dir.path()), ini));  // a folder cannot be read as a file
    }
};

QTEST_MAIN(CoreTest)
#include "core_test.moc"
