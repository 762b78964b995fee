// The main window driven by keys, focus moves, list selections and clicks:
// contents and layout, keystroke filters, range checks, interlocks, derived
// labels, the defaults button and the record Get_Params fills.
#include <QApplication>
#include <QClipboard>
#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QTemporaryDir>
#include <QTest>

#include <clocale>
#include <cstddef>

#include "window_driver.h"

namespace {

// Applies steps "kind:Name=value" separated by ";" as a person would:
// list (select entry), opt (click option), type (type over and leave the
// field), keys (type over without leaving), end (type at the end, stay).
void Apply(MainForm& f, const QString& steps) {
    for (const QString& step : steps.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString kind = step.section(QLatin1Char(':'), 0, 0);
        const QString rest = step.section(QLatin1Char(':'), 1);
        const QByteArray name = rest.section(QLatin1Char('='), 0, 0).toLatin1();
        const QString value = rest.section(QLatin1Char('='), 1);
        if (kind == QLatin1String("list")) {
            SelectEntry(List(f, name.constData()), value.toInt());
        } else if (kind == QLatin1String("opt")) {
            ClickOption(Option(f, name.constData(), value.toInt()));
        } else if (kind == QLatin1String("type")) {
            TypeOver(Field(f, name.constData()), value);
            Leave(Field(f, name.constData()));
        } else if (kind == QLatin1String("keys")) {
            TypeOver(Field(f, name.constData()), value);
        } else if (kind == QLatin1String("end")) {
            TypeAtEnd(Field(f, name.constData()), value);
        } else {
            qFatal("bad step %s", qPrintable(step));
        }
    }
}

// The record's fields by name, for table-driven comparisons.
struct RecordField {
    const char* name;
    size_t offset;
    bool is_int;
};

const RecordField kRecordFields[] = {
    {"burst_off_time", offsetof(WaveParams, burst_off_time), false},
    {"window_tr", offsetof(WaveParams, window_tr), false},
    {"filter_cutoff", offsetof(WaveParams, filter_cutoff), false},
    {"filter_rolloff", offsetof(WaveParams, filter_rolloff), false},
    {"freq_error", offsetof(WaveParams, freq_error), false},
    {"if_freq", offsetof(WaveParams, if_freq), false},
    {"dc_offset_re", offsetof(WaveParams, dc_offset_re), false},
    {"dc_offset_im", offsetof(WaveParams, dc_offset_im), false},
    {"noise_level", offsetof(WaveParams, noise_level), false},
    {"sine_freq", offsetof(WaveParams, sine_freq), false},
    {"sine_level", offsetof(WaveParams, sine_level), false},
    {"frame_format", offsetof(WaveParams, frame_format), true},
    {"burst_enable", offsetof(WaveParams, burst_enable), true},
    {"rate_index", offsetof(WaveParams, rate_index), true},
    {"ofdm_symbols", offsetof(WaveParams, ofdm_symbols), true},
    {"pn_seed", offsetof(WaveParams, pn_seed), true},
    {"data_pattern", offsetof(WaveParams, data_pattern), true},
    {"oversampling", offsetof(WaveParams, oversampling), true},
    {"reserved", offsetof(WaveParams, reserved), true},
    {"filter_taps", offsetof(WaveParams, filter_taps), true},
    {"iq_inverse", offsetof(WaveParams, iq_inverse), true},
    {"freq_error_enable", offsetof(WaveParams, freq_error_enable), true},
    {"if_enable", offsetof(WaveParams, if_enable), true},
    {"noise_enable", offsetof(WaveParams, noise_enable), true},
    {"sine_enable", offsetof(WaveParams, sine_enable), true},
};

double ReadRecordField(const WaveParams& p, const QString& name) {
    for (const RecordField& f : kRecordFields) {
        if (name == QLatin1String(f.name)) {
            const char* base = reinterpret_cast<const char*>(&p) + f.offset;
            if (f.is_int) return *reinterpret_cast<const int32_t*>(base);
            return *reinterpret_cast<const double*>(base);
        }
    }
    qFatal("no record field %s", qPrintable(name));
}

// The fields whose enabled state the interlocks set, in the order of the
// expected-state strings below.
const char* const kInterlocked[] = {"txtBurstOff", "txtSeedPN", "TxtFiltLeng", "TxtFiltAlpha", "TxtFCut",
                                    "FilterLenUSec", "TxtDFreq", "TxtIf", "TxtNoiseFreq", "TxtNoiseDB"};

QString EnabledStates(MainForm& f) {
    QString s;
    for (const char* name : kInterlocked) {
        auto* w = f.findChild<QWidget*>(QString::fromLatin1(name));
        s += w->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
    }
    return s;
}

QStringList AllTexts(MainForm& f) {
    QStringList texts;
    for (QLineEdit* e : f.findChildren<QLineEdit*>()) texts << e->objectName() + QLatin1Char('=') + e->text();
    return texts;
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    Recorder rec_;
    std::unique_ptr<MainForm> form_;

    MainForm& f() { return *form_; }

    // Starts the window and then presses Make AWG File with a cancelling dialog,
    // which runs Get_Params and leaves the record behind.
    const WaveParams& RecordAfterCancel() {
        rec_.dialogPath.clear();
        ClickButton(Button(f(), "BtnMake", 0));
        return f().Params();
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        rec_ = Recorder();
        form_ = StartForm(dir_->path(), rec_);
    }

    void cleanup() { form_.reset(); }

    void captionsAndLists() {
        QCOMPARE(f().windowTitle(), QStringLiteral("Orvane Ver.1.2.0"));
        const QList<QPair<const char*, const char*>> frames = {{"Frm_Setup", "Set up"},
                                                                {"Frm_TxFillter", "Tx Filter"},
                                                                {"Frm_DtrrtFacter", "Deterioration Factor"},
                                                                {"FrmFreqOffset", "Frequency Offset"},
                                                                {"Frm_Noise", "Noise"}};
        for (const auto& [name, title] : frames) {
            auto* box = f().findChild<QGroupBox*>(QString::fromLatin1(name));
            QVERIFY2(box != nullptr, name);
            QCOMPARE(box->title(), QString::fromLatin1(title));
            QVERIFY(box->font().bold());
        }

        const QList<QPair<const char*, QStringList>> lists = {
            {"CmbRate",
             {" 6Mbps BPSK", " 9Mbps BPSK", "12Mbps QPSK", "18Mbps QPSK", "24Mbps 16QAM", "36Mbps 16QAM",
              "48Mbps 64QAM", "54Mbps 64QAM"}},
            {"CmbFormat", {"802.11a", "Free"}},
            {"CmbOverSamp", {" 4", " 5", " 6", " 7", " 8", " 9", " 10"}},
            {"CmbFilTyp", {"Rectangle", "Nyquist"}},
            {"CmbData", {"PN9", "PN15", "PN19", "PN20", "PN23", "ALL 0", "ALL 1"}},
            {"CmbIQInv", {"OFF", "ON"}},
            {"CmbBurst", {"OFF", "ON"}}};
        for (const auto& [name, entries] : lists) {
            QComboBox* list = List(f(), name);
            QStringList got;
            for (int i = 0; i < list->count(); ++i) got << list->itemText(i);
            QCOMPARE(got, entries);
            QVERIFY(!list->isEditable());
        }

        const QStringList freq = {"None", "Freq Error", "IF conversion"};
        const QStringList noise = {"None", "Sin", "Gauss"};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(Option(f(), "OptFreqOfs", i)->text(), freq[i]);
            QCOMPARE(Option(f(), "OptNoise", i)->text(), noise[i]);
        }

        QCOMPARE(Button(f(), "BtnMake", 0)->text(), QStringLiteral("Make AWG File"));
        QCOMPARE(Button(f(), "BtnMake", 1)->text(), QStringLiteral("Make Floating File"));
        QCOMPARE(Button(f(), "BtnDefSet")->text(), QStringLiteral("Set Defaults"));
        for (QPushButton* b : f().findChildren<QPushButton*>()) {
            QVERIFY(b->font().bold());
            QCOMPARE(b->font().pointSize(), 12);
        }

        QCOMPARE(Label(f(), "Lbl_Dtr_Title")->text(), QStringLiteral("DC Offset"));
        QCOMPARE(Label(f(), "Lbl_Dtr_Title")->property("index").toInt(), 1);
        QCOMPARE(Label(f(), "lblDCofsR_txt")->text(), QStringLiteral("Real"));
        QCOMPARE(Label(f(), "lblDCofsI_txt")->text(), QStringLiteral("Imag"));
        QCOMPARE(Label(f(), "LblSampRate_txt")->text(), QStringLiteral("Sampling Rate"));
        QCOMPARE(f().findChildren<QLabel*>(QStringLiteral("lbl_unit_pct")).size(), 2);

        // The ratio fields and the rate label exist but are never shown.
        for (const char* hidden : {"TxtIntRate", "TxtDecRate"}) {
            QLineEdit* e = Field(f(), hidden);
            QVERIFY(!e->isVisible());
            QCOMPARE(e->text(), QStringLiteral("1"));
        }
        QVERIFY(!Label(f(), "LblFiltRate")->isVisible());
        QCOMPARE(Label(f(), "LblFiltRate")->text(), QStringLiteral("0MHz"));
    }

    // Each row: caption on the left, control in the middle, unit on the right, on one level.
    void rowsOfCaptionControlUnit_data() {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("unit");
        const QList<QStringList> rows = {
            {"Frm_Setup", "Rate", "CmbRate", ""},
            {"Frm_Setup", "Format", "CmbFormat", ""},
            {"Frm_Setup", "Burst", "CmbBurst", ""},
            {"Frm_Setup", "Burst Off", "txtBurstOff", "usec"},
            {"Frm_Setup", "Data", "CmbData", ""},
            {"Frm_Setup", "Seed PN", "txtSeedPN", "(Hex)"},
            {"Frm_Setup", "OFDM Length", "TxtnOFDM", "Symbols"},
            {"Frm_Setup", "IQ Inverse", "CmbIQInv", ""},
            {"Frm_TxFillter", "Filter Type", "CmbFilTyp", ""},
            {"Frm_TxFillter", "Filter Length", "TxtFiltLeng", "Taps"},
            {"Frm_TxFillter", "Roll Off", "TxtFiltAlpha", ""},
            {"Frm_TxFillter", "Cut Off", "TxtFCut", "MHz"},
            {"Frm_TxFillter", "Window TR", "txtWinTR", "usec"},
            {"Frm_TxFillter", "Oversample", "CmbOverSamp", ""},
            {"Frm_TxFillter", "Sampling Rate", "LblSampRate", ""},
            {"FrmFreqOffset", "Freq Error", "TxtDFreq", "MHz"},
            {"FrmFreqOffset", "IF conversion", "TxtIf", "MHz"},
            {"Frm_DtrrtFacter", "Real", "TxtDcOffsetRe", "%"},
            {"Frm_DtrrtFacter", "Imag", "TxtDcOffsetIm", "%"},
            {"Frm_Noise", "", "TxtNoiseFreq", "MHz"},
            {"Frm_Noise", "", "TxtNoiseDB", "dB"},
        };
        for (const QStringList& r : rows) QTest::newRow(qPrintable(r[2])) << r[0] << r[1] << r[2] << r[3];
    }

    void rowsOfCaptionControlUnit() {
        QFETCH(QString, frame);
        QFETCH(QString, caption);
        QFETCH(QString, control);
        QFETCH(QString, unit);
        auto* box = f().findChild<QGroupBox*>(frame);
        QVERIFY(box != nullptr);
        QWidget* ctl = box->findChild<QWidget*>(control);
        QVERIFY(ctl != nullptr);
        const QRect c = ctl->geometry();
        auto findBeside = [&](const QString& text, bool left) -> QWidget* {
            for (QWidget* w : box->findChildren<QWidget*>()) {
                if (w->parentWidget() != ctl->parentWidget() || !w->isVisible()) continue;
                const QString t = qobject_cast<QLabel*>(w)       ? static_cast<QLabel*>(w)->text()
                                  : qobject_cast<QRadioButton*>(w) ? static_cast<QRadioButton*>(w)->text()
                                                                   : QString();
                const QRect g = w->geometry();
                const bool level = g.center().y() >= c.top() && g.center().y() <= c.bottom();
                const bool side = left ? g.right() < c.left() : g.left() > c.right();
                if (t == text && level && side) return w;
            }
            return nullptr;
        };
        if (!caption.isEmpty()) QVERIFY2(findBeside(caption, true) != nullptr, qPrintable(caption));
        if (!unit.isEmpty()) QVERIFY2(findBeside(unit, false) != nullptr, qPrintable(unit));
    }

    void layoutIsThreeEqualColumnsWithButtonsBeneath() {
        const char* frames[] = {"Frm_Setup", "Frm_TxFillter", "Frm_DtrrtFacter"};
        QPushButton* buttons[] = {Button(f(), "BtnMake", 0), Button(f(), "BtnMake", 1), Button(f(), "BtnDefSet")};
        QRect first = f().findChild<QGroupBox*>(QString::fromLatin1(frames[0]))->geometry();
        int previousRight = -1;
        for (int i = 0; i < 3; ++i) {
            const QRect g = f().findChild<QGroupBox*>(QString::fromLatin1(frames[i]))->geometry();
            QCOMPARE(g.top(), first.top());
            QCOMPARE(g.height(), first.height());
            QCOMPARE(g.width(), first.width());
            QVERIFY(g.left() > previousRight);
            previousRight = g.right();
            const QRect b = buttons[i]->geometry();
            QVERIFY(b.top() > g.bottom());
            QVERIFY(b.left() >= g.left() && b.right() <= g.right());
            QCOMPARE(b.width(), buttons[0]->width());
            QVERIFY(b.width() >= buttons[i]->sizeHint().width());
        }
        QVERIFY(f().rect().contains(buttons[2]->geometry()));

        // Inside every frame: nothing overlaps, nothing sticks out, no text is cut.
        for (QGroupBox* box : f().findChildren<QGroupBox*>()) {
            QList<QWidget*> kids;
            for (QObject* o : box->children()) {
                auto* w = qobject_cast<QWidget*>(o);
                if (w != nullptr && w->isVisible()) kids << w;
            }
            for (int i = 0; i < kids.size(); ++i) {
                QVERIFY2(box->rect().contains(kids[i]->geometry()), qPrintable(kids[i]->objectName()));
                QVERIFY2(kids[i]->width() >= kids[i]->minimumSizeHint().width(),
                         qPrintable(box->objectName() + QLatin1Char('/') + kids[i]->objectName()));
                if (auto* label = qobject_cast<QLabel*>(kids[i])) {
                    QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(label->text()));
                }
                for (int j = i + 1; j < kids.size(); ++j) {
                    QVERIFY2(!kids[i]->geometry().intersects(kids[j]->geometry()),
                             qPrintable(box->objectName() + QLatin1String(": ") + kids[i]->objectName() +
                                        QLatin1String(" / ") + kids[j]->objectName()));
                }
            }
        }
    }

    void firstStartShowsTheDefaults() {
        const QList<QPair<const char*, const char*>> texts = {
            {"txtSeedPN", "FFFF"},  {"txtBurstOff", "160"},  {"TxtnOFDM", "100"},   {"TxtFiltLeng", "191"},
            {"TxtFiltAlpha", "0.25"}, {"TxtFCut", "0.0"},    {"txtWinTR", "0.0"},   {"TxtDFreq", "0.0"},
            {"TxtDcOffsetRe", "0"}, {"TxtDcOffsetIm", "0"},  {"TxtIf", "0.0"},      {"TxtNoiseDB", "-40.0"},
            {"TxtNoiseFreq", "15.0"}};
        for (const auto& [name, text] : texts) QCOMPARE(Field(f(), name)->text(), QString::fromLatin1(text));
        QCOMPARE(List(f(), "CmbRate")->currentText(), QStringLiteral("36Mbps 16QAM"));
        QCOMPARE(List(f(), "CmbFormat")->currentIndex(), 0);
        QCOMPARE(List(f(), "CmbOverSamp")->currentText(), QStringLiteral(" 8"));
        QCOMPARE(List(f(), "CmbData")->currentText(), QStringLiteral("PN9"));
        QCOMPARE(List(f(), "CmbBurst")->currentText(), QStringLiteral("ON"));
        QCOMPARE(List(f(), "CmbIQInv")->currentText(), QStringLiteral("OFF"));
        QCOMPARE(List(f(), "CmbFilTyp")->currentText(), QStringLiteral("Rectangle"));
        QVERIFY(Option(f(), "OptFreqOfs", 0)->isChecked());
        QVERIFY(Option(f(), "OptNoise", 0)->isChecked());
        QCOMPARE(Label(f(), "LblSampRate")->text(), QStringLiteral("160 Msps"));
        QCOMPARE(Label(f(), "FilterLenUSec")->text(), QStringLiteral("( 1.19 usec)"));
        QCOMPARE(f().SamplingRateHz(), 160000000.0f);
        QCOMPARE(EnabledStates(f()), QStringLiteral("1100000000"));
        QCOMPARE(rec_.beeps, 0);
    }

    void keystrokeFilters_data() {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("beeps");
        QTest::newRow("minus only first") << "keys:TxtDcOffsetRe=1-2" << "TxtDcOffsetRe" << "12" << 1;
        QTest::newRow("double minus") << "keys:TxtDcOffsetRe=--5" << "TxtDcOffsetRe" << "-5" << 1;
        QTest::newRow("point in 0-decimal field") << "keys:TxtnOFDM=1.5" << "TxtnOFDM" << "15" << 1;
        QTest::newRow("second point") << "list:CmbFilTyp=1;keys:TxtFCut=1.2.3" << "TxtFCut" << "1.23" << 1;
        QTest::newRow("plus") << "keys:txtWinTR=+1" << "txtWinTR" << "1" << 1;
        QTest::newRow("comma") << "opt:OptNoise=1;keys:TxtNoiseDB=1,5" << "TxtNoiseDB" << "15" << 1;
        QTest::newRow("e") << "opt:OptFreqOfs=1;keys:TxtDFreq=1e5" << "TxtDFreq" << "15" << 1;
        QTest::newRow("E") << "opt:OptFreqOfs=2;keys:TxtIf=1E5" << "TxtIf" << "15" << 1;
        QTest::newRow("space") << "keys:txtBurstOff=1 5" << "txtBurstOff" << "15" << 1;
        QTest::newRow("slash decimal") << "keys:TxtDcOffsetIm=1/2" << "TxtDcOffsetIm" << "12" << 1;
        QTest::newRow("slash hex") << "keys:txtSeedPN=1/2" << "txtSeedPN" << "12" << 1;
        QTest::newRow("letters") << "opt:OptNoise=1;keys:TxtNoiseFreq=a1b2" << "TxtNoiseFreq" << "12" << 2;
        QTest::newRow("non-ASCII") << "keys:TxtnOFDM=1\u00e92" << "TxtnOFDM" << "12" << 1;
        QTest::newRow("2 decimals cut back") << "list:CmbFilTyp=1;end:TxtFiltAlpha=7" << "TxtFiltAlpha" << "0.27" << 0;
        QTest::newRow("1 decimal cut back") << "opt:OptNoise=2;end:TxtNoiseDB=5" << "TxtNoiseDB" << "-40.5" << 0;
        QTest::newRow("6 decimals cut back") << "list:CmbFilTyp=1;keys:TxtFCut=1.1234567" << "TxtFCut" << "1.123457" << 0;
        QTest::newRow("negative decimals") << "opt:OptFreqOfs=2;keys:TxtIf=-12.75" << "TxtIf" << "-12.75" << 0;
        QTest::newRow("hex G") << "end:txtSeedPN=G" << "txtSeedPN" << "FFFF" << 1;
        QTest::newRow("hex lower case stays") << "keys:txtSeedPN=abc" << "txtSeedPN" << "abc" << 0;
        QTest::newRow("hex seventh digit") << "keys:txtSeedPN=1234567" << "txtSeedPN" << "123457" << 0;
        QTest::newRow("hex A after FFFFFF") << "keys:txtSeedPN=FFFFFF;end:txtSeedPN=A" << "txtSeedPN" << "FFFFFA" << 0;
    }

    void keystrokeFilters() {
        QFETCH(QString, steps);
        QFETCH(QString, field);
        QFETCH(QString, expected);
        QFETCH(int, beeps);
        Apply(f(), steps);
        QLineEdit* e = Field(f(), field.toLatin1().constData());
        QCOMPARE(e->text(), expected);
        QCOMPARE(rec_.beeps, beeps);
        QVERIFY(e->hasFocus());
        QCOMPARE(e->cursorPosition(), int(e->text().size()));
    }

    void pastedTextIsCleanedCharacterByCharacter() {
        QApplication::clipboard()->setText(QStringLiteral("a1b2"));
        QLineEdit* e = Field(f(), "TxtnOFDM");
        QTest::mouseClick(e, Qt::LeftButton);
        QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(e, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(e->text(), QStringLiteral("12"));
        QCOMPARE(rec_.beeps, 2);
    }

    // A long paste is cleaned at once: the same text, one beep per removed
    // character, caret at the end and the focus kept (one nested call per
    // character used to overflow the stack near 10 000 characters).
    void longPasteIsCleanedAtOnce_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("pasted");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("beeps");
        QString mixed;
        for (int i = 0; i < 50000; ++i) mixed += QStringLiteral("a1");
        // A line edit holds at most 32767 characters: 16384 letters and 16383 digits arrive.
        QTest::newRow("100 000 characters") << "TxtnOFDM" << mixed << QString(16383, QLatin1Char('1')) << 16384;
        QTest::newRow("hex field, cut back") << "txtSeedPN" << QString(20000, QLatin1Char('g')) + QStringLiteral("123456789")
                                             << "123457" << 20000;
        // Line feeds are control characters, which the filter lets through.
        QTest::newRow("multi-line text") << "TxtnOFDM" << QStringLiteral("12\n34\nab\n") << "12\n34\n\n" << 2;
    }

    void longPasteIsCleanedAtOnce() {
        QFETCH(QString, field);
        QFETCH(QString, pasted);
        QFETCH(QString, expected);
        QFETCH(int, beeps);
        QApplication::clipboard()->setText(pasted);
        QLineEdit* e = Field(f(), field.toLatin1().constData());
        QTest::mouseClick(e, Qt::LeftButton);
        QTest::keyClick(e, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(e, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(e->text(), expected);
        QCOMPARE(rec_.beeps, beeps);
        QVERIFY(e->hasFocus());
        QCOMPARE(e->cursorPosition(), int(expected.size()));
    }

    void rangeChecksOnLeaving_data() {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("expected");
        const QString nyq = QStringLiteral("list:CmbFilTyp=1;");
        QTest::newRow("roll-off above") << nyq + "type:TxtFiltAlpha=1" << "TxtFiltAlpha" << "0.99";
        QTest::newRow("roll-off below") << nyq + "type:TxtFiltAlpha=0" << "TxtFiltAlpha" << "0.01";
        QTest::newRow("roll-off reformatted") << nyq + "type:TxtFiltAlpha=.5" << "TxtFiltAlpha" << "0.50";
        QTest::newRow("symbols above") << "type:TxtnOFDM=200" << "TxtnOFDM" << "151";
        QTest::newRow("symbols zero") << "type:TxtnOFDM=0" << "TxtnOFDM" << "1";
        QTest::newRow("symbols empty") << "type:TxtnOFDM=" << "TxtnOFDM" << "1";
        QTest::newRow("symbols at bound") << "type:TxtnOFDM=151" << "TxtnOFDM" << "151";
        QTest::newRow("burst off above") << "type:txtBurstOff=2000000" << "txtBurstOff" << "1000000";
        QTest::newRow("burst off empty") << "type:txtBurstOff=" << "txtBurstOff" << "0";
        QTest::newRow("level above") << "opt:OptNoise=2;type:TxtNoiseDB=20" << "TxtNoiseDB" << "10.0";
        QTest::newRow("level below") << "opt:OptNoise=2;type:TxtNoiseDB=-150" << "TxtNoiseDB" << "-100.0";
        QTest::newRow("level one decimal") << "opt:OptNoise=2;type:TxtNoiseDB=7" << "TxtNoiseDB" << "7.0";
        QTest::newRow("IF below") << "opt:OptFreqOfs=2;type:TxtIf=-1500" << "TxtIf" << "-1000.0";
        QTest::newRow("IF in range") << "opt:OptFreqOfs=2;type:TxtIf=21.4" << "TxtIf" << "21.4";
        QTest::newRow("freq error above") << "opt:OptFreqOfs=1;type:TxtDFreq=1000.5" << "TxtDFreq" << "1000.0";
        QTest::newRow("freq error below") << "opt:OptFreqOfs=1;type:TxtDFreq=-3" << "TxtDFreq" << "0.0";
        QTest::newRow("window above") << "type:txtWinTR=3" << "txtWinTR" << "2.0";
        QTest::newRow("integer leading zeros") << "type:TxtDcOffsetRe=-0012" << "TxtDcOffsetRe" << "-12";
        QTest::newRow("DC below") << "type:TxtDcOffsetIm=-101" << "TxtDcOffsetIm" << "-100";
        QTest::newRow("too large for a double") << "type:TxtDcOffsetRe=" + QString(400, QLatin1Char('9'))
                                                 << "TxtDcOffsetRe" << "100";
        QTest::newRow("minus alone") << "type:TxtDcOffsetRe=-" << "TxtDcOffsetRe" << "0";
        QTest::newRow("cut-off at 160 Msps") << nyq + "type:TxtFCut=90" << "TxtFCut" << "80.0";
        QTest::newRow("sine at 160 Msps") << "opt:OptNoise=1;type:TxtNoiseFreq=75" << "TxtNoiseFreq" << "70.0";
        QTest::newRow("taps below") << nyq + "type:TxtFiltLeng=0" << "TxtFiltLeng" << "1";
        QTest::newRow("taps above") << nyq + "type:TxtFiltLeng=1001" << "TxtFiltLeng" << "1000";
        QTest::newRow("seed upper case") << "type:txtSeedPN=abc" << "txtSeedPN" << "ABC";
        QTest::newRow("seed zero") << "type:txtSeedPN=0" << "txtSeedPN" << "1";
        QTest::newRow("seed empty") << "type:txtSeedPN=" << "txtSeedPN" << "1";
        QTest::newRow("seed leading zeros") << "type:txtSeedPN=00ff" << "txtSeedPN" << "FF";
    }

    void rangeChecksOnLeaving() {
        QFETCH(QString, steps);
        QFETCH(QString, field);
        QFETCH(QString, expected);
        Apply(f(), steps);
        QCOMPARE(Field(f(), field.toLatin1().constData())->text(), expected);
    }

    void noCheckWithoutLeavingTheWindowsControls() {
        QLineEdit* e = Field(f(), "TxtnOFDM");
        TypeOver(e, QStringLiteral("500"));
        // Another window becomes active: the field keeps its focus inside this window.
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        QCOMPARE(e->text(), QStringLiteral("500"));
        form_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form_.get()));
        QCOMPARE(e->text(), QStringLiteral("500"));
        Leave(e);
        QCOMPARE(e->text(), QStringLiteral("151"));
    }

    void filterLengthCheckRefreshesItsLabel() {
        Apply(f(), QStringLiteral("list:CmbFilTyp=1;list:CmbOverSamp=0;type:TxtFiltLeng=1000"));
        QCOMPARE(Label(f(), "FilterLenUSec")->text(), QStringLiteral("( 12.50 usec)"));
        Apply(f(), QStringLiteral("type:TxtFiltLeng=1"));
        QCOMPARE(Label(f(), "FilterLenUSec")->text(), QStringLiteral("( 0.01 usec)"));
        // Typing alone does not refresh it.
        Apply(f(), QStringLiteral("keys:TxtFiltLeng=400"));
        QCOMPARE(Label(f(), "FilterLenUSec")->text(), QStringLiteral("( 0.01 usec)"));
    }

    void interlocks_data() {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("enabled");  // kInterlocked order
        QTest::newRow("burst OFF") << "list:CmbBurst=0" << "0100000000";
        QTest::newRow("burst ON again") << "list:CmbBurst=0;list:CmbBurst=1" << "1100000000";
        QTest::newRow("ALL 0") << "list:CmbData=5" << "1000000000";
        QTest::newRow("ALL 1") << "list:CmbData=6" << "1000000000";
        QTest::newRow("PN23 after ALL 1") << "list:CmbData=6;list:CmbData=4" << "1100000000";
        QTest::newRow("Nyquist") << "list:CmbFilTyp=1" << "1111110000";
        QTest::newRow("Rectangle again") << "list:CmbFilTyp=1;list:CmbFilTyp=0" << "1100000000";
        QTest::newRow("Freq Error") << "opt:OptFreqOfs=1" << "1100001000";
        QTest::newRow("IF conversion") << "opt:OptFreqOfs=2" << "1100000100";
        QTest::newRow("None after IF") << "opt:OptFreqOfs=2;opt:OptFreqOfs=0" << "1100000000";
        QTest::newRow("Sin") << "opt:OptNoise=1" << "1100000011";
        QTest::newRow("Gauss") << "opt:OptNoise=2" << "1100000001";
        QTest::newRow("Gauss after Sin") << "opt:OptNoise=1;opt:OptNoise=2" << "1100000001";
        QTest::newRow("None after Gauss") << "opt:OptNoise=2;opt:OptNoise=0" << "1100000000";
        QTest::newRow("rate, format, IQ, oversampling") << "list:CmbRate=0;list:CmbFormat=1;list:CmbIQInv=1;list:CmbOverSamp=6"
                                                       << "1100000000";
    }

    void interlocks() {
        QFETCH(QString, steps);
        QFETCH(QString, enabled);
        const QStringList before = AllTexts(f());
        Apply(f(), steps);
        QCOMPARE(EnabledStates(f()), enabled);
        QCOMPARE(AllTexts(f()), before);  // interlocks never touch a text
        for (const char* always : {"TxtnOFDM", "txtWinTR", "TxtDcOffsetRe", "TxtDcOffsetIm"}) {
            QVERIFY(Field(f(), always)->isEnabled());
        }
        for (QComboBox* list : f().findChildren<QComboBox*>()) QVERIFY(list->isEnabled());
    }

    void oversamplingDrivesTheDerivedLabels_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("rate");
        QTest::addColumn<QString>("length");
        QTest::newRow("4") << 0 << "80 Msps" << "( 2.39 usec)";
        QTest::newRow("5") << 1 << "100 Msps" << "( 1.91 usec)";
        QTest::newRow("8") << 4 << "160 Msps" << "( 1.19 usec)";
        QTest::newRow("10, single precision rounds down") << 6 << "200 Msps" << "( 0.95 usec)";
    }

    void oversamplingDrivesTheDerivedLabels() {
        QFETCH(int, index);
        QFETCH(QString, rate);
        QFETCH(QString, length);
        SelectEntry(List(f(), "CmbOverSamp"), index);
        QCOMPARE(Label(f(), "LblSampRate")->text(), rate);
        QCOMPARE(Label(f(), "FilterLenUSec")->text(), length);
    }

    void rateChangeReclampsTheSineFrequencyAtOnce() {
        Apply(f(), QStringLiteral("list:CmbOverSamp=6;opt:OptNoise=1;list:CmbFilTyp=1;"
                                  "type:TxtNoiseFreq=80;type:TxtFCut=80"));
        QCOMPARE(Field(f(), "TxtNoiseFreq")->text(), QStringLiteral("80.0"));
        QCOMPARE(Field(f(), "TxtFCut")->text(), QStringLiteral("80.0"));
        SelectEntry(List(f(), "CmbOverSamp"), 0);
        QCOMPARE(Field(f(), "TxtNoiseFreq")->text(), QStringLiteral("30.0"));
        QCOMPARE(Field(f(), "TxtFCut")->text(), QStringLiteral("80.0"));
        Apply(f(), QStringLiteral("type:TxtFCut=80"));
        QCOMPARE(Field(f(), "TxtFCut")->text(), QStringLiteral("40.0"));
        Apply(f(), QStringLiteral("type:TxtFCut=50;type:TxtNoiseFreq=50"));
        QCOMPARE(Field(f(), "TxtFCut")->text(), QStringLiteral("40.0"));
        QCOMPARE(Field(f(), "TxtNoiseFreq")->text(), QStringLiteral("30.0"));
    }

    void setDefaultsButtonRestoresEverything() {
        Apply(f(), QStringLiteral("list:CmbRate=0;list:CmbFormat=1;list:CmbOverSamp=0;list:CmbData=6;"
                                  "list:CmbBurst=0;list:CmbIQInv=1;list:CmbFilTyp=1;type:TxtFiltLeng=7;"
                                  "type:TxtFiltAlpha=0.5;type:TxtFCut=3;type:txtWinTR=1;type:TxtnOFDM=5;"
                                  "opt:OptFreqOfs=2;type:TxtIf=-3;opt:OptNoise=1;type:TxtNoiseFreq=25;"
                                  "type:TxtNoiseDB=-3;type:TxtDcOffsetRe=5;type:TxtDcOffsetIm=6"));
        ClickButton(Button(f(), "BtnDefSet"));
        firstStartShowsTheDefaults();
        QCOMPARE(List(f(), "CmbRate")->currentIndex(), 5);
        QCOMPARE(f().FilterLengthUsec(), float(191 * 1000000.0 / 160000000.0));
    }

    void getParamsFillsTheRecord_data() {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QVariantMap>("expected");
        QTest::newRow("defaults") << QString() << QVariantMap{
            {"burst_off_time", 160 * 1e-6}, {"window_tr", 0.0},        {"filter_cutoff", 0.0},
            {"filter_rolloff", 0.25},      {"freq_error", 0.0},        {"if_freq", 0.0},
            {"dc_offset_re", 0.0},         {"dc_offset_im", 0.0},      {"noise_level", 0.0},
            {"sine_freq", 0.0},            {"sine_level", 0.0},        {"frame_format", 0},
            {"burst_enable", 1},           {"rate_index", 5},          {"ofdm_symbols", 100},
            {"pn_seed", 65535},            {"data_pattern", 0},        {"oversampling", 8},
            {"reserved", 0},               {"filter_taps", 191},       {"iq_inverse", 0},
            {"freq_error_enable", 0},      {"if_enable", 0},           {"noise_enable", 0},
            {"sine_enable", 0}};
        QTest::newRow("rectangle sends no cut-off but taps and roll-off")
            << "list:CmbFilTyp=1;type:TxtFCut=12.5;type:TxtFiltLeng=300;type:TxtFiltAlpha=0.3;list:CmbFilTyp=0"
            << QVariantMap{{"filter_cutoff", 0.0}, {"filter_taps", 300}, {"filter_rolloff", 0.3}};
        QTest::newRow("nyquist cut-off in Hz")
            << "list:CmbFilTyp=1;type:TxtFCut=12.5" << QVariantMap{{"filter_cutoff", 12.5 * 1000000.0}};
        QTest::newRow("seed 1") << "type:txtSeedPN=1" << QVariantMap{{"pn_seed", 1}};
        QTest::newRow("seed FFFFFF") << "type:txtSeedPN=ffffff" << QVariantMap{{"pn_seed", 0xFFFFFF}};
        QTest::newRow("seed read while ALL 1 greys it")
            << "type:txtSeedPN=2A;list:CmbData=6" << QVariantMap{{"pn_seed", 0x2A}, {"data_pattern", 6}};
        QTest::newRow("oversampling 4") << "list:CmbOverSamp=0" << QVariantMap{{"oversampling", 4}};
        QTest::newRow("oversampling 10") << "list:CmbOverSamp=6" << QVariantMap{{"oversampling", 10}};
        QTest::newRow("burst OFF still sends the off time")
            << "list:CmbBurst=0" << QVariantMap{{"burst_enable", 0}, {"burst_off_time", 160 * 1e-6}};
        QTest::newRow("sine") << "opt:OptNoise=1"
                              << QVariantMap{{"sine_enable", 1},     {"sine_freq", 15.0 * 1000000.0},
                                             {"sine_level", -40.0},  {"noise_enable", 0},
                                             {"noise_level", 0.0}};
        QTest::newRow("gauss") << "opt:OptNoise=2;type:TxtNoiseDB=-12.5"
                               << QVariantMap{{"noise_enable", 1}, {"noise_level", -12.5}, {"sine_enable", 0},
                                              {"sine_freq", 0.0},  {"sine_level", 0.0}};
        QTest::newRow("freq error") << "opt:OptFreqOfs=1;type:TxtDFreq=3.5"
                                    << QVariantMap{{"freq_error_enable", 1}, {"freq_error", 3.5 * 1000000.0},
                                                   {"if_enable", 0}, {"if_freq", 0.0}};
        QTest::newRow("IF conversion") << "opt:OptFreqOfs=2;type:TxtIf=21.4"
                                       << QVariantMap{{"if_enable", 1}, {"if_freq", 21.4 * 1000000.0},
                                                      {"freq_error_enable", 0}, {"freq_error", 0.0}};
        QTest::newRow("other frequency fields ignored")
            << "opt:OptFreqOfs=1;type:TxtDFreq=5;opt:OptFreqOfs=2;type:TxtIf=-7;opt:OptFreqOfs=0"
            << QVariantMap{{"freq_error_enable", 0}, {"freq_error", 0.0}, {"if_enable", 0}, {"if_freq", 0.0}};
        QTest::newRow("DC offsets unscaled") << "type:TxtDcOffsetRe=5;type:TxtDcOffsetIm=-7"
                                             << QVariantMap{{"dc_offset_re", 5.0}, {"dc_offset_im", -7.0}};
        QTest::newRow("window in seconds") << "type:txtWinTR=0.1" << QVariantMap{{"window_tr", 0.1 * 1e-6}};
        QTest::newRow("burst off in seconds")
            << "type:txtBurstOff=1000000" << QVariantMap{{"burst_off_time", 1000000.0 * 1e-6}};
        QTest::newRow("lists") << "list:CmbRate=7;list:CmbFormat=1;list:CmbIQInv=1;list:CmbData=4"
                               << QVariantMap{{"rate_index", 7}, {"frame_format", 1}, {"iq_inverse", 1},
                                              {"data_pattern", 4}};
        QTest::newRow("symbols") << "type:TxtnOFDM=151" << QVariantMap{{"ofdm_symbols", 151}};
    }

    void getParamsFillsTheRecord() {
        QFETCH(QString, steps);
        QFETCH(QVariantMap, expected);
        Apply(f(), steps);
        const WaveParams& p = RecordAfterCancel();
        QCOMPARE(rec_.dialogs, 1);
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            const double got = ReadRecordField(p, it.key());
            QVERIFY2(got == it.value().toDouble(),
                     qPrintable(it.key() + QStringLiteral(": got %1, expected %2")
                                               .arg(got, 0, 'g', 17)
                                               .arg(it.value().toDouble(), 0, 'g', 17)));
        }
    }

    void buttonClickLeavesTheFieldFirst() {
        Apply(f(), QStringLiteral("keys:TxtnOFDM=200"));
        const WaveParams& p = RecordAfterCancel();
        QCOMPARE(Field(f(), "TxtnOFDM")->text(), QStringLiteral("151"));
        QCOMPARE(p.ofdm_symbols, 151);
    }

    void numbersIgnoreTheLocale() {
        const std::string saved = std::setlocale(LC_ALL, nullptr);
        const bool german = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
        if (!german) qWarning("de_DE.UTF-8 not installed: only the Qt default locale is German");
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        Apply(f(), QStringLiteral("list:CmbFilTyp=1;type:TxtFiltAlpha=0.3;type:TxtFCut=12.5;"
                                  "keys:txtWinTR=1,5;list:CmbOverSamp=0"));
        QCOMPARE(Field(f(), "TxtFiltAlpha")->text(), QStringLiteral("0.30"));
        QCOMPARE(Field(f(), "TxtFCut")->text(), QStringLiteral("12.5"));
        QCOMPARE(Field(f(), "txtWinTR")->text(), QStringLiteral("2.0"));  // "1,5": the comma is dropped
        QCOMPARE(Label(f(), "FilterLenUSec")->text(), QStringLiteral("( 2.39 usec)"));
        const WaveParams& p = RecordAfterCancel();
        QLocale::setDefault(QLocale::c());
        std::setlocale(LC_ALL, saved.c_str());
        QCOMPARE(p.filter_rolloff, 0.3);
        QCOMPARE(p.filter_cutoff, 12.5 * 1000000.0);
        QCOMPARE(p.window_tr, 2.0 * 1e-6);
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
