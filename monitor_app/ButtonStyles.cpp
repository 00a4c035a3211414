#include "monitor_app/ButtonStyles.h"

#include <QAbstractButton>

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

} // namespace tbx::monitorapp
