#include "monitor_app/ButtonStyles.h"

#include "platform/widgets/Text.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QLabel>
#include <QPalette>
#include <QVBoxLayout>

namespace tbx::monitorapp {

namespace {

// A button that is off shows it: its text takes the palette's disabled text
// colour, as the icons of such buttons turn grey. Without this rule the fixed
// text colour would look the same whether a press does something or not.
QString disabledRule() {
    const QColor colour = QGuiApplication::palette().color(QPalette::Disabled, QPalette::ButtonText);
    return QStringLiteral(" QAbstractButton:disabled { color: rgba(%1, %2, %3, %4); }")
        .arg(colour.red())
        .arg(colour.green())
        .arg(colour.blue())
        .arg(colour.alpha());
}

} // namespace

QString buttonClickedStyle() {
    // The same on hover and when pressed: the pressed state is not shown.
    return QStringLiteral(
               "QAbstractButton { color: white; background-color: rgb(0, 122, 255);"
               " border: none; border-radius: 0px; padding: 0px; margin: 0px; text-align: left; }") +
           disabledRule();
}

QString borderlessButtonStyle() {
    return QStringLiteral("QAbstractButton { color: palette(window-text); background: transparent;"
                          " border: none; padding: 0px; margin: 0px; text-align: left; }") +
           disabledRule();
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
