// The Orvane main window: parameter controls, derived values, interlocks,
// input filters and checks, settings load and save, and the generate command.
// The parameter logic itself lives in core/ (Qt-free); this is the window over it.
#pragma once
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>

#include "MainFormCore.h"
#include "OrvaneLibDLL.h"

class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QLockFile;
class QPushButton;
class QRadioButton;

// Platform services the window calls. The program uses DefaultMainFormHooks();
// tests replace the modal dialogs, the beep and the library name.
struct MainFormHooks {
    // Modal message box with one OK button.
    std::function<void(QWidget* parent, const QString& title, const QString& text)> messageBox;
    // Modal save-file dialog with Qt name filters (the first preselected),
    // opened in folder; returns the chosen path, or an empty text when cancelled.
    std::function<QString(QWidget* parent, const QString& title, const QStringList& filters, const QString& folder)>
        saveDialog;
    std::function<void()> beep;
    QString libraryName = QString::fromLatin1(kOrvasynthName);
};

MainFormHooks DefaultMainFormHooks();

// Save-dialog titles and filter lists ("description|pattern|..."), per output mode.
extern const char* const kSaveTitles[2];
extern const char* const kSaveFilters[2];

// Turns a "description|pattern|description|pattern" list into Qt name filters
// "description(pattern)", shown as the description alone; the pattern "*.*"
// (every file) becomes "*".
QStringList DialogFilters(const QString& commonDialogFilter);

// Lock file that marks a running instance of the program file, per user
// (the calling process's user unless uid is given).
QString InstanceLockPath(const QString& programFile);
QString InstanceLockPath(const QString& programFile, uint uid);

// Start-up step 1: takes the instance lock and returns true, or shows the
// "already running" message and returns false when another instance holds it.
// A lock left behind by a crashed instance does not count.
bool StartupInstanceCheck(QLockFile& lock, const MainFormHooks& hooks);

class MainForm : public QWidget {
    Q_OBJECT

public:
    // Builds the window and runs its load: choice lists, then the settings file
    // PrmOrvane.ini (beside the program in programDir, or in the user's settings
    // folder when programDir is not writable; see LocateSettings) or the
    // defaults, then the derived values.
    MainForm(const QString& programDir, const MainFormHooks& hooks, QWidget* parent = nullptr);
    ~MainForm() override;

    // The program's one parameter record, as the last generate command left it.
    const WaveParams& Params() const { return params_; }
    // The settings file the window writes when it closes, and the one it read at start-up.
    QString SettingsPath() const { return settingsPath_; }
    QString SettingsReadPath() const { return settingsReadPath_; }
    float SamplingRateHz() const { return fs_; }
    float FilterLengthUsec() const { return filterLenTime_; }

    // Copies the controls into the record; returns false (record unchanged)
    // when a strictly read field is not a number, with that field in badField.
    bool Get_Params(int32_t& badField);
    // Sets the enabled state of both BtnMake entries and BtnDefSet.
    void Enable_Buttons(bool state);
    void Calc_SmplRate();
    void FilterLengUsec();
    void SetDefaults();
    void LoadPrmIni(const QString& path);
    void SavePrmIni(const QString& path);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The window's frames, controls and notifications, built in tab order.
    void BuildWindow();
    QComboBox* MakeList(int32_t list, QWidget* parent);
    QLineEdit* MakeText(int32_t field, const char* initial, QWidget* parent);
    void MakeOptionGroup(int32_t group, QGroupBox* frame);
    QGroupBox* BuildSetupFrame();
    QGroupBox* BuildFilterFrame();
    // The impairments frame; freq and noise receive its two option-group frames.
    QGroupBox* BuildDeteriorationFrame(QGroupBox*& freq, QGroupBox*& noise);
    void BuildButtons();
    void ConnectNotifications();
    void FillLists();
    void MakeCommand(int32_t index);
    FieldValues ReadFieldValues() const;
    void SetListIndex(int32_t list, int32_t index);
    void SetOption(int32_t group, int32_t index);
    void OnListClick(int32_t list);
    void OnOptionClick(int32_t group, int32_t index);
    void OnTextChange(int32_t field);
    void OnLostFocus(int32_t field);

    MainFormHooks hooks_;
    OrvaneLib lib_;
    WaveParams params_{};
    QString settingsPath_;
    QString settingsReadPath_;
    bool settingsBesideProgram_ = true;
    // Folder the save dialog opens in: that of the last file written in this run.
    QString dialogFolder_;
    bool windowReady_ = false;
    float fs_ = 0.0f;
    float filterLenTime_ = 0.0f;
    int fieldWidth_ = 0;  // of every text field, in pixels

    QComboBox* list_[kListCount] = {};
    QLineEdit* text_[kTextFieldCount] = {};
    QButtonGroup* optGroup_[kOptionGroupCount] = {};
    QRadioButton* opt_[kOptionGroupCount][kOptionsPerGroup] = {};
    QLineEdit* txtIntRate_ = nullptr;
    QLineEdit* txtDecRate_ = nullptr;
    QLabel* lblSampRate_ = nullptr;
    QLabel* filterLenUSec_ = nullptr;
    QPushButton* btnMake_[2] = {};
    QPushButton* btnDefSet_ = nullptr;
};
