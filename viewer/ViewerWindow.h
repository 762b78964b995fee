// The orvview window: the five charts of one waveform file beside its orvcheck
// report. Opens files from the menu, by drag and drop and from the command line,
// analyses them off the GUI thread and follows the file when it changes on disk.
#pragma once

#include <QFileSystemWatcher>
#include <QFutureWatcher>
#include <QMainWindow>
#include <QTimer>
#include <memory>
#include <vector>

#include "analysis.h"
#include "command_options.h"
#include "views.h"

class QChartView;
class QLabel;
class QStackedWidget;
class QTextEdit;

namespace orv::viewer {

// What opening a file gave: a result, or the reader's message.
struct LoadOutcome {
    std::shared_ptr<const analysis::Result> result;
    QString error;
};

// Reads and analyses path (any file orvcheck reads) with orvcheck's options; a SigMF
// recording's own description fills what given (the options set explicitly) leaves open. Never throws.
LoadOutcome load_file(const QString& path, const analysis::Options& options = {},
                      const std::vector<analysis::GivenOption>& given = {});

class ViewerWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit ViewerWindow(QWidget* parent = nullptr);

    // Starts reading path; loaded() or failed() follows.
    void open_file(const QString& path);
    // The analysis options for the files opened from now on (a CSV file's rate, a DATA-only burst),
    // and which of them were given explicitly (they win over a recording's own description).
    void set_options(const analysis::Options& options, const std::vector<analysis::GivenOption>& given = {}) {
        options_ = options;
        given_ = given;
    }
    QString file() const { return path_; }
    std::shared_ptr<const analysis::Result> result() const { return result_; }
    // The chart of view v, or null while no file is shown.
    QChart* chart(View v) const;
    // The message shown instead of the charts (empty while they are shown).
    QString message() const;
    QTextEdit* report() const { return report_; }

signals:
    void loaded();
    void failed(const QString& message);

protected:
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dropEvent(QDropEvent* e) override;

private:
    void choose_file();
    void export_dialog();
    void finished();
    void show_result(std::shared_ptr<const analysis::Result> r);
    void show_message(const QString& text);
    void watch();
    void check_changed();

    QString path_;
    analysis::Options options_;
    std::vector<analysis::GivenOption> given_;
    std::shared_ptr<const analysis::Result> result_;
    QStackedWidget* stack_ = nullptr;
    QLabel* message_ = nullptr;
    QTextEdit* report_ = nullptr;
    QChartView* views_[5] = {};
    QFutureWatcher<LoadOutcome> loader_;
    QString loading_;       // path of the load in flight
    QString loading_stamp_; // its stamp when the load started
    bool reload_pending_ = false;
    QFileSystemWatcher watcher_;
    QTimer debounce_;
    QString stamp_;         // inode, size and modification time of the file shown
};

// The identity of a file's current contents as stat gives it (empty when it does not exist).
QString file_stamp(const QString& path);

}  // namespace orv::viewer
