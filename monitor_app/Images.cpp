#include "monitor_app/Images.h"

#include <QFile>
#include <QImageReader>

namespace tbx::monitorapp {

QPixmap appImage(const QString& name, QSize size) {
    if (name.isEmpty()) {
        return {};
    }
    const QString path = QStringLiteral(":/images/%1.svg").arg(name);
    if (!QFile::exists(path)) {
        return {};
    }
    // Rendered at the size asked for (stretched, as a resizable image), so the
    // vector pictures stay sharp.
    QImageReader reader(path);
    reader.setScaledSize(size);
    return QPixmap::fromImage(reader.read());
}

} // namespace tbx::monitorapp
