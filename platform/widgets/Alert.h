// Stands in for the declarative UI framework's alert: a window-modal message
// box with a bold title, a message and one default button whose action runs
// when the box goes. Title, message and caption show exactly as given: they are
// never read as markup, so a quote, "<" or "&" in a string table's text appears
// as it stands. It is opened without a nested event loop, so the caller returns
// at once and tests can find the box among the window's children.
// Left out: several buttons, destructive and cancel roles, text fields.
#pragma once

#include <QString>
#include <functional>

class QMessageBox;
class QWidget;

namespace tbx::widgets {

// A window-modal alert over `parent`'s window with one default button, not yet
// open and without texts.
QMessageBox* makeAlert(QWidget* parent);

// Gives an alert of makeAlert() its window title and bold title line (both
// `title`), its message and its button's caption, each as plain text. An alert
// on screen shows the new texts at once.
void setAlertTexts(QMessageBox& box, const QString& title, const QString& message, const QString& buttonText);

// Opens the alert over `parent`'s window; `onButton` (may be empty) runs when
// the button closes it. The box deletes itself once closed.
QMessageBox* presentAlert(QWidget* parent, const QString& title, const QString& message,
                          const QString& buttonText, std::function<void()> onButton = {});

} // namespace tbx::widgets
