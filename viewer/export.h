// Writes the five views of an analysis as image files, without a display.
#pragma once

#include <QSize>
#include <QString>
#include <QStringList>
#include <memory>
#include <ostream>
#include <string>

#include "analysis.h"

namespace orv::viewer {

// The size the views are rendered at.
constexpr QSize kExportSize(1200, 750);

// Writes DIR/<view>.png and DIR/<view>.svg for the five views, creating DIR. Needs a
// QApplication. Returns false with a message naming the file that could not be written.
bool export_views(const std::shared_ptr<const analysis::Result>& r, const QString& dir, QString* error,
                  QStringList* written = nullptr);

// The same for a program without a QApplication of its own (orvcheck --plots): makes one
// on the offscreen platform, which needs no display. Returns 0, or 4 after printing the
// reason to err.
int write_plots(const analysis::Result& r, const std::string& dir, std::ostream& err);

}  // namespace orv::viewer
