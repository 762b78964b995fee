#include "MainForm.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLockFile>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "mdlIniFileIo.h"
#include "mdlPublicIniRW.h"

const char* const kSaveTitles[2] = {"AWG Data Save", "IQ Data Save"};
const char* const kSaveFilters[2] = {
    "AWG Data(*.awv)|*.awv|data files(*.dat)|*.dat|text files(*.txt)|*.txt|all files(*.*)|*.*",
    "data files(*.csv)|*.csv|text files(*.txt)|*.txt|all files(*.*)|*.*"};

namespace {

// Index of a member of a control array (BtnMake, OptFreqOfs, ...), kept as a property.
constexpr const char* kIndexProperty = "index";
// Text field index of a filtered line edit.
constexpr const char* kFieldProperty = "field";

QString FromStd(const std::string& s) { return QString::fromStdString(s); }

QLabel* AddLabel(QWidget* parent, const QString& text, const char* name = nullptr) {
    auto* label = new QLabel(text, parent);
    if (name != nullptr) label->setObjectName(QString::fromLatin1(name));
    return label;
}

}  // namespace

MainFormHooks DefaultMainFormHooks() {
    MainFormHooks h;
    h.messageBox = [](QWidget* parent, const QString& title, const QString& text) {
        QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
        box.exec();
    };
    h.saveDialog = [](QWidget* parent, const QString& title, const QStringList& filters, const QString& folder) {
        QFileDialog dialog(parent, title, folder);
        dialog.setAcceptMode(QFileDialog::AcceptSave);  // asks before replacing a file
        dialog.setFileMode(QFileDialog::AnyFile);
        // Each filter is "description(patterns)"; the description is what is shown.
        dialog.setOption(QFileDialog::HideNameFilterDetails);
        dialog.setNameFilters(filters);
        dialog.selectNameFilter(filters.value(0));
        if (dialog.exec() != QDialog::Accepted) return QString();
        return dialog.selectedFiles().value(0);
    };
    h.beep = [] { QApplication::beep(); };
    return h;
}

QStringList DialogFilters(const QString& commonDialogFilter) {
    const QStringList parts = commonDialogFilter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString pattern = parts[i + 1];
        const QString qtPattern = pattern == QLatin1String("*.*") ? QStringLiteral("*") : pattern;
        // Qt reads the patterns from the parentheses that end the entry and,
        // with HideNameFilterDetails, shows what comes before them.
        filters << parts[i] + QLatin1Char('(') + qtPattern + QLatin1Char(')');
    }
    return filters;
}

QString InstanceLockPath(const QString& programFile) { return InstanceLockPath(programFile, getuid()); }

QString InstanceLockPath(const QString& programFile, uint uid) {
    QFileInfo info(programFile);
    QString where = info.canonicalFilePath().isEmpty() ? info.absoluteFilePath() : info.canonicalFilePath();
    QByteArray digest = QCryptographicHash::hash(QFile::encodeName(where), QCryptographicHash::Sha1).toHex();
    return QDir::tempPath() + QStringLiteral("/Orvane-%1-%2.lock")
                                  .arg(QString::number(uid), QString::fromLatin1(digest.left(16)));
}

bool StartupInstanceCheck(QLockFile& lock, const MainFormHooks& hooks) {
    lock.setStaleLockTime(0);  // only a lock whose process is gone is stale
    if (lock.tryLock(0)) return true;
    // A lock that cannot be created at all (no writable temp folder) must not stop the program.
    if (lock.error() != QLockFile::LockFailedError) return true;
    // Also on the standard error, for a start from a terminal.
    std::fprintf(stderr, "%s: %s\n", kProgramName, kAlreadyRunningText);
    std::fflush(stderr);
    hooks.messageBox(nullptr, QString::fromLatin1(kProgramName), QString::fromUtf8(kAlreadyRunningText));
    return false;
}

MainForm::MainForm(const QString& programDir, const MainFormHooks& hooks, QWidget* parent)
    : QWidget(parent), hooks_(hooks) {
    windowReady_ = false;
    BuildWindow();
    FillLists();
    const SettingsLocation where = LocateSettings(QFile::encodeName(programDir).toStdString());
    settingsPath_ = QFile::decodeName(where.write_path.c_str());
    settingsReadPath_ = QFile::decodeName(where.read_path.c_str());
    settingsBesideProgram_ = where.beside_program;
    // A file that exists but cannot be read loads like an empty one.
    if (PathExists(where.read_path)) {
        LoadPrmIni(settingsReadPath_);
    } else {
        SetDefaults();
    }
    windowReady_ = true;
    FilterLengUsec();
    Calc_SmplRate();
}

MainForm::~MainForm() = default;

void MainForm::BuildWindow() {
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QString::fromLatin1(kProgramName) + QLatin1Char(' ') + QString::fromLatin1(kVersionText));
    fieldWidth_ = fontMetrics().horizontalAdvance(QStringLiteral("-0000.000000")) + 12;

    QGroupBox* setup = BuildSetupFrame();
    QGroupBox* filter = BuildFilterFrame();
    QGroupBox* freq = nullptr;
    QGroupBox* noise = nullptr;
    QGroupBox* dtr = BuildDeteriorationFrame(freq, noise);
    BuildButtons();

    // Frame captions bold, everything inside them in the normal face.
    QFont bold = font();
    bold.setBold(true);
    QFont normal = font();
    normal.setBold(false);
    const QList<QGroupBox*> frames = {setup, filter, dtr, freq, noise};
    for (QGroupBox* frame : frames) {
        frame->setFont(bold);
        for (QObject* child : frame->children()) {
            auto* w = qobject_cast<QWidget*>(child);
            if (w != nullptr && qobject_cast<QGroupBox*>(w) == nullptr) w->setFont(normal);
        }
    }

    auto* top = new QGridLayout(this);
    top->addWidget(setup, 0, 0);
    top->addWidget(filter, 0, 1);
    top->addWidget(dtr, 0, 2);
    top->addWidget(btnMake_[0], 1, 0);
    top->addWidget(btnMake_[1], 1, 1);
    top->addWidget(btnDefSet_, 1, 2);
    top->setSizeConstraint(QLayout::SetFixedSize);
    ConnectNotifications();
}

QComboBox* MainForm::MakeList(int32_t list, QWidget* parent) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(QString::fromLatin1(kLists[list].control));
    combo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    list_[list] = combo;
    return combo;
}

QLineEdit* MainForm::MakeText(int32_t field, const char* initial, QWidget* parent) {
    auto* edit = new QLineEdit(QString::fromLatin1(initial), parent);
    edit->setObjectName(QString::fromLatin1(kFieldRules[field].control));
    edit->setFixedWidth(fieldWidth_);
    edit->setProperty(kFieldProperty, field);
    text_[field] = edit;
    return edit;
}

void MainForm::MakeOptionGroup(int32_t group, QGroupBox* frame) {
    optGroup_[group] = new QButtonGroup(frame);
    optGroup_[group]->setExclusive(true);
    for (int32_t i = 0; i < kOptionsPerGroup; ++i) {
        auto* opt = new QRadioButton(QString::fromLatin1(kOptionGroups[group].captions[i]), frame);
        opt->setObjectName(QString::fromLatin1(kOptionGroups[group].control));
        opt->setProperty(kIndexProperty, i);
        optGroup_[group]->addButton(opt, i);
        opt_[group][i] = opt;
    }
    opt_[group][0]->setChecked(true);
}

QGroupBox* MainForm::BuildSetupFrame() {
    auto* setup = new QGroupBox(QStringLiteral("Set up"), this);
    setup->setObjectName(QStringLiteral("Frm_Setup"));
    auto* g1 = new QGridLayout(setup);
    g1->addWidget(AddLabel(setup, QStringLiteral("Rate")), 0, 0);
    g1->addWidget(MakeList(kCmbRate, setup), 0, 1);
    g1->addWidget(AddLabel(setup, QStringLiteral("Format")), 1, 0);
    g1->addWidget(MakeList(kCmbFormat, setup), 1, 1);
    g1->addWidget(AddLabel(setup, QStringLiteral("Burst")), 2, 0);
    g1->addWidget(MakeList(kCmbBurst, setup), 2, 1);
    g1->addWidget(AddLabel(setup, QStringLiteral("Burst Off")), 3, 0);
    g1->addWidget(MakeText(kTxtBurstOff, "160", setup), 3, 1);
    g1->addWidget(AddLabel(setup, QStringLiteral("usec")), 3, 2);
    g1->addWidget(AddLabel(setup, QStringLiteral("Data")), 4, 0);
    g1->addWidget(MakeList(kCmbData, setup), 4, 1);
    g1->addWidget(AddLabel(setup, QStringLiteral("Seed PN")), 5, 0);
    g1->addWidget(MakeText(kTxtSeedPN, "FFFF", setup), 5, 1);
    g1->addWidget(AddLabel(setup, QStringLiteral("(Hex)")), 5, 2);
    g1->addWidget(AddLabel(setup, QStringLiteral("OFDM Length")), 6, 0);
    g1->addWidget(MakeText(kTxtnOFDM, "100", setup), 6, 1);
    g1->addWidget(AddLabel(setup, QStringLiteral("Symbols")), 6, 2);
    g1->addWidget(AddLabel(setup, QStringLiteral("IQ Inverse")), 7, 0);
    g1->addWidget(MakeList(kCmbIQInv, setup), 7, 1);
    g1->setRowStretch(8, 1);
    return setup;
}

QGroupBox* MainForm::BuildFilterFrame() {
    auto* filter = new QGroupBox(QStringLiteral("Tx Filter"), this);
    filter->setObjectName(QStringLiteral("Frm_TxFillter"));
    auto* g2 = new QGridLayout(filter);
    g2->addWidget(AddLabel(filter, QStringLiteral("Filter Type")), 0, 0);
    g2->addWidget(MakeList(kCmbFilTyp, filter), 0, 1);
    g2->addWidget(AddLabel(filter, QStringLiteral("Filter Length")), 1, 0);
    g2->addWidget(MakeText(kTxtFiltLeng, "191", filter), 1, 1);
    g2->addWidget(AddLabel(filter, QStringLiteral("Taps")), 1, 2);
    filterLenUSec_ = AddLabel(filter, QStringLiteral("(0.80 usec)"), "FilterLenUSec");
    g2->addWidget(filterLenUSec_, 2, 1, 1, 2);
    g2->addWidget(AddLabel(filter, QStringLiteral("Roll Off")), 3, 0);
    g2->addWidget(MakeText(kTxtFiltAlpha, "0.50", filter), 3, 1);
    g2->addWidget(AddLabel(filter, QStringLiteral("Cut Off")), 4, 0);
    g2->addWidget(MakeText(kTxtFCut, "0.0", filter), 4, 1);
    g2->addWidget(AddLabel(filter, QStringLiteral("MHz")), 4, 2);
    g2->addWidget(AddLabel(filter, QStringLiteral("Window TR")), 5, 0);
    g2->addWidget(MakeText(kTxtWinTR, "0.0", filter), 5, 1);
    g2->addWidget(AddLabel(filter, QStringLiteral("usec")), 5, 2);
    g2->addWidget(AddLabel(filter, QStringLiteral("Oversample")), 6, 0);
    g2->addWidget(MakeList(kCmbOverSamp, filter), 6, 1);
    g2->addWidget(AddLabel(filter, QStringLiteral("Sampling Rate"), "LblSampRate_txt"), 7, 0);
    lblSampRate_ = AddLabel(filter, QStringLiteral("0 Msps"), "LblSampRate");
    g2->addWidget(lblSampRate_, 7, 1, 1, 2);
    g2->setRowStretch(8, 1);
    // Ratio fields and a rate label that nothing reads: kept on the frame, never shown.
    txtIntRate_ = new QLineEdit(QStringLiteral("1"), filter);
    txtIntRate_->setObjectName(QStringLiteral("TxtIntRate"));
    txtDecRate_ = new QLineEdit(QStringLiteral("1"), filter);
    txtDecRate_->setObjectName(QStringLiteral("TxtDecRate"));
    for (QWidget* hidden : {static_cast<QWidget*>(txtIntRate_), static_cast<QWidget*>(txtDecRate_),
                            static_cast<QWidget*>(AddLabel(filter, QStringLiteral("Interpolate ratio"))),
                            static_cast<QWidget*>(AddLabel(filter, QStringLiteral("Decimate ratio"))),
                            static_cast<QWidget*>(AddLabel(filter, QStringLiteral("Sampling Rate:"))),
                            static_cast<QWidget*>(AddLabel(filter, QStringLiteral("0MHz"), "LblFiltRate"))}) {
        hidden->hide();
    }
    return filter;
}

QGroupBox* MainForm::BuildDeteriorationFrame(QGroupBox*& freq, QGroupBox*& noise) {
    auto* dtr = new QGroupBox(QStringLiteral("Deterioration Factor"), this);
    dtr->setObjectName(QStringLiteral("Frm_DtrrtFacter"));
    auto* v3 = new QVBoxLayout(dtr);

    freq = new QGroupBox(QString::fromLatin1(kOptionGroups[kOptFreqOfs].frame), dtr);
    freq->setObjectName(QStringLiteral("FrmFreqOffset"));
    MakeOptionGroup(kOptFreqOfs, freq);
    auto* gf = new QGridLayout(freq);
    gf->addWidget(opt_[kOptFreqOfs][0], 0, 0);
    gf->addWidget(opt_[kOptFreqOfs][1], 1, 0);
    gf->addWidget(MakeText(kTxtDFreq, "0", freq), 1, 1);
    gf->addWidget(AddLabel(freq, QStringLiteral("MHz")), 1, 2);
    gf->addWidget(opt_[kOptFreqOfs][2], 2, 0);
    gf->addWidget(MakeText(kTxtIf, "21.4", freq), 2, 1);
    gf->addWidget(AddLabel(freq, QStringLiteral("MHz")), 2, 2);
    v3->addWidget(freq);

    auto* dcTitle = AddLabel(dtr, QStringLiteral("DC Offset"), "Lbl_Dtr_Title");
    dcTitle->setProperty(kIndexProperty, 1);
    v3->addWidget(dcTitle);
    auto* gd = new QGridLayout();
    gd->addWidget(AddLabel(dtr, QStringLiteral("Real"), "lblDCofsR_txt"), 0, 0);
    gd->addWidget(MakeText(kTxtDcOffsetRe, "0", dtr), 0, 1);
    gd->addWidget(AddLabel(dtr, QStringLiteral("Imag"), "lblDCofsI_txt"), 1, 0);
    gd->addWidget(MakeText(kTxtDcOffsetIm, "0", dtr), 1, 1);
    for (int i = 0; i < 2; ++i) {
        auto* pct = AddLabel(dtr, QStringLiteral("%"), "lbl_unit_pct");
        pct->setProperty(kIndexProperty, i);
        gd->addWidget(pct, i, 2);
    }
    gd->setColumnStretch(3, 1);
    v3->addLayout(gd);

    noise = new QGroupBox(QString::fromLatin1(kOptionGroups[kOptNoise].frame), dtr);
    noise->setObjectName(QStringLiteral("Frm_Noise"));
    MakeOptionGroup(kOptNoise, noise);
    // Option buttons two grid rows high; the frequency field sits level between
    // "None" and "Sin", the level field between "Sin" and "Gauss".
    auto* gn = new QGridLayout(noise);
    gn->addWidget(opt_[kOptNoise][0], 0, 0, 2, 1);
    gn->addWidget(opt_[kOptNoise][1], 2, 0, 2, 1);
    gn->addWidget(opt_[kOptNoise][2], 4, 0, 2, 1);
    gn->addWidget(MakeText(kTxtNoiseFreq, "15.0", noise), 1, 1, 2, 1);
    gn->addWidget(AddLabel(noise, QStringLiteral("MHz")), 1, 2, 2, 1);
    gn->addWidget(MakeText(kTxtNoiseDB, "-40.0", noise), 3, 1, 2, 1);
    gn->addWidget(AddLabel(noise, QStringLiteral("dB")), 3, 2, 2, 1);
    v3->addWidget(noise);
    v3->addStretch(1);
    return dtr;
}

void MainForm::BuildButtons() {
    // Command row, one button under each column.
    btnMake_[0] = new QPushButton(QStringLiteral("Make AWG File"), this);
    btnMake_[1] = new QPushButton(QStringLiteral("Make Floating File"), this);
    btnDefSet_ = new QPushButton(QStringLiteral("Set Defaults"), this);
    btnDefSet_->setObjectName(QStringLiteral("BtnDefSet"));
    QFont buttonFont = font();
    buttonFont.setPointSize(12);
    buttonFont.setBold(true);
    for (int i = 0; i < 2; ++i) {
        btnMake_[i]->setObjectName(QStringLiteral("BtnMake"));
        btnMake_[i]->setProperty(kIndexProperty, i);
    }
    for (QPushButton* b : {btnMake_[0], btnMake_[1], btnDefSet_}) {
        b->setFont(buttonFont);
        b->setAutoDefault(false);
    }
}

void MainForm::ConnectNotifications() {
    for (int32_t list = 0; list < kListCount; ++list) {
        connect(list_[list], &QComboBox::currentIndexChanged, this, [this, list](int) { OnListClick(list); });
    }
    for (int32_t group = 0; group < kOptionGroupCount; ++group) {
        connect(optGroup_[group], &QButtonGroup::idToggled, this, [this, group](int id, bool checked) {
            if (checked) OnOptionClick(group, id);
        });
    }
    for (int32_t field = 0; field < kTextFieldCount; ++field) {
        connect(text_[field], &QLineEdit::textChanged, this, [this, field] { OnTextChange(field); });
        text_[field]->installEventFilter(this);
    }
    for (int32_t i = 0; i < 2; ++i) {
        connect(btnMake_[i], &QPushButton::clicked, this, [this, i] { MakeCommand(i); });
    }
    connect(btnDefSet_, &QPushButton::clicked, this, [this] { SetDefaults(); });
}

void MainForm::FillLists() {
    for (int32_t list = 0; list < kListCount; ++list) {
        QComboBox* combo = list_[list];
        QSignalBlocker block(combo);
        for (int32_t i = 0; i < kLists[list].count; ++i) combo->addItem(QString::fromLatin1(kLists[list].entries[i]));
        combo->setCurrentIndex(-1);  // nothing selected until the settings or defaults
    }
    // Three columns of one width (measured with the lists filled), so the
    // three command buttons beneath them are equally wide too.
    auto* top = static_cast<QGridLayout*>(layout());
    int columnWidth = 0;
    for (int c = 0; c < 3; ++c) {
        columnWidth = std::max(columnWidth, top->itemAtPosition(0, c)->widget()->sizeHint().width());
        columnWidth = std::max(columnWidth, top->itemAtPosition(1, c)->widget()->sizeHint().width());
    }
    for (int c = 0; c < 3; ++c) top->setColumnMinimumWidth(c, columnWidth);
}

// ---- Interlocks -------------------------------------------------------------

void MainForm::SetListIndex(int32_t list, int32_t index) {
    // A selection made by the program runs the list's reaction like a user's.
    if (list_[list]->currentIndex() == index) {
        OnListClick(list);
    } else {
        list_[list]->setCurrentIndex(index);
    }
}

void MainForm::SetOption(int32_t group, int32_t index) {
    if (opt_[group][index]->isChecked()) {
        OnOptionClick(group, index);
    } else {
        opt_[group][index]->setChecked(true);
    }
}

void MainForm::OnListClick(int32_t list) {
    const int index = list_[list]->currentIndex();
    switch (list) {
        case kCmbBurst:
            text_[kTxtBurstOff]->setEnabled(index != 0);
            break;
        case kCmbData:
            text_[kTxtSeedPN]->setEnabled(index < 5);
            break;
        case kCmbFilTyp: {
            const bool nyquist = index != 0;
            text_[kTxtFiltLeng]->setEnabled(nyquist);
            text_[kTxtFiltAlpha]->setEnabled(nyquist);
            text_[kTxtFCut]->setEnabled(nyquist);
            filterLenUSec_->setEnabled(nyquist);
            break;
        }
        case kCmbOverSamp:
            if (windowReady_) {
                Calc_SmplRate();
                FilterLengUsec();
            }
            break;
        default:
            break;
    }
}

void MainForm::OnOptionClick(int32_t group, int32_t index) {
    if (index < 0 || index >= kOptionsPerGroup) return;
    if (group == kOptFreqOfs) {
        text_[kTxtDFreq]->setEnabled(index == 1);
        text_[kTxtIf]->setEnabled(index == 2);
    } else {
        text_[kTxtNoiseFreq]->setEnabled(index == 1);
        text_[kTxtNoiseDB]->setEnabled(index != 0);
    }
}

// ---- Input filters and checks ----------------------------------------------

void MainForm::OnTextChange(int32_t field) {
    if (!windowReady_) return;
    QLineEdit* box = text_[field];
    // The whole correction at once: one write of the text (whose own change
    // notification then finds nothing to filter), one beep per removed character.
    std::u32string cleaned;
    int32_t rejects = 0;
    if (!CleanField(field, box->text().toStdU32String(), cleaned, rejects)) return;
    const QString newText = QString::fromStdU32String(cleaned);
    box->setText(newText);
    for (int32_t i = 0; i < rejects; ++i) hooks_.beep();
    box->setCursorPosition(static_cast<int>(newText.size()));
    box->setFocus();
}

void MainForm::OnLostFocus(int32_t field) {
    if (!windowReady_) return;
    QLineEdit* box = text_[field];
    box->setText(FromStd(CheckField(field, box->text().toStdString(), fs_)));
    if (field == kTxtFiltLeng) FilterLengUsec();
}

bool MainForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut) {
        // Focus moving to another control of this window; not a switch of window or a popup menu.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        const QVariant field = watched->property(kFieldProperty);
        if (field.isValid() && reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            OnLostFocus(field.toInt());
        }
    }
    return QWidget::eventFilter(watched, event);
}

// ---- Derived values ----------------------------------------------------------

void MainForm::Calc_SmplRate() {
    fs_ = SamplingRate(list_[kCmbOverSamp]->currentIndex());
    lblSampRate_->setText(FromStd(SamplingRateCaption(fs_)));
    OnLostFocus(kTxtNoiseFreq);  // re-clamp the sine frequency to the new rate
}

void MainForm::FilterLengUsec() {
    filterLenTime_ = FilterLengthTime(text_[kTxtFiltLeng]->text().toStdString(), list_[kCmbOverSamp]->currentIndex());
    filterLenUSec_->setText(FromStd(FilterLengthCaption(filterLenTime_)));
}

// ---- Defaults and settings ---------------------------------------------------

void MainForm::SetDefaults() {
    FieldValues d;
    DefaultFieldValues(d);
    SetListIndex(kCmbRate, d.list[kCmbRate]);
    SetListIndex(kCmbFormat, d.list[kCmbFormat]);
    SetListIndex(kCmbOverSamp, d.list[kCmbOverSamp]);
    SetListIndex(kCmbData, d.list[kCmbData]);
    SetListIndex(kCmbBurst, d.list[kCmbBurst]);
    SetListIndex(kCmbIQInv, d.list[kCmbIQInv]);
    SetListIndex(kCmbFilTyp, d.list[kCmbFilTyp]);
    for (int32_t field : {kTxtSeedPN, kTxtBurstOff, kTxtnOFDM, kTxtFiltLeng, kTxtFiltAlpha, kTxtFCut, kTxtWinTR}) {
        text_[field]->setText(FromStd(d.text[field]));
    }
    txtIntRate_->setText(QString::fromLatin1(kDefaultRatioText));
    txtDecRate_->setText(QString::fromLatin1(kDefaultRatioText));
    text_[kTxtDFreq]->setText(FromStd(d.text[kTxtDFreq]));
    SetOption(kOptNoise, d.option[kOptNoise]);
    text_[kTxtDcOffsetRe]->setText(FromStd(d.text[kTxtDcOffsetRe]));
    text_[kTxtDcOffsetIm]->setText(FromStd(d.text[kTxtDcOffsetIm]));
    text_[kTxtIf]->setText(FromStd(d.text[kTxtIf]));
    SetOption(kOptFreqOfs, d.option[kOptFreqOfs]);
    text_[kTxtDFreq]->setEnabled(false);
    text_[kTxtIf]->setEnabled(false);
    text_[kTxtNoiseDB]->setText(FromStd(d.text[kTxtNoiseDB]));
    text_[kTxtNoiseDB]->setEnabled(false);
    text_[kTxtNoiseFreq]->setText(FromStd(d.text[kTxtNoiseFreq]));
    text_[kTxtNoiseFreq]->setEnabled(false);
    Calc_SmplRate();
    FilterLengUsec();
}

FieldValues MainForm::ReadFieldValues() const {
    FieldValues v;
    for (int32_t list = 0; list < kListCount; ++list) v.list[list] = list_[list]->currentIndex();
    for (int32_t group = 0; group < kOptionGroupCount; ++group) {
        v.option[group] = kNoOption;
        for (int32_t i = 0; i < kOptionsPerGroup; ++i) {
            if (opt_[group][i]->isChecked()) {
                v.option[group] = i;
                break;
            }
        }
    }
    for (int32_t field = 0; field < kTextFieldCount; ++field) v.text[field] = text_[field]->text().toStdString();
    v.samp_rate_caption = lblSampRate_->text().toStdString();
    return v;
}

void MainForm::LoadPrmIni(const QString& path) {
    IniFile ini;
    IniLoad(QFile::encodeName(path).toStdString(), ini);
    FieldValues v = ReadFieldValues();
    for (int32_t i = 0; i < kIniKeyCount; ++i) {
        const int32_t k = kIniLoadOrder[i];
        const IniKey& e = kIniKeys[k];
        LoadPrmIniEntry(ini, k, v);
        switch (e.target) {
            case kTargetList:
                SetListIndex(e.control, v.list[e.control]);
                break;
            case kTargetText:
                text_[e.control]->setText(FromStd(v.text[e.control]));
                break;
            case kTargetOption:
                // The option's reaction sets the enabled states of the group's fields.
                SetOption(e.control, v.option[e.control]);
                break;
            default:
                lblSampRate_->setText(FromStd(v.samp_rate_caption));
                break;
        }
    }
}

void MainForm::SavePrmIni(const QString& path) {
    ::SavePrmIni(QFile::encodeName(path).toStdString(), ReadFieldValues());
}

void MainForm::closeEvent(QCloseEvent* event) {
    // The user's settings folder is made at the first save; failures stay silent.
    if (!settingsBesideProgram_) CreateParentFolder(QFile::encodeName(settingsPath_).toStdString());
    SavePrmIni(settingsPath_);
    event->accept();
}

// ---- Generate command ----------------------------------------------------------

void MainForm::Enable_Buttons(bool state) {
    btnMake_[0]->setEnabled(state);
    btnMake_[1]->setEnabled(state);
    btnDefSet_->setEnabled(state);
}

bool MainForm::Get_Params(int32_t& badField) {
    return ::Get_Params(ReadFieldValues(), params_, badField) == kParamsOk;
}

void MainForm::MakeCommand(int32_t index) {
    Enable_Buttons(false);
    int32_t badField = -1;
    if (!Get_Params(badField)) {
        // A greyed-out field cannot be mended where it is: say which choice
        // enables it and put the focus on that list.
        const bool disabled = !text_[badField]->isEnabled();
        hooks_.messageBox(this, QString::fromLatin1(kProgramName), FromStd(NotANumberText(badField, disabled)));
        const int32_t list = EnablingList(badField);
        if (disabled && list < kListCount) {
            list_[list]->setFocus();
        } else {
            text_[badField]->setFocus();
        }
        Enable_Buttons(true);
        return;
    }
    setCursor(Qt::WaitCursor);
    if (dialogFolder_.isEmpty()) dialogFolder_ = QDir::currentPath();
    const QString path = hooks_.saveDialog(this, QString::fromLatin1(kSaveTitles[index]),
                                           DialogFilters(QString::fromLatin1(kSaveFilters[index])), dialogFolder_);
    QCoreApplication::processEvents();
    if (!path.isEmpty()) {
        setCursor(Qt::WaitCursor);
        const QByteArray file = QFile::encodeName(path);
        QCoreApplication::processEvents();
        QString loadError;
        Orv11aActualFn orv_11a_actual = OrvaneLib_Bind(lib_, hooks_.libraryName, loadError);
        if (orv_11a_actual == nullptr) {
            hooks_.messageBox(this, QString::fromLatin1(kProgramName), loadError);
        } else {
            errno = 0;
            const int32_t result = orv_11a_actual(&params_, index, file.constData());
            const int32_t lastError = errno;
            QCoreApplication::processEvents();
            if (result == 0) dialogFolder_ = QFileInfo(path).absolutePath();
            if (result != 0) {
                hooks_.messageBox(this, QString::fromLatin1(kProgramName), FromStd(ErrorBoxText(lastError, result)));
            } else if (index == 0) {
                hooks_.messageBox(this, QString::fromLatin1(kCrestBoxTitle),
                                  FromStd(CrestBoxText(params_.papr, params_.crest_i, params_.crest_q)));
            }
        }
    }
    unsetCursor();
    Enable_Buttons(true);
}
