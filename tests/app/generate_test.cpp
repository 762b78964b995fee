// The generate command end to end through the real Orvasynth library: the
// save dialog, the crest-factor box, the error box, cancel, a library that
// cannot be loaded, the real dialog and message box, and the single-instance
// test against a running copy of the program.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLockFile>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <grp.h>
#include <signal.h>
#include <unistd.h>
#include <dlfcn.h>
#include <cmath>

#include "window_driver.h"

namespace {

// Qt name filters: the text shown, then the patterns Qt matches ("*.*" would miss names without a dot).
const QStringList kAwgFilters = {"AWG Data(*.awv)(*.awv)", "data files(*.dat)(*.dat)", "text files(*.txt)(*.txt)",
                                 "all files(*.*)(*)"};
const QStringList kCsvFilters = {"data files(*.csv)(*.csv)", "text files(*.txt)(*.txt)", "all files(*.*)(*)"};
// What the dialog's file-type list shows.
const QStringList kAwgShown = {"AWG Data(*.awv)", "data files(*.dat)", "text files(*.txt)", "all files(*.*)"};

// The crest-factor box of the default burst (the library's output is frozen).
const char kDefaultCrestBox[] =
    "\r\nRF crest factor     :  9.37013\r\n I  sig crest factor :  11.430434\r\n Q sig crest factor :  12.313851\r\n";

// Total sample count of a record: burst plus the burst-off gap, truncated.
int64_t TotalSamples(const WaveParams& p) {
    const int64_t os = p.oversampling;
    const int64_t n = (p.frame_format == 0 ? 400 * os : 0) + 80 * int64_t(p.ofdm_symbols) * os;
    if (p.burst_enable != 1) return n;
    return static_cast<int64_t>(static_cast<double>(n) + p.burst_off_time * (20000000.0 * os));
}

// Answers the modal windows that open while a command runs, one handler per
// window in order; each handler returns true when it dealt with the window.
class ModalScript : public QObject {
public:
    explicit ModalScript(QList<std::function<bool(QWidget*)>> steps) : steps_(std::move(steps)) {
        deadline_.start();
        connect(&timer_, &QTimer::timeout, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal != nullptr && deadline_.elapsed() > 10000) {
                // Gone wrong: close whatever is open so that the test fails instead of hanging.
                if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
                return;
            }
            if (modal == nullptr || modal == last_ || steps_.isEmpty()) return;
            if (steps_.first()(modal)) {
                last_ = modal;
                steps_.removeFirst();
            }
        });
        timer_.start(20);
    }
    bool Done() const { return steps_.isEmpty(); }

private:
    QList<std::function<bool(QWidget*)>> steps_;
    QTimer timer_;
    QElapsedTimer deadline_;
    QPointer<QWidget> last_;
};

}  // namespace

class GenerateTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    Recorder rec_;
    std::unique_ptr<MainForm> form_;

    MainForm& Start(const QString& library = QString::fromLatin1(kOrvasynthName)) {
        form_ = StartForm(dir_->path(), rec_, library);
        return *form_;
    }
    QString Out(const char* name) const { return dir_->filePath(QString::fromLatin1(name)); }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        rec_ = Recorder();
    }

    void cleanup() { form_.reset(); }

    void cancelMakesNoLibraryCall_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("filters");
        QTest::newRow("AWG") << 0 << "AWG Data Save" << kAwgFilters;
        QTest::newRow("floating") << 1 << "IQ Data Save" << kCsvFilters;
    }

    void cancelMakesNoLibraryCall() {
        QFETCH(int, index);
        QFETCH(QString, title);
        QFETCH(QStringList, filters);
        // A library that cannot load would show a box if the command went that far.
        MainForm& f = Start(QStringLiteral("OrvasynthNotThere"));
        bool busyDuringDialog = false;
        bool disabledDuringDialog = false;
        rec_.duringDialog = [&] {
            busyDuringDialog = f.cursor().shape() == Qt::WaitCursor;
            disabledDuringDialog = true;
            for (QPushButton* b : f.findChildren<QPushButton*>()) disabledDuringDialog &= !b->isEnabled();
        };
        ClickButton(Button(f, "BtnMake", index));
        QCOMPARE(rec_.dialogs, 1);
        QCOMPARE(rec_.lastDialogTitle, title);
        QCOMPARE(rec_.lastDialogFilters, filters);
        QVERIFY(busyDuringDialog);
        QVERIFY(disabledDuringDialog);
        QCOMPARE(rec_.messages.size(), 0);
        for (QPushButton* b : f.findChildren<QPushButton*>()) QVERIFY(b->isEnabled());
        QCOMPARE(f.cursor().shape(), Qt::ArrowCursor);
    }

    // A settings file with blanks around its values: the window's save and
    // orvgen's --save-settings rewrite every entry alike, as KEY=value.
    void sameSettingsFileAsOrvgen() {
#ifndef ORVGEN_PROGRAM_FILE
        QSKIP("orvgen is not built");
#else
        const QByteArray blanks("; kept\n[SET UP]\nDATA RATE = 3\nPN SEED=  1A2B  \nOFDM LENGTH =\t42\n"
                                "[TX FILTER]\nOVER SAMPL= 2 \n[MY TOOL]\nCOLOUR = blue \n");
        const QString ini = dir_->filePath(QStringLiteral("PrmOrvane.ini"));
        const QString other = Out("orvgen.ini");
        WriteFile(ini, blanks);
        WriteFile(other, blanks);
        Start();
        CloseForm(form_);
        QProcess p;
        p.start(QStringLiteral(ORVGEN_PROGRAM_FILE), {"--settings", other, "--save-settings", other});
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 0);
        const QByteArray window = ReadAll(ini);
        QVERIFY2(window.contains("\nPN SEED=1A2B\n"), window.constData());
        QVERIFY2(window.contains("\nDATA RATE=3\n"), window.constData());
        QVERIFY2(window.contains("\nCOLOUR = blue \n"), window.constData());  // not a settings entry: kept
        QCOMPARE(window, ReadAll(other));
#endif
    }

    // orvgen and the window write the same files for the same settings: the
    // window opens a settings file that orvgen wrote, and orvgen then reads it.
    void sameFilesAsOrvgen() {
#ifndef ORVGEN_PROGRAM_FILE
        QSKIP("orvgen is not built");
#else
        const QString ini = dir_->filePath(QStringLiteral("PrmOrvane.ini"));
        auto orvgen = [](const QStringList& args) {
            QProcess p;
            p.start(QStringLiteral(ORVGEN_PROGRAM_FILE), args);
            return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        };
        QCOMPARE(orvgen({"--save-settings", ini, "--rate", "54", "--symbols", "20", "--data", "PN23",
                         "--seed", "1A2B", "--filter", "nyquist", "--taps", "101", "--roll-off", "0.3",
                         "--cut-off", "10", "--oversample", "10", "--window-tr", "0.5", "--if", "21.4",
                         "--dc-real", "5", "--dc-imag", "-3", "--sine", "12", "--sine-level", "-20",
                         "--iq-inverse", "on", "--burst-off", "50"}),
                 0);
        MainForm& f = Start();
        QCOMPARE(List(f, "CmbRate")->currentIndex(), 7);
        rec_.dialogPath = Out("window.awv");
        ClickButton(Button(f, "BtnMake", 0));
        rec_.dialogPath = Out("window.csv");
        ClickButton(Button(f, "BtnMake", 1));
        QCOMPARE(orvgen({"--settings", ini, "-o", Out("orvgen.awv")}), 0);
        QCOMPARE(orvgen({"--settings", ini, "-o", Out("orvgen.csv")}), 0);
        const QRegularExpression date(QStringLiteral("\\{DATE:[^}]*\\}"));
        const QByteArray windowAwg = ReadAll(Out("window.awv")), orvgenAwg = ReadAll(Out("orvgen.awv"));
        QVERIFY(windowAwg.size() > 100000);
        QCOMPARE(QString::fromLatin1(windowAwg).replace(date, QString()),
                 QString::fromLatin1(orvgenAwg).replace(date, QString()));
        QCOMPARE(ReadAll(Out("window.csv")), ReadAll(Out("orvgen.csv")));
        QCOMPARE(f.Params().if_enable, 1);
        QCOMPARE(f.Params().sine_enable, 1);
        QCOMPARE(f.Params().filter_cutoff, 10 * 1000000.0);
#endif
    }

    void awgFileAndCrestFactorBox() {
        MainForm& f = Start();
        rec_.dialogPath = Out("burst.awv");
        ClickButton(Button(f, "BtnMake", 0));
        const WaveParams& p = f.Params();
        QCOMPARE(rec_.messages.size(), 1);
        QCOMPARE(rec_.messages[0].title, QStringLiteral("PAPR parameter"));
        QCOMPARE(rec_.messages[0].text, QString::fromLatin1(kDefaultCrestBox));
        QVERIFY(rec_.messages[0].text.startsWith(QStringLiteral("\r\nRF crest factor     :  ")));

        const QByteArray file = ReadAll(rec_.dialogPath);
        const int64_t samples = TotalSamples(p);
        QCOMPARE(p.burst_off_time, 160 * 1e-6);
        QVERIFY(file.startsWith("{COMMENT:OFDM waveform generator}{DATE:"));
        QVERIFY(file.contains("{SAMPLINGFREQ:160000000.000000}"));
        const QByteArray tag = "{WAVEDATA:" + QByteArray::number(8 * samples) + ';';
        const qsizetype at = file.indexOf(tag);
        QVERIFY2(at > 0, file.left(300).constData());
        QCOMPARE(file.size(), at + tag.size() + 8 * samples + 1);
        QVERIFY(file.endsWith('}'));

        // The box shows the values the file's PAPR item holds.
        const qsizetype papr = file.indexOf("{PAPR:");
        const QList<QByteArray> values = file.mid(papr + 6, file.indexOf('}', papr) - papr - 6).split(';');
        QCOMPARE(values.size(), 3);
        QVERIFY(std::fabs(values[0].toDouble() - p.papr) <= 5e-7);
        QVERIFY(std::fabs(values[1].toDouble() - p.crest_i) <= 5e-7);
        QVERIFY(std::fabs(values[2].toDouble() - p.crest_q) <= 5e-7);
        for (QPushButton* b : f.findChildren<QPushButton*>()) QVERIFY(b->isEnabled());
        QCOMPARE(f.cursor().shape(), Qt::ArrowCursor);
    }

    void floatingFileWithoutMessage() {
        MainForm& f = Start();
        SelectEntry(List(f, "CmbOverSamp"), 0);
        TypeOver(Field(f, "TxtnOFDM"), QStringLiteral("3"));
        rec_.dialogPath = Out("burst.csv");
        ClickButton(Button(f, "BtnMake", 1));
        QCOMPARE(rec_.messages.size(), 0);
        const QByteArray file = ReadAll(rec_.dialogPath);
        const int64_t samples = TotalSamples(f.Params());
        QCOMPARE(file.count('\n'), samples);
        const QRegularExpression line(QStringLiteral("^-?\\d\\.\\d{10}e[+-]\\d{2,3},-?\\d\\.\\d{10}e[+-]\\d{2,3}$"));
        const QString first = QString::fromLatin1(file.left(file.indexOf('\n')));
        QVERIFY2(line.match(first).hasMatch(), qPrintable(first));
        QCOMPARE(f.Params().papr, 0.0);
        QCOMPARE(f.Params().crest_i, 0.0);
        QCOMPARE(f.Params().crest_q, 0.0);
    }

    void outputFieldsKeepTheirValuesUntilTheNextCall() {
        MainForm& f = Start();
        rec_.dialogPath = Out("a.awv");
        ClickButton(Button(f, "BtnMake", 0));
        const WaveParams before = f.Params();
        rec_.dialogPath.clear();
        TypeOver(Field(f, "TxtnOFDM"), QStringLiteral("7"));
        ClickButton(Button(f, "BtnMake", 0));
        QCOMPARE(f.Params().ofdm_symbols, 7);
        QCOMPARE(f.Params().papr, before.papr);
        QCOMPARE(f.Params().crest_i, before.crest_i);
        QCOMPARE(f.Params().crest_q, before.crest_q);
    }

    void fileThatCannotBeCreatedShowsTheErrorBox() {
        MainForm& f = Start();
        rec_.dialogPath = Out("no-such-folder/burst.awv");
        ClickButton(Button(f, "BtnMake", 0));
        QCOMPARE(rec_.messages.size(), 1);  // no crest-factor box
        QCOMPARE(rec_.messages[0].title, QStringLiteral("Orvane"));
        QCOMPARE(rec_.messages[0].text,
                 QStringLiteral("GUI Error Code : %1\r\nDLL Return Code(Hex) : 4").arg(ENOENT));
        for (QPushButton* b : f.findChildren<QPushButton*>()) QVERIFY(b->isEnabled());
    }

    void validationFailureShowsTheMask() {
        MainForm& f = Start();
        SelectEntry(List(f, "CmbOverSamp"), 0);
        ClickOption(Option(f, "OptFreqOfs", 1));
        TypeOver(Field(f, "TxtDFreq"), QStringLiteral("100"));
        rec_.dialogPath = Out("bad.awv");
        ClickButton(Button(f, "BtnMake", 1));
        QCOMPARE(rec_.messages.size(), 1);
        QCOMPARE(rec_.messages[0].text, QStringLiteral("GUI Error Code : 0\r\nDLL Return Code(Hex) : 80008000"));
        QVERIFY(!QFile::exists(rec_.dialogPath));
    }

    void libraryThatCannotBeLoaded() {
        MainForm& f = Start(QStringLiteral("OrvasynthNotThere"));
        rec_.dialogPath = Out("x.awv");
        ClickButton(Button(f, "BtnMake", 0));
        QCOMPARE(rec_.messages.size(), 1);
        QCOMPARE(rec_.messages[0].title, QStringLiteral("Orvane"));
        // The file looked for, where, and the loader's message once.
        const QString text = rec_.messages[0].text;
        const QStringList lines = text.split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[0], QStringLiteral("The library libOrvasynthNotThere.so.1 could not be loaded."));
        QVERIFY2(lines[1].startsWith(QStringLiteral("Searched: ")), qPrintable(text));
        QVERIFY2(lines[1].contains(QFileInfo(QStringLiteral(ORVANE_PROGRAM_FILE)).absolutePath().section(QLatin1Char('/'), 0, -2)),
                 qPrintable(text));
        QVERIFY2(lines[1].endsWith(QStringLiteral("the system's library cache.")), qPrintable(text));
        QCOMPARE(text.count(QStringLiteral("cannot open shared object file")), 1);
        QVERIFY2(lines[2].contains(QStringLiteral("libOrvasynthNotThere.so.1")), qPrintable(text));
        QVERIFY(!QFile::exists(rec_.dialogPath));
        for (QPushButton* b : f.findChildren<QPushButton*>()) QVERIFY(b->isEnabled());
        QCOMPARE(f.cursor().shape(), Qt::ArrowCursor);
    }

    void libraryWithoutTheEntryPoint() {
        // The Qt Test library loads fine but has no orv_11a_actual.
        Dl_info info{};
        QVERIFY(dladdr(reinterpret_cast<void*>(&QTest::qSleep), &info) != 0);
        const QString qtTest = QString::fromLocal8Bit(info.dli_fname);
        MainForm& f = Start(qtTest);
        rec_.dialogPath = Out("x.awv");
        ClickButton(Button(f, "BtnMake", 0));
        QCOMPARE(rec_.messages.size(), 1);
        QVERIFY2(rec_.messages[0].text.startsWith(QStringLiteral("orv_11a_actual was not found in the library ") + qtTest),
                 qPrintable(rec_.messages[0].text));
    }

    void realDialogAndMessageBox() {
        form_ = std::make_unique<MainForm>(dir_->path(), DefaultMainFormHooks());
        MainForm& f = *form_;
        f.show();
        QVERIFY(QTest::qWaitForWindowActive(&f));
        const QString path = Out("plain");  // no extension: none may be added
        WriteFile(path, "old");
        QString seenFilter;
        QStringList seenFilters;
        QStringList shownFilters;
        QString seenFolder;
        QString crestText;
        ModalScript script({
            [&](QWidget* w) {
                auto* dialog = qobject_cast<QFileDialog*>(w);
                if (dialog == nullptr) return false;
                seenFilters = dialog->nameFilters();
                seenFilter = dialog->selectedNameFilter();
                seenFolder = dialog->directory().absolutePath();
                if (auto* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))) {
                    for (int i = 0; i < types->count(); ++i) shownFilters << types->itemText(i);
                }
                if (dialog->windowTitle() != QLatin1String("AWG Data Save")) return false;
                // Typed into the file-name field, as a person would.
                auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                if (name == nullptr) return false;
                name->setText(path);
                QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
                return true;
            },
            [&](QWidget* w) {  // the dialog asks before the file is replaced
                auto* box = qobject_cast<QMessageBox*>(w);
                if (box == nullptr || !box->text().contains(QLatin1String("already exists"))) return false;
                box->button(QMessageBox::Yes)->click();
                return true;
            },
            [&](QWidget* w) {
                auto* box = qobject_cast<QMessageBox*>(w);
                if (box == nullptr || box->windowTitle() != QLatin1String("PAPR parameter")) return false;
                crestText = box->text();
                if (box->buttons().size() != 1) return false;
                box->buttons().first()->click();
                return true;
            },
        });
        ClickButton(Button(f, "BtnMake", 0));
        QVERIFY(script.Done());
        QCOMPARE(seenFilters, kAwgFilters);
        QCOMPARE(seenFilter, kAwgShown.first());  // with HideNameFilterDetails, the shown text
        QCOMPARE(shownFilters, kAwgShown);
        QCOMPARE(seenFolder, QDir::currentPath());
        QCOMPARE(crestText, QString::fromLatin1(kDefaultCrestBox));
        QVERIFY(ReadAll(path).startsWith("{COMMENT:"));
        QVERIFY(!QFile::exists(path + QStringLiteral(".awv")));
    }

    // Two starts of the real program: the second shows the message and ends,
    // leaving the first instance and the settings file untouched.
    void secondStartWhileOneRuns() {
        QTemporaryDir folder;
        QTemporaryDir config;
        GiveToTestUser(folder.path());
        GiveToTestUser(config.path());
        const QString program = CopyProgram(folder.path());
        const QString ini = folder.filePath(QStringLiteral("PrmOrvane.ini"));
        const QProcessEnvironment env = ProgramEnvironment(config.path());
        QProcess first;
        QVERIFY(StartProgram(first, program, env));

        QProcess second;
        second.setProcessEnvironment(env);
        if (geteuid() == 0) {
            second.setChildProcessModifier([] {
                if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(97);
            });
        }
        second.start(program, {});
        QVERIFY(second.waitForStarted());
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += second.readAllStandardError()).contains("Orvane: 既に起動されています。\n") ||
                                     second.state() != QProcess::Running,
                                 20000);
        QVERIFY2(said.contains("Orvane: 既に起動されています。\n"), said.constData());
        QCOMPARE(second.state(), QProcess::Running);  // the box waits for OK
        QVERIFY(EndProgram(second));                 // dismissed: the program ends normally
        QCOMPARE(first.state(), QProcess::Running);
        QVERIFY(!QFile::exists(ini));  // the second start wrote no settings

        QVERIFY(EndProgram(first));
        QVERIFY2(ReadAll(ini).contains("\nDATA RATE=5\n"), ReadAll(ini).constData());

        // A crashed instance's lock does not block the next start.
        QProcess crashed;
        QVERIFY(StartProgram(crashed, program, env));
        crashed.kill();
        QVERIFY(crashed.waitForFinished());
        QVERIFY(QFile::exists(InstanceLockPath(program, TestUser())));
        QFile::remove(ini);
        QProcess next;
        QVERIFY(StartProgram(next, program, env));
        QVERIFY(EndProgram(next));
        QVERIFY(QFile::exists(ini));
    }

    // The build tree's program searches only real folders: no empty DT_RPATH
    // entry (the current folder), and the library is found along it.
    void programSearchPathHasNoEmptyEntry() {
        QProcess readelf;
        readelf.start(QStringLiteral("readelf"), {QStringLiteral("-d"), QStringLiteral(ORVANE_PROGRAM_FILE)});
        if (!readelf.waitForFinished() || readelf.exitCode() != 0) QSKIP("readelf is not available");
        const QString out = QString::fromLocal8Bit(readelf.readAllStandardOutput());
        const QRegularExpression rpath(QStringLiteral("Library rpath: \\[([^\\]]*)\\]"));
        const QRegularExpressionMatch m = rpath.match(out);
        QVERIFY2(m.hasMatch(), qPrintable(out));
        QVERIFY(!out.contains(QLatin1String("Library runpath")));
        const QStringList entries = m.captured(1).split(QLatin1Char(':'));
        bool found = false;
        for (const QString& entry : entries) {
            QVERIFY2(!entry.isEmpty(), qPrintable(m.captured(1)));
            QString dir = entry;
            dir.replace(QLatin1String("$ORIGIN"), QFileInfo(QStringLiteral(ORVANE_PROGRAM_FILE)).absolutePath());
            found |= QFileInfo::exists(dir + QStringLiteral("/libOrvasynth.so.1"));
        }
        QVERIFY2(found, qPrintable(m.captured(1)));
    }

    // The save dialog opens in the current folder, then in the folder of the last file written.
    void saveDialogFolderFollowsTheLastFile() {
        MainForm& f = Start();
        TypeOver(Field(f, "TxtnOFDM"), QStringLiteral("2"));
        QVERIFY(QDir(dir_->path()).mkdir(QStringLiteral("sub")));
        rec_.dialogPath = dir_->filePath(QStringLiteral("sub/a.csv"));
        ClickButton(Button(f, "BtnMake", 1));
        QCOMPARE(rec_.lastDialogFolder, QDir::currentPath());
        QVERIFY(QFile::exists(rec_.dialogPath));
        rec_.dialogPath = dir_->filePath(QStringLiteral("gone/b.csv"));  // not written
        ClickButton(Button(f, "BtnMake", 1));
        QCOMPARE(rec_.lastDialogFolder, dir_->filePath(QStringLiteral("sub")));
        rec_.dialogPath.clear();
        ClickButton(Button(f, "BtnMake", 0));
        QCOMPARE(rec_.lastDialogFolder, dir_->filePath(QStringLiteral("sub")));
    }
};

QTEST_MAIN(GenerateTest)
#include "generate_test.moc"
