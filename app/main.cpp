// Orvane: the desktop front-end of the Orvasynth 802.11a waveform generator.
#include <QApplication>
#include <QLockFile>

#include "MainForm.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(kProgramName));
    const MainFormHooks hooks = DefaultMainFormHooks();
    QLockFile instanceLock(InstanceLockPath(QCoreApplication::applicationFilePath()));
    if (!StartupInstanceCheck(instanceLock, hooks)) return 0;
    MainForm form(QCoreApplication::applicationDirPath(), hooks);
    form.show();
    return app.exec();
}
