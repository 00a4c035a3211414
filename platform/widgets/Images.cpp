#include "platform/widgets/Images.h"

#include <QFile>
#include <QImageReader>

namespace tbx::widgets {

QPixmap resourceImage(const QString& name, QSize size) {
    if (name.isEmpty()) {
        return {};
    }
    const QString path = QStringLiteral(":/images/%1.svg").arg(name);
    if (!QFile::exists(path)) {
        return {};
    }
    QImageReader reader(path);
    reader.setScaledSize(size);
    return QPixmap::fromImage(reader.read());
}

} // namespace tbx::widgets
