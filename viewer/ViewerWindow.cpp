#include "ViewerWindow.h"

#include <QApplication>
#include <QChartView>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGridLayout>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QSplitter>
#include <QStackedWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QtConcurrent/QtConcurrentRun>

#include <sys/stat.h>

#include "export.h"

namespace orv::viewer {

LoadOutcome load_file(const QString& path, const analysis::Options& options,
                      const std::vector<analysis::GivenOption>& given) {
    LoadOutcome out;
    const std::string name = QFile::encodeName(path).toStdString();
    try {
        analysis::Options o = options;
        analysis::add_recording_description(name, given, o);
        out.result = std::make_shared<const analysis::Result>(analysis::analyse_file(name, o));
    } catch (const std::bad_alloc&) {
        out.error = path + ": not enough memory";
    } catch (const std::exception& e) {  // ReadError, AnalysisError
        out.error = path + ": " + QString::fromLocal8Bit(e.what());
    }
    return out;
}

QString file_stamp(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return {};
    return QString("%1:%2:%3:%4:%5")
        .arg(st.st_dev)
        .arg(st.st_ino)
        .arg(st.st_size)
        .arg(st.st_mtim.tv_sec)
        .arg(st.st_mtim.tv_nsec);
}

ViewerWindow::ViewerWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle("orvview");
    setAcceptDrops(true);
    resize(1800, 1000);

    QMenu* file = menuBar()->addMenu("&File");
    file->addAction("&Open...", QKeySequence::Open, this, &ViewerWindow::choose_file);
    file->addAction("&Export views...", this, &ViewerWindow::export_dialog);
    file->addSeparator();
    file->addAction("&Quit", QKeySequence::Quit, this, &QWidget::close);
    QMenu* view = menuBar()->addMenu("&View");
    view->addAction("&Reset time zoom", this, [this] {
        if (QChart* c = chart(View::Power)) c->zoomReset();
    });

    stack_ = new QStackedWidget;
    message_ = new QLabel("Open an 802.11a waveform file (.awv, .csv, SigMF, R&S .wv or Keysight .bin): File > Open, or drop it here.");
    message_->setObjectName("message");
    message_->setAlignment(Qt::AlignCenter);
    message_->setWordWrap(true);
    message_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    stack_->addWidget(message_);

    auto* splitter = new QSplitter(Qt::Horizontal);
    auto* grid_host = new QWidget;
    auto* grid = new QGridLayout(grid_host);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(2);
    for (int i = 0; i < 5; ++i) {
        views_[i] = new QChartView;
        views_[i]->setRenderHint(QPainter::Antialiasing);
        views_[i]->setObjectName(view_stem(kViews[i]));
        views_[i]->setMinimumSize(320, 240);
    }
    views_[4]->setRubberBand(QChartView::HorizontalRubberBand);  // drag to zoom, right click to zoom out
    views_[4]->setToolTip("Drag to zoom the time axis, right click to zoom out");
    grid->addWidget(views_[0], 0, 0);
    grid->addWidget(views_[1], 0, 1);
    grid->addWidget(views_[2], 0, 2);
    grid->addWidget(views_[3], 1, 0);
    grid->addWidget(views_[4], 1, 1, 1, 2);
    splitter->addWidget(grid_host);
    report_ = new QTextEdit;
    report_->setObjectName("report");
    report_->setReadOnly(true);
    report_->setLineWrapMode(QTextEdit::NoWrap);
    report_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    splitter->addWidget(report_);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 0);
    // Room for the report's lines (about 64 characters; the rest scrolls) beside the charts.
    const int report_width = report_->fontMetrics().horizontalAdvance(QString(64, 'x'));
    splitter->setSizes({width() - report_width, report_width});
    stack_->addWidget(splitter);
    setCentralWidget(stack_);

    connect(&loader_, &QFutureWatcher<LoadOutcome>::finished, this, &ViewerWindow::finished);
    debounce_.setSingleShot(true);
    debounce_.setInterval(200);
    connect(&debounce_, &QTimer::timeout, this, &ViewerWindow::check_changed);
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, [this] { debounce_.start(); });
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { debounce_.start(); });
}

QChart* ViewerWindow::chart(View v) const {
    if (!result_ || stack_->currentIndex() != 1) return nullptr;
    return views_[static_cast<int>(v)]->chart();
}

QString ViewerWindow::message() const { return stack_->currentIndex() == 0 ? message_->text() : QString(); }

void ViewerWindow::open_file(const QString& path) {
    const QString abs = QFileInfo(path).absoluteFilePath();
    if (abs != path_) {
        path_ = abs;
        stamp_.clear();
        watch();
    }
    setWindowTitle(QFileInfo(path_).fileName() + " - orvview");
    if (loader_.isRunning()) {
        reload_pending_ = true;  // read it again once the load in flight ends
        return;
    }
    loading_ = path_;
    loading_stamp_ = file_stamp(path_);  // taken first: a change during the read is seen later
    loader_.setFuture(QtConcurrent::run([path = path_, options = options_, given = given_] { return load_file(path, options, given); }));
}

void ViewerWindow::finished() {
    const LoadOutcome o = loader_.result();
    if (reload_pending_ || loading_ != path_) {  // stale: the file or the choice changed meanwhile
        reload_pending_ = false;
        open_file(path_);
        return;
    }
    stamp_ = loading_stamp_;
    if (o.result) show_result(o.result);
    else show_message(o.error);
    if (o.result) emit loaded();
    else emit failed(o.error);
}

void ViewerWindow::show_result(std::shared_ptr<const analysis::Result> r) {
    result_ = std::move(r);
    for (int i = 0; i < 5; ++i) {
        QChart* old = views_[i]->chart();
        views_[i]->setChart(make_chart(kViews[i], result_));
        delete old;
    }
    report_->clear();
    QTextCursor cur(report_->document());
    QTextCharFormat plain, failed;
    failed.setForeground(QColor(176, 0, 0));
    failed.setBackground(QColor(255, 224, 224));
    failed.setFontWeight(QFont::Bold);
    bool first = true;
    for (const analysis::ReportLine& l : analysis::report_lines(*result_)) {
        if (!first) cur.insertBlock();
        first = false;
        cur.insertText(QString::fromStdString(l.text), l.failed ? failed : plain);
    }
    report_->moveCursor(QTextCursor::Start);
    stack_->setCurrentIndex(1);
}

void ViewerWindow::show_message(const QString& text) {
    result_.reset();
    message_->setText(text);
    stack_->setCurrentIndex(0);
}

void ViewerWindow::watch() {
    if (!watcher_.files().isEmpty()) watcher_.removePaths(watcher_.files());
    if (!watcher_.directories().isEmpty()) watcher_.removePaths(watcher_.directories());
    // The folder too: a file replaced by a rename (as the generator writes) is a new file.
    watcher_.addPath(QFileInfo(path_).absolutePath());
    if (QFileInfo::exists(path_)) watcher_.addPath(path_);
}

void ViewerWindow::check_changed() {
    if (path_.isEmpty()) return;
    if (QFileInfo::exists(path_) && !watcher_.files().contains(path_)) watcher_.addPath(path_);
    const QString now = file_stamp(path_);
    if (now.isEmpty() || now == stamp_) return;  // gone (being replaced) or unchanged
    open_file(path_);
}

void ViewerWindow::choose_file() {
    const QString p = QFileDialog::getOpenFileName(this, "Open a waveform file", QFileInfo(path_).absolutePath(),
                                                   "Waveform files (*.awv *.csv *.sigmf-data *.sigmf-meta *.wv *.bin);;All files (*)");
    if (!p.isEmpty()) open_file(p);
}

void ViewerWindow::export_dialog() {
    if (!result_) return;
    const QString dir = QFileDialog::getExistingDirectory(this, "Export the views to a folder", QFileInfo(path_).absolutePath());
    if (dir.isEmpty()) return;
    QString error;
    if (!export_views(result_, dir, &error)) QMessageBox::warning(this, "orvview", error);
}

void ViewerWindow::dragEnterEvent(QDragEnterEvent* e) {
    for (const QUrl& u : e->mimeData()->urls())
        if (u.isLocalFile()) {
            e->acceptProposedAction();
            return;
        }
}

void ViewerWindow::dropEvent(QDropEvent* e) {
    for (const QUrl& u : e->mimeData()->urls())
        if (u.isLocalFile()) {
            open_file(u.toLocalFile());
            e->acceptProposedAction();
            return;
        }
}

}  // namespace orv::viewer
