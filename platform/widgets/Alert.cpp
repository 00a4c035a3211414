#include "platform/widgets/Alert.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

namespace tbx::widgets {

namespace {

// QMessageBox's own labels of the text and the informative text. The box makes
// the second one only when it first gets an informative text, and leaves its
// format to guessing, so both are set to plain text after every change.
void showPlain(QMessageBox& box, const char* labelName, bool bold) {
    if (auto* label = box.findChild<QLabel*>(QLatin1String(labelName))) {
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        QFont font = label->font();
        font.setBold(bold);
        label->setFont(font);
    }
}

} // namespace

QMessageBox* makeAlert(QWidget* parent) {
    auto* box = new QMessageBox(parent);
    box->setWindowModality(Qt::WindowModal);
    box->setTextFormat(Qt::PlainText);
    box->setDefaultButton(box->addButton(QString(), QMessageBox::AcceptRole));
    return box;
}

void setAlertTexts(QMessageBox& box, const QString& title, const QString& message,
                   const QString& buttonText) {
    box.setWindowTitle(title);
    box.setTextFormat(Qt::PlainText);
    box.setText(title);
    box.setInformativeText(message);
    showPlain(box, "qt_msgbox_label", true);
    showPlain(box, "qt_msgbox_informativelabel", false);
    if (QPushButton* button = box.defaultButton()) {
        button->setText(buttonText);
    }
}

QMessageBox* presentAlert(QWidget* parent, const QString& title, const QString& message,
                          const QString& buttonText, std::function<void()> onButton) {
    QMessageBox* box = makeAlert(parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    setAlertTexts(*box, title, message, buttonText);
    QObject::connect(box, &QMessageBox::finished, box, [onButton = std::move(onButton)](int) {
        if (onButton) {
            onButton();
        }
    });
    box->open();
    return box;
}

} // namespace tbx::widgets
