// Stands in for the named images of the application bundle: the program's own
// pictures as SVG files in Qt resources under ":/images/<name>.svg", rendered
// at the size asked for (stretched, as a resizable image). An unknown or empty
// name gives an empty pixmap, which draws nothing. Left out: bitmap variants
// per scale, template (tinted) images, system symbol images.
#pragma once

#include <QPixmap>
#include <QSize>
#include <QString>

namespace tbx::widgets {

QPixmap resourceImage(const QString& name, QSize size);

} // namespace tbx::widgets
