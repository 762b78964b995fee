#include "window_driver.h"

#include <QFile>
#include <QLabel>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <grp.h>
#include <signal.h>
#include <unistd.h>

namespace {

// Types keys one by one; characters outside ASCII go in as key events with that text.
void TypeKeys(QLineEdit* field, const QString& keys) {
    for (QChar c : keys) {
        if (c.unicode() < 128) {
            QTest::keyClick(field, c.toLatin1());
        } else {
            QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, QString(c), Qt::NoModifier);
        }
    }
}

// The offscreen platform warns on every fixed-size window; nothing else is hidden.
QtMessageHandler previousHandler = nullptr;

void DropSizeHintWarning(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
    if (msg.contains(QLatin1String("does not support propagateSizeHints"))) return;
    if (previousHandler != nullptr) previousHandler(type, context, msg);
}

}  // namespace

MainFormHooks RecordingHooks(Recorder& rec) {
    MainFormHooks h;
    h.messageBox = [&rec](QWidget*, const QString& title, const QString& text) {
        rec.messages.append({title, text});
    };
    h.saveDialog = [&rec](QWidget*, const QString& title, const QStringList& filters, const QString& folder) {
        ++rec.dialogs;
        rec.lastDialogTitle = title;
        rec.lastDialogFilters = filters;
        rec.lastDialogFolder = folder;
        if (rec.duringDialog) rec.duringDialog();
        return rec.dialogPath;
    };
    h.beep = [&rec] { ++rec.beeps; };
    return h;
}

std::unique_ptr<MainForm> StartForm(const QString& programDir, Recorder& rec, const QString& libraryName) {
    static const bool filtered = [] {
        previousHandler = qInstallMessageHandler(DropSizeHintWarning);
        // A window whose folder is not writable keeps its settings in the user's
        // folder: never the real one of whoever runs the tests.
        static QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        return true;
    }();
    Q_UNUSED(filtered);
    MainFormHooks hooks = RecordingHooks(rec);
    hooks.libraryName = libraryName;
    auto form = std::make_unique<MainForm>(programDir, hooks);
    form->show();
    form->activateWindow();
    if (!QTest::qWaitForWindowActive(form.get())) qWarning("window did not become active");
    return form;
}

void CloseForm(std::unique_ptr<MainForm>& form) {
    form->close();
    form.reset();
}

QLineEdit* Field(MainForm& form, const char* name) {
    auto* w = form.findChild<QLineEdit*>(QString::fromLatin1(name));
    if (w == nullptr) qFatal("no text field %s", name);
    return w;
}

QComboBox* List(MainForm& form, const char* name) {
    auto* w = form.findChild<QComboBox*>(QString::fromLatin1(name));
    if (w == nullptr) qFatal("no list %s", name);
    return w;
}

QRadioButton* Option(MainForm& form, const char* group, int index) {
    for (QRadioButton* b : form.findChildren<QRadioButton*>(QString::fromLatin1(group))) {
        if (b->property("index").toInt() == index) return b;
    }
    qFatal("no option %s(%d)", group, index);
}

QPushButton* Button(MainForm& form, const char* name, int index) {
    for (QPushButton* b : form.findChildren<QPushButton*>(QString::fromLatin1(name))) {
        if (index < 0 || b->property("index").toInt() == index) return b;
    }
    qFatal("no button %s(%d)", name, index);
}

QLabel* Label(MainForm& form, const char* name) {
    auto* w = form.findChild<QLabel*>(QString::fromLatin1(name));
    if (w == nullptr) qFatal("no label %s", name);
    return w;
}


void TypeOver(QLineEdit* field, const QString& keys) {
    QTest::mouseClick(field, Qt::LeftButton);
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    if (keys.isEmpty()) {
        QTest::keyClick(field, Qt::Key_Delete);
    } else {
        TypeKeys(field, keys);
    }
}

void TypeAtEnd(QLineEdit* field, const QString& keys) {
    QTest::mouseClick(field, Qt::LeftButton);
    QTest::keyClick(field, Qt::Key_End);
    TypeKeys(field, keys);
}

void Leave(QLineEdit* field) {
    if (!field->hasFocus()) QTest::mouseClick(field, Qt::LeftButton);
    QTest::keyClick(field, Qt::Key_Tab);
}

void SelectEntry(QComboBox* list, int index) {
    list->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(list, Qt::Key_Home);
    for (int i = 0; i < index; ++i) QTest::keyClick(list, Qt::Key_Down);
}

void ClickOption(QRadioButton* option) { QTest::mouseClick(option, Qt::LeftButton); }

void ClickButton(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

uint TestUser() { return geteuid() == 0 ? 65534u : static_cast<uint>(getuid()); }

void GiveToTestUser(const QString& path) {
    if (geteuid() == 0 && chown(QFile::encodeName(path).constData(), 65534, 65534) != 0) {
        qWarning("cannot give %s to nobody", qPrintable(path));
    }
}

QString CopyProgram(const QString& folder) {
    const QString program = folder + QStringLiteral("/Orvane");
    if (!QFile::copy(QStringLiteral(ORVANE_PROGRAM_FILE), program)) qFatal("cannot copy the program");
    return program;
}

QProcessEnvironment ProgramEnvironment(const QString& configHome) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
    env.insert(QStringLiteral("HOME"), configHome);
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    return env;
}

bool StartProgram(QProcess& process, const QString& program, const QProcessEnvironment& env) {
    process.setProcessEnvironment(env);
    if (geteuid() == 0) {
        process.setChildProcessModifier([] {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(97);
        });
    }
    process.start(program, {});
    if (!process.waitForStarted()) return false;
    const QString lock = InstanceLockPath(program, TestUser());
    QElapsedTimer timer;
    timer.start();
    // The lock file's first line is the pid of the process that holds it.
    while (ReadAll(lock).split('\n').value(0) != QByteArray::number(process.processId())) {
        if (process.state() != QProcess::Running || timer.elapsed() > 20000) return false;
        QTest::qWait(20);
    }
    return true;
}

bool EndProgram(QProcess& process) {
    if (process.state() != QProcess::Running) return false;
    kill(static_cast<pid_t>(process.processId()), SIGTERM);
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QByteArray();
    return f.readAll();
}

void WriteFile(const QString& path, const QByteArray& text) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) qFatal("cannot write %s", qPrintable(path));
    f.write(text);
}
