// Drives the real Orvane window as a person would (keys, focus moves, list
// selections, option and button clicks) and records what the replaced modal
// dialogs, message boxes and beeps would have shown.
#pragma once
#include <QComboBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include "MainForm.h"

// What the window asked of the platform while a test ran.
struct Recorder {
    struct Message {
        QString title;
        QString text;
    };
    QList<Message> messages;
    int beeps = 0;
    int dialogs = 0;
    QString lastDialogTitle;
    QStringList lastDialogFilters;
    QString lastDialogFolder;
    // Path the save dialog returns ("" = cancel).
    QString dialogPath;
    // Runs while the save dialog is "open" (to look at the window then).
    std::function<void()> duringDialog;
};

// Hooks that record into rec instead of showing anything.
MainFormHooks RecordingHooks(Recorder& rec);

// Builds the window for programDir with the recording hooks, shows it and waits until it is active.
std::unique_ptr<MainForm> StartForm(const QString& programDir, Recorder& rec,
                                    const QString& libraryName = QString::fromLatin1(kOrvasynthName));

// Closes the window as a person would (runs the unload, which saves the settings).
void CloseForm(std::unique_ptr<MainForm>& form);

QLineEdit* Field(MainForm& form, const char* name);
QComboBox* List(MainForm& form, const char* name);
QRadioButton* Option(MainForm& form, const char* group, int index);
QPushButton* Button(MainForm& form, const char* name, int index = -1);
QLabel* Label(MainForm& form, const char* name);

// Clicks into the field, selects its whole text and types keys over it.
void TypeOver(QLineEdit* field, const QString& keys);
// Clicks into the field at the end of its text and types keys there.
void TypeAtEnd(QLineEdit* field, const QString& keys);
// Moves the focus away from the field with the Tab key.
void Leave(QLineEdit* field);
// Selects a list entry with the keyboard (Home, then Down).
void SelectEntry(QComboBox* list, int index);
void ClickOption(QRadioButton* option);
void ClickButton(QPushButton* button);

// The user the real program runs as in the tests: "nobody" (65534) when the
// tests run as root, else the current user.
uint TestUser();
// Makes path belong to TestUser() (a no-op unless running as root).
void GiveToTestUser(const QString& path);

// A copy of the Orvane program in folder, so its lock and settings are its own.
QString CopyProgram(const QString& folder);

// Environment for the real program: headless, user settings in configHome.
QProcessEnvironment ProgramEnvironment(const QString& configHome);

// Starts the real program as TestUser() and waits until it holds its instance
// lock (its signal handling is set up by then); false when it does not.
bool StartProgram(QProcess& process, const QString& program, const QProcessEnvironment& env);

// Ends a running program as a session end does (SIGTERM) and waits; true when
// it exited normally with status 0 (the window closed and saved).
bool EndProgram(QProcess& process);

// Text of a file, or an empty text when it cannot be read.
QByteArray ReadAll(const QString& path);
// Writes text to a file, replacing it.
void WriteFile(const QString& path, const QByteArray& text);
