// The application's own pictures (Qt resources under ":/images/"), looked up by
// the names the views use: "icon", "arrow.clockwise" and one printer picture per
// printer name. An unknown name gives an empty pixmap, which draws nothing.
#pragma once

#include <QPixmap>
#include <QSize>
#include <QString>

namespace tbx::monitorapp {

QPixmap appImage(const QString& name, QSize size);

} // namespace tbx::monitorapp
