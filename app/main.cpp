// Orvane: the desktop front-end of the Orvasynth 802.11a waveform generator.
#include <QApplication>
#include <QLockFile>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "MainForm.h"

namespace {

int signalPipe[2] = {-1, -1};

void OnEndSignal(int) {
    const char byte = 1;
    const ssize_t ignored = write(signalPipe[1], &byte, 1);
    (void)ignored;
}

// SIGTERM, SIGINT and SIGHUP (the session ends, Ctrl+C, the terminal closes)
// end the event loops, so the window closes as if the user closed it and its
// settings are kept; a message box waiting for OK is dismissed.
void EndEventLoopsOnSignals(QObject* owner) {
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [] {
        char buffer[16];
        while (read(signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        QCoreApplication::exit(0);
    });
    struct sigaction action {};
    action.sa_handler = OnEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(kProgramName));
    EndEventLoopsOnSignals(&app);
    const MainFormHooks hooks = DefaultMainFormHooks();
    QLockFile instanceLock(InstanceLockPath(QCoreApplication::applicationFilePath()));
    if (!StartupInstanceCheck(instanceLock, hooks)) return 0;
    MainForm form(QCoreApplication::applicationDirPath(), hooks);
    form.show();
    const int rc = app.exec();
    if (form.isVisible()) form.close();  // ended by a signal: the unload still runs
    return rc;
}
