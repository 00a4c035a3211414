// Stands in for the declarative UI framework's alert: a window-modal message
// box with a bold title, a message and one default button whose action runs
// when the box goes. It is opened without a nested event loop, so the caller
// returns at once and tests can find the box among the window's children.
// Left out: several buttons, destructive and cancel roles, text fields.
#pragma once

#include <QString>
#include <functional>

class QMessageBox;
class QWidget;

namespace tbx::widgets {

// Opens the alert over `parent`'s window; `onButton` (may be empty) runs when
// the button closes it. The box deletes itself once closed.
QMessageBox* presentAlert(QWidget* parent, const QString& title, const QString& message,
                          const QString& buttonText, std::function<void()> onButton = {});

} // namespace tbx::widgets
