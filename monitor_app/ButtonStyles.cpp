#include "monitor_app/ButtonStyles.h"

#include "platform/widgets/Text.h"

#include <QAbstractButton>
#include <QLabel>
#include <QVBoxLayout>

namespace tbx::monitorapp {

QString buttonClickedStyle() {
    // The same on hover and when pressed: the pressed state is not shown.
    return QStringLiteral(
        "QAbstractButton { color: white; background-color: rgb(0, 122, 255);"
        " border: none; border-radius: 0px; padding: 0px; margin: 0px; text-align: left; }");
}

QString borderlessButtonStyle() {
    return QStringLiteral("QAbstractButton { color: palette(window-text); background: transparent;"
                          " border: none; padding: 0px; margin: 0px; text-align: left; }");
}

void applyButtonStyle(QAbstractButton& button, bool selected) {
    button.setStyleSheet(selected ? buttonClickedStyle() : borderlessButtonStyle());
    button.setProperty("selectedRow", selected);
}

CustomStyle::CustomStyle(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(widgets::localizedText("Hello, World!"), this);
    text->setTextFormat(Qt::PlainText);
    layout->addWidget(text, 0, Qt::AlignCenter);
}

} // namespace tbx::monitorapp
