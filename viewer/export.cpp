#include "export.h"

#include <QApplication>
#include <QChart>
#include <QDir>
#include <QFileInfo>
#include <QGraphicsScene>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>

#include "views.h"

namespace orv::viewer {

namespace {

// Renders chart (already sized and laid out in scene) onto a paint device.
void render(QGraphicsScene& scene, QChart* chart, QPaintDevice& device) {
    QPainter painter(&device);
    painter.setRenderHint(QPainter::Antialiasing);
    scene.render(&painter, QRectF(QPointF(0, 0), QSizeF(kExportSize)), chart->geometry());
}

}  // namespace

bool export_views(const std::shared_ptr<const analysis::Result>& r, const QString& dir, QString* error, QStringList* written) {
    if (!QDir().mkpath(dir)) {
        if (error) *error = "cannot create the folder " + dir;
        return false;
    }
    for (View v : kViews) {
        QGraphicsScene scene;
        QChart* chart = make_chart(v, r);
        scene.addItem(chart);  // the scene owns it
        chart->resize(QSizeF(kExportSize));
        chart->setBackgroundRoundness(0);
        // Lay out the axes and plot area (and let the time view decimate to its width).
        QApplication::processEvents();
        if (auto* power = qobject_cast<PowerChart*>(chart)) power->refresh();
        const QString base = QDir(dir).filePath(view_stem(v));
        QImage image(kExportSize, QImage::Format_ARGB32);
        image.fill(Qt::white);
        render(scene, chart, image);
        if (!image.save(base + ".png", "PNG")) {
            if (error) *error = "cannot write " + base + ".png";
            return false;
        }
        QSvgGenerator svg;
        svg.setFileName(base + ".svg");
        svg.setSize(kExportSize);
        svg.setViewBox(QRect(QPoint(0, 0), kExportSize));
        svg.setTitle(chart->title());
        render(scene, chart, svg);
        if (!QFileInfo(base + ".svg").isFile() || QFileInfo(base + ".svg").size() == 0) {
            if (error) *error = "cannot write " + base + ".svg";
            return false;
        }
        if (written) *written << base + ".png" << base + ".svg";
    }
    return true;
}

int write_plots(const analysis::Result& r, const std::string& dir, std::ostream& err) {
    std::unique_ptr<QApplication> app;
    if (!QApplication::instance()) {
        // No window is shown: the offscreen platform draws the same pictures without a display.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "orvcheck";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
    }
    QString message;
    if (!export_views(std::make_shared<const analysis::Result>(r), QString::fromStdString(dir), &message)) {
        err << "orvcheck: --plots: " << message.toStdString() << "\n";
        return 4;
    }
    return 0;
}

}  // namespace orv::viewer
