#include "platform/widgets/Alert.h"

#include <QMessageBox>
#include <QPushButton>

namespace tbx::widgets {

QMessageBox* presentAlert(QWidget* parent, const QString& title, const QString& message,
                          const QString& buttonText, std::function<void()> onButton) {
    auto* box = new QMessageBox(parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(title);
    box->setTextFormat(Qt::RichText);
    box->setText(QStringLiteral("<b>%1</b>").arg(title.toHtmlEscaped()));
    box->setInformativeText(message);
    QPushButton* button = box->addButton(buttonText, QMessageBox::AcceptRole);
    box->setDefaultButton(button);
    QObject::connect(box, &QMessageBox::finished, box, [onButton = std::move(onButton)](int) {
        if (onButton) {
            onButton();
        }
    });
    box->open();
    return box;
}

} // namespace tbx::widgets
