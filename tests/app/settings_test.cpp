// The settings file PrmOrvane.ini through the real window: first run, round
// trip, stored values and how they load, bad and empty files, and the
// defaults button.
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include "window_driver.h"

namespace {

// The file a first run leaves behind: the defaults, four sections, 23 keys in
// save order, no blank lines between the sections.
const char kFirstRunFile[] =
    "[SET UP]\n"
    "DATA RATE=5\n"
    "DATA=0\n"
    "FORMAT=0\n"
    "OFDM LENGTH=100\n"
    "BURST=1\n"
    "BURST OFF TIME=160\n"
    "PN SEED=FFFF\n"
    "[TX FILTER]\n"
    "FILTER TYPE=0\n"
    "ROLL OFF=0.25\n"
    "CUT OFF=0.0\n"
    "TR VALUE=0.0\n"
    "FILTER LENGTH=191\n"
    "OVER SAMPL=4\n"
    "IQ INVERSE=0\n"
    "[DETERIORATION FACTOR]\n"
    "NOISE TYPE=0\n"
    "FREQUENCY OFFSET=0\n"
    "FREQUENCY ERR=0.0\n"
    "IF CONVERSION=0.0\n"
    "DC OFFSET REAL=0\n"
    "DC OFFSET IMAG=0\n"
    "NOISE FREQ=15.0\n"
    "NOISE DB=-40.0\n"
    "[OTHERS]\n"
    "SAMPLING RATE=160 Msps\n";

// The file a start from an empty or unreadable file leaves behind.
const char kEmptyStateFile[] =
    "[SET UP]\n"
    "DATA RATE=0\n"
    "DATA=0\n"
    "FORMAT=0\n"
    "OFDM LENGTH=0\n"
    "BURST=0\n"
    "BURST OFF TIME=0\n"
    "PN SEED=\n"
    "[TX FILTER]\n"
    "FILTER TYPE=0\n"
    "ROLL OFF=0.0\n"
    "CUT OFF=0.0\n"
    "TR VALUE=0.0\n"
    "FILTER LENGTH=0\n"
    "OVER SAMPL=0\n"
    "IQ INVERSE=0\n"
    "[DETERIORATION FACTOR]\n"
    "NOISE TYPE=0\n"
    "FREQUENCY OFFSET=0\n"
    "FREQUENCY ERR=0.0\n"
    "IF CONVERSION=0.0\n"
    "DC OFFSET REAL=0\n"
    "DC OFFSET IMAG=0\n"
    "NOISE FREQ=0.0\n"
    "NOISE DB=0.0\n"
    "[OTHERS]\n"
    "SAMPLING RATE=80 Msps\n";

// The first-run file with edits: "KEY=value" replaces that key's line,
// "!KEY" removes it.
QByteArray EditedFile(const QStringList& edits) {
    QList<QByteArray> lines = QByteArray(kFirstRunFile).split('\n');
    for (const QString& edit : edits) {
        const bool remove = edit.startsWith(QLatin1Char('!'));
        const QByteArray key = (remove ? edit.mid(1) : edit.section(QLatin1Char('='), 0, 0)).toLatin1() + '=';
        bool found = false;
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (lines[i].startsWith(key)) {
                if (remove) {
                    lines.removeAt(i);
                } else {
                    lines[i] = edit.toLatin1();
                }
                found = true;
                break;
            }
        }
        if (!found) qFatal("no key in %s", qPrintable(edit));
    }
    return lines.join('\n');
}

// Everything a user sees of the parameters: texts, selections, options,
// enabled states and the two derived labels.
QStringList Snapshot(MainForm& f) {
    QStringList s;
    for (QLineEdit* e : f.findChildren<QLineEdit*>()) {
        s << e->objectName() + QLatin1Char('=') + e->text() + (e->isEnabled() ? QString() : QStringLiteral(" (off)"));
    }
    for (QComboBox* c : f.findChildren<QComboBox*>()) s << c->objectName() + QLatin1Char('#') + QString::number(c->currentIndex());
    for (QRadioButton* r : f.findChildren<QRadioButton*>()) {
        s << r->objectName() + r->property("index").toString() + (r->isChecked() ? QStringLiteral(" on") : QStringLiteral(" off"));
    }
    s << Label(f, "LblSampRate")->text() << Label(f, "FilterLenUSec")->text()
      << (Label(f, "FilterLenUSec")->isEnabled() ? QStringLiteral("label on") : QStringLiteral("label off"));
    return s;
}

// Checks "kind:Name=value" expectations: text, list (index), opt (index on),
// enabled (1/0), label (caption).
void Expect(MainForm& f, const QString& checks) {
    for (const QString& check : checks.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString kind = check.section(QLatin1Char(':'), 0, 0);
        const QString rest = check.section(QLatin1Char(':'), 1);
        const QByteArray name = rest.section(QLatin1Char('='), 0, 0).toLatin1();
        const QString value = rest.section(QLatin1Char('='), 1);
        QString got;
        if (kind == QLatin1String("text")) {
            got = Field(f, name.constData())->text();
        } else if (kind == QLatin1String("list")) {
            got = QString::number(List(f, name.constData())->currentIndex());
        } else if (kind == QLatin1String("opt")) {
            got = QStringLiteral("none");
            for (int i = 0; i < 3; ++i) {
                if (Option(f, name.constData(), i)->isChecked()) got = QString::number(i);
            }
        } else if (kind == QLatin1String("enabled")) {
            got = f.findChild<QWidget*>(QString::fromLatin1(name))->isEnabled() ? QStringLiteral("1") : QStringLiteral("0");
        } else if (kind == QLatin1String("label")) {
            got = Label(f, name.constData())->text();
        } else {
            qFatal("bad check %s", qPrintable(check));
        }
        if (got != value) {
            QFAIL(qPrintable(QStringLiteral("%1: got \"%2\"").arg(check, got)));
        }
    }
}

}  // namespace

class SettingsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    Recorder rec_;
    std::unique_ptr<MainForm> form_;

    QString IniPath() const { return dir_->filePath(QStringLiteral("PrmOrvane.ini")); }
    MainForm& Start() {
        form_ = StartForm(dir_->path(), rec_);
        return *form_;
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        rec_ = Recorder();
    }

    void cleanup() { form_.reset(); }

    void settingsPathIsTheProgramFolder() {
        MainForm& f = Start();
        QCOMPARE(f.SettingsPath(), dir_->path() + QDir::separator() + QStringLiteral("PrmOrvane.ini"));
        QVERIFY(!QFile::exists(IniPath()));  // nothing is written before the window closes
    }

    void firstRunWritesTheDefaultsInSaveOrder() {
        MainForm& f = Start();
        QCOMPARE(Label(f, "LblSampRate")->text(), QStringLiteral("160 Msps"));
        QCOMPARE(Label(f, "FilterLenUSec")->text(), QStringLiteral("( 1.19 usec)"));
        CloseForm(form_);
        QCOMPARE(ReadAll(IniPath()), QByteArray(kFirstRunFile));
    }

    void everyParameterComesBackAtTheNextStart() {
        MainForm& f = Start();
        SelectEntry(List(f, "CmbRate"), 7);
        SelectEntry(List(f, "CmbFormat"), 1);
        SelectEntry(List(f, "CmbData"), 3);
        SelectEntry(List(f, "CmbBurst"), 0);
        SelectEntry(List(f, "CmbIQInv"), 1);
        SelectEntry(List(f, "CmbFilTyp"), 1);
        SelectEntry(List(f, "CmbOverSamp"), 2);
        ClickOption(Option(f, "OptFreqOfs", 2));
        ClickOption(Option(f, "OptNoise", 1));
        const QList<QPair<const char*, const char*>> texts = {
            {"txtBurstOff", "250"}, {"txtSeedPN", "1a2b"},   {"TxtnOFDM", "42"},       {"TxtFiltLeng", "77"},
            {"TxtFiltAlpha", "0.35"}, {"TxtFCut", "12.345678"}, {"txtWinTR", "1.5"},     {"TxtIf", "-21.4"},
            {"TxtDcOffsetRe", "-5"}, {"TxtDcOffsetIm", "17"}, {"TxtNoiseFreq", "25.5"}, {"TxtNoiseDB", "-7.5"}};
        for (const auto& [name, text] : texts) {
            TypeOver(Field(f, name), QString::fromLatin1(text));
            Leave(Field(f, name));
        }
        ClickOption(Option(f, "OptNoise", 2));
        const QStringList before = Snapshot(f);
        CloseForm(form_);
        const QByteArray file = ReadAll(IniPath());
        QVERIFY2(file.contains("PN SEED=1A2B\n"), file.constData());
        QVERIFY2(file.contains("ROLL OFF=0.35\n"), file.constData());
        QVERIFY2(file.contains("SAMPLING RATE=120 Msps\n"), file.constData());
        QCOMPARE(Snapshot(Start()), before);
    }

    void storedValuesLoad_data() {
        QTest::addColumn<QStringList>("edits");
        QTest::addColumn<QString>("checks");
        QTest::newRow("IF conversion enables its field")
            << QStringList{"FREQUENCY OFFSET=2"} << "opt:OptFreqOfs=2;enabled:TxtIf=1;enabled:TxtDFreq=0";
        QTest::newRow("freq error enables its field")
            << QStringList{"FREQUENCY OFFSET=1"} << "opt:OptFreqOfs=1;enabled:TxtIf=0;enabled:TxtDFreq=1";
        QTest::newRow("sine enables both noise fields")
            << QStringList{"NOISE TYPE=1"} << "opt:OptNoise=1;enabled:TxtNoiseFreq=1;enabled:TxtNoiseDB=1";
        QTest::newRow("gauss enables the level")
            << QStringList{"NOISE TYPE=2"} << "opt:OptNoise=2;enabled:TxtNoiseFreq=0;enabled:TxtNoiseDB=1";
        QTest::newRow("six decimals") << QStringList{"CUT OFF=12.345678"} << "text:TxtFCut=12.345678";
        QTest::newRow("roll-off one decimal") << QStringList{"ROLL OFF=0.5"} << "text:TxtFiltAlpha=0.5";
        QTest::newRow("seed trimmed") << QStringList{"PN SEED=  1A2B  "} << "text:txtSeedPN=1A2B";
        QTest::newRow("seed not filtered") << QStringList{"PN SEED=XYZ"} << "text:txtSeedPN=XYZ";
        QTest::newRow("missing key") << QStringList{"!OFDM LENGTH"} << "text:TxtnOFDM=0";
        QTest::newRow("not a number") << QStringList{"DATA RATE=abc"} << "list:CmbRate=0";
        QTest::newRow("stored rate caption replaced")
            << QStringList{"SAMPLING RATE=999 Msps", "OVER SAMPL=0"} << "label:LblSampRate=80 Msps";
        QTest::newRow("not clamped on load") << QStringList{"OFDM LENGTH=500"} << "text:TxtnOFDM=500";
        QTest::newRow("integer from a decimal") << QStringList{"BURST OFF TIME=160.5", "DC OFFSET REAL=2.5"}
                                                << "text:txtBurstOff=160;text:TxtDcOffsetRe=2";
        QTest::newRow("reals reformatted") << QStringList{"TR VALUE=1.5", "NOISE DB=-40", "IF CONVERSION=21.40"}
                                           << "text:txtWinTR=1.5;text:TxtNoiseDB=-40.0;text:TxtIf=21.4";
        QTest::newRow("list index beyond the last entry") << QStringList{"DATA RATE=8", "OVER SAMPL=7"}
                                                          << "list:CmbRate=0;list:CmbOverSamp=0";
        QTest::newRow("list index below -1") << QStringList{"DATA=-2"} << "list:CmbData=0;enabled:txtSeedPN=1";
        QTest::newRow("option index outside 0 to 2") << QStringList{"NOISE TYPE=3", "FREQUENCY OFFSET=-1"}
                                                     << "opt:OptNoise=0;opt:OptFreqOfs=0;enabled:TxtIf=0";
        QTest::newRow("nothing selected") << QStringList{"BURST=-1", "FILTER TYPE=-1", "DATA=-1"}
                                          << "list:CmbBurst=-1;list:CmbFilTyp=-1;list:CmbData=-1;"
                                             "enabled:txtBurstOff=1;enabled:TxtFiltLeng=1;enabled:TxtFiltAlpha=1;"
                                             "enabled:TxtFCut=1;enabled:FilterLenUSec=1;enabled:txtSeedPN=1";
        QTest::newRow("greyed by the stored choices") << QStringList{"BURST=0", "DATA=5", "FILTER TYPE=1"}
                                                      << "enabled:txtBurstOff=0;enabled:txtSeedPN=0;enabled:TxtFCut=1";
    }

    void storedValuesLoad() {
        QFETCH(QStringList, edits);
        QFETCH(QString, checks);
        WriteFile(IniPath(), EditedFile(edits));
        Expect(Start(), checks);
        QCOMPARE(rec_.beeps, 0);
    }

    void caseOfNamesDoesNotMatter() {
        WriteFile(IniPath(), "[set up]\ndata rate=2\n[Tx Filter]\nOver Sampl=6\n");
        Expect(Start(), QStringLiteral("list:CmbRate=2;list:CmbOverSamp=6;label:LblSampRate=200 Msps"));
    }

    void loadedTextsAreCheckedWhenLeft() {
        WriteFile(IniPath(), EditedFile({"OFDM LENGTH=500", "ROLL OFF=0.5", "FILTER TYPE=1"}));
        MainForm& f = Start();
        Leave(Field(f, "TxtnOFDM"));
        Leave(Field(f, "TxtFiltAlpha"));
        Expect(f, QStringLiteral("text:TxtnOFDM=151;text:TxtFiltAlpha=0.50"));
    }

    void emptyFileAppliesNoDefaults() {
        WriteFile(IniPath(), "");
        MainForm& f = Start();
        Expect(f, QStringLiteral("list:CmbRate=0;list:CmbData=0;list:CmbFormat=0;list:CmbBurst=0;list:CmbFilTyp=0;"
                                 "list:CmbOverSamp=0;list:CmbIQInv=0;opt:OptNoise=0;opt:OptFreqOfs=0;"
                                 "text:TxtnOFDM=0;text:txtBurstOff=0;text:TxtFiltLeng=0;text:TxtDcOffsetRe=0;"
                                 "text:TxtDcOffsetIm=0;text:TxtFiltAlpha=0.0;text:TxtFCut=0.0;text:txtWinTR=0.0;"
                                 "text:TxtDFreq=0.0;text:TxtIf=0.0;text:TxtNoiseFreq=0.0;text:TxtNoiseDB=0.0;"
                                 "text:txtSeedPN=;label:LblSampRate=80 Msps;label:FilterLenUSec=( 0.00 usec)"));
    }

    void emptyFieldIsStoredEmptyAndComesBackAsZero() {
        MainForm& f = Start();
        TypeOver(Field(f, "TxtnOFDM"), QString());  // emptied, never left
        CloseForm(form_);
        QVERIFY(ReadAll(IniPath()).contains("\nOFDM LENGTH=\n"));
        Expect(Start(), QStringLiteral("text:TxtnOFDM=0"));
    }

    void defaultsButtonThenCloseStoresTheDefaults() {
        WriteFile(IniPath(), EditedFile({"DATA RATE=1", "NOISE TYPE=2", "CUT OFF=3.5", "FILTER TYPE=1",
                                         "OVER SAMPL=0", "PN SEED=ABC"}));
        MainForm& f = Start();
        ClickButton(Button(f, "BtnDefSet"));
        CloseForm(form_);
        QCOMPARE(ReadAll(IniPath()), QByteArray(kFirstRunFile));
    }

    void otherContentOfTheFileIsKept() {
        WriteFile(IniPath(), QByteArray("; my notes\n[MY TOOL]\nCOLOUR=blue\n\n") + kFirstRunFile);
        Start();
        CloseForm(form_);
        const QByteArray text = ReadAll(IniPath());
        QVERIFY2(text.contains("; my notes"), text.constData());
        QVERIFY2(text.contains("[MY TOOL]\nCOLOUR=blue"), text.constData());
        QVERIFY2(text.contains("NOISE DB=-40.0"), text.constData());
    }

    void emptySeedFromTheFileStopsTheGenerateCommand() {
        WriteFile(IniPath(), EditedFile({"PN SEED="}));
        MainForm& f = Start();
        ClickButton(Button(f, "BtnMake", 0));
        QCOMPARE(rec_.dialogs, 0);
        QCOMPARE(rec_.messages.size(), 1);
        QCOMPARE(rec_.messages[0].title, QStringLiteral("Orvane"));
        QCOMPARE(rec_.messages[0].text, QStringLiteral("Seed PN is not a number."));
        QVERIFY(Field(f, "txtSeedPN")->hasFocus());
        for (QPushButton* b : f.findChildren<QPushButton*>()) QVERIFY(b->isEnabled());
        QCOMPARE(f.cursor().shape(), Qt::ArrowCursor);
        // Leaving the seed field makes it a number, and the command goes on to the dialog.
        Leave(Field(f, "txtSeedPN"));
        QCOMPARE(Field(f, "txtSeedPN")->text(), QStringLiteral("1"));
        ClickButton(Button(f, "BtnMake", 1));
        QCOMPARE(rec_.dialogs, 1);
        QCOMPARE(f.Params().pn_seed, 1);
    }

    // With "ALL 0" or "ALL 1" the seed field is greyed out: the message says
    // which choice enables it and the focus goes to that list.
    void emptySeedWithAConstantPattern_data() {
        QTest::addColumn<QString>("data");
        QTest::newRow("ALL 0") << "DATA=5";
        QTest::newRow("ALL 1") << "DATA=6";
    }

    void emptySeedWithAConstantPattern() {
        QFETCH(QString, data);
        WriteFile(IniPath(), EditedFile({"PN SEED=", data}));
        MainForm& f = Start();
        QVERIFY(!Field(f, "txtSeedPN")->isEnabled());
        ClickButton(Button(f, "BtnMake", 1));
        QCOMPARE(rec_.dialogs, 0);
        QCOMPARE(rec_.messages.size(), 1);
        QCOMPARE(rec_.messages[0].text,
                 QStringLiteral("Seed PN is not a number.\r\nIt can be edited with \"Data\" PN9, PN15, PN19, PN20 or PN23."));
        QVERIFY(List(f, "CmbData")->hasFocus());
        for (QPushButton* b : f.findChildren<QPushButton*>()) QVERIFY(b->isEnabled());
        // The way out the message names: a PN pattern, then the field can be mended.
        SelectEntry(List(f, "CmbData"), 1);
        QVERIFY(Field(f, "txtSeedPN")->isEnabled());
        TypeOver(Field(f, "txtSeedPN"), QStringLiteral("2A"));
        ClickButton(Button(f, "BtnMake", 1));
        QCOMPARE(rec_.dialogs, 1);
        QCOMPARE(f.Params().pn_seed, 0x2A);
    }

    void aFolderInPlaceOfTheFileMeansDefaults() {
        QVERIFY(QDir(dir_->path()).mkdir(QStringLiteral("PrmOrvane.ini")));
        MainForm& f = Start();
        Expect(f, QStringLiteral("list:CmbRate=5;text:TxtFiltAlpha=0.25;label:LblSampRate=160 Msps"));
        CloseForm(form_);  // the write fails without a word
        QVERIFY(QFileInfo(IniPath()).isDir());
    }

    void aFailingExistenceTestMeansDefaults() {
        // A link to itself: asking whether the file exists ends in an error.
        QVERIFY(QFile::link(IniPath(), IniPath()));
        Expect(Start(), QStringLiteral("list:CmbRate=5;text:TxtFiltAlpha=0.25"));
    }

    // The real program as an unprivileged user beside an unreadable file in a
    // folder it cannot write: it starts from the all-zero state of an empty
    // file and keeps that in the user's folder; the file it could not read is left alone.
    void unreadableFileLoadsTheEmptyState() {
        QTemporaryDir programDir;
        QTemporaryDir config;
        GiveToTestUser(config.path());
        const QString program = CopyProgram(programDir.path());
        const QString beside = programDir.filePath(QStringLiteral("PrmOrvane.ini"));
        WriteFile(beside, EditedFile({"DATA RATE=1"}));
        QVERIFY(QFile::setPermissions(beside, QFileDevice::Permissions()));
        QVERIFY(QFile::setPermissions(programDir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                                             QFileDevice::ReadOther | QFileDevice::ExeOther));
        QProcess run;
        QVERIFY(StartProgram(run, program, ProgramEnvironment(config.path())));
        QVERIFY(EndProgram(run));
        QCOMPARE(ReadAll(config.filePath(QStringLiteral("Orvane/PrmOrvane.ini"))), QByteArray(kEmptyStateFile));
        QVERIFY(QFile::setPermissions(programDir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                             QFileDevice::ExeOwner));
        QVERIFY(QFile::setPermissions(beside, QFileDevice::ReadOwner));
        QCOMPARE(ReadAll(beside), EditedFile({"DATA RATE=1"}));
    }

    // An installed program (a folder the user cannot write) keeps the settings
    // in the user's folder, made at the first save; the file beside the
    // program only serves until the user has one.
    void readOnlyProgramFolderKeepsTheSettingsInTheUserFolder() {
        QTemporaryDir programDir;
        QTemporaryDir config;
        GiveToTestUser(config.path());
        const QString program = CopyProgram(programDir.path());
        const QString beside = programDir.filePath(QStringLiteral("PrmOrvane.ini"));
        const QString user = config.filePath(QStringLiteral("Orvane/PrmOrvane.ini"));
        WriteFile(beside, EditedFile({"DATA RATE=1"}));
        QVERIFY(QFile::setPermissions(programDir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                                             QFileDevice::ReadOther | QFileDevice::ExeOther));
        const QProcessEnvironment env = ProgramEnvironment(config.path());
        QProcess first;
        QVERIFY(StartProgram(first, program, env));
        QVERIFY(EndProgram(first));
        QCOMPARE(ReadAll(user), EditedFile({"DATA RATE=1"}));

        WriteFile(user, EditedFile({"DATA RATE=7"}));
        GiveToTestUser(user);
        QProcess second;
        QVERIFY(StartProgram(second, program, env));
        QVERIFY(EndProgram(second));
        QCOMPARE(ReadAll(user), EditedFile({"DATA RATE=7"}));  // the user's file won
        QCOMPARE(ReadAll(beside), EditedFile({"DATA RATE=1"}));
        QVERIFY(QFile::setPermissions(programDir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                             QFileDevice::ExeOwner));
    }

    // A settings path that is a FIFO: the window starts (nothing waits for a
    // writer), loads the empty state, and the save leaves the FIFO in place.
    void fifoInPlaceOfTheFile() {
        QVERIFY(mkfifo(QFile::encodeName(IniPath()).constData(), 0666) == 0);
        MainForm& f = Start();
        Expect(f, QStringLiteral("list:CmbRate=0;text:TxtFiltAlpha=0.0;text:txtSeedPN="));
        CloseForm(form_);
        struct stat st {};
        QCOMPARE(lstat(QFile::encodeName(IniPath()).constData(), &st), 0);
        QVERIFY(S_ISFIFO(st.st_mode));
    }

    // Files no program of ours wrote: start-up always completes, every list
    // and option group within its range, and the window closes normally.
    void hostileFilesStartSanely_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("checks");
        QByteArray garbage;
        for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 7919 + 13) % 256);
        QTest::newRow("binary garbage") << garbage << QString();
        QByteArray huge = EditedFile({"DATA RATE=3"});
        huge += "\n[JUNK]\n";
        while (huge.size() < 10 * 1024 * 1024) huge += "KEY=" + QByteArray(200, 'x') + "\n";
        QTest::newRow("10 MB") << huge << QStringLiteral("list:CmbRate=3");
        QTest::newRow("line over 254 characters")
            << EditedFile({"PN SEED=" + QString(400, QLatin1Char('A')), "CUT OFF=1" + QString(300, QLatin1Char('0'))})
            << QStringLiteral("text:txtSeedPN=") + QString(254, QLatin1Char('A'));
        QTest::newRow("duplicate sections and keys")
            << EditedFile({"DATA RATE=2"}) + "\n[SET UP]\nDATA RATE=6\nDATA RATE=7\n[set up]\nFORMAT=1\n"
            << QString();
        QByteArray crlf = EditedFile({"DATA RATE=4", "FREQUENCY OFFSET=2", "IF CONVERSION=21.4"});
        crlf.replace("\n", "\r\n");
        QTest::newRow("written on Windows (CR LF)")
            << crlf << QStringLiteral("list:CmbRate=4;opt:OptFreqOfs=2;text:TxtIf=21.4;enabled:TxtIf=1;text:txtSeedPN=FFFF");
        // An opening "[" closed only lines later: writing it back must not add
        // lines that the next read takes into the name again.
        QTest::newRow("section name spanning lines")
            << QByteArray("[SET UP]\nDATA RATE=3\n[BROKEN\n#comment\nKEY=1]\n\n[OTHERS]\nX=1\n")
            << QStringLiteral("list:CmbRate=3");
        QTest::newRow("indexes out of range")
            << EditedFile({"DATA RATE=99", "DATA=-7", "OVER SAMPL=12", "NOISE TYPE=9", "FREQUENCY OFFSET=-1"})
            << QStringLiteral("list:CmbRate=0;list:CmbData=0;list:CmbOverSamp=0;opt:OptNoise=0;opt:OptFreqOfs=0");
    }

    void hostileFilesStartSanely() {
        QFETCH(QByteArray, content);
        QFETCH(QString, checks);
        WriteFile(IniPath(), content);
        MainForm& f = Start();
        for (QComboBox* c : f.findChildren<QComboBox*>())
            QVERIFY2(c->currentIndex() >= -1 && c->currentIndex() < c->count(), qPrintable(c->objectName()));
        for (const char* group : {"OptFreqOfs", "OptNoise"}) {
            int on = 0;
            for (int i = 0; i < 3; ++i) on += Option(f, group, i)->isChecked() ? 1 : 0;
            QCOMPARE(on, 1);
        }
        Expect(f, checks);
        CloseForm(form_);
        QVERIFY(QFile::exists(IniPath()));
        // Twice more through start and close: the file keeps its size.
        const qint64 size = QFileInfo(IniPath()).size();
        QVERIFY2(size <= content.size() + 2048, qPrintable(QString::number(size)));
        for (int run = 0; run < 2; ++run) {
            Start();
            CloseForm(form_);
        }
        QCOMPARE(QFileInfo(IniPath()).size(), size);
    }

    void missingProgramFolderIsHarmless() {
        const QString gone = dir_->filePath(QStringLiteral("gone"));
        form_ = StartForm(gone, rec_);
        Expect(*form_, QStringLiteral("list:CmbRate=5"));
        CloseForm(form_);
        QVERIFY(!QFile::exists(gone));
    }
};

QTEST_MAIN(SettingsTest)
#include "settings_test.moc"
