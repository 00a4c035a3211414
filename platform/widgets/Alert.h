// Stands in for the declarative UI framework's alert: a message box over a
// window with a bold title, a message and one default button whose action runs
// when the box goes. Title, message and caption show exactly as given: they are
// never read as markup, so a quote, "<" or "&" in a string table's text appears
// as it stands. It is opened without a nested event loop, so the caller returns
// at once and tests can find the box among the window's children.
//
// While it is open the alert holds its window's input as a window-modal sheet
// does (presses there bring the alert to the front), yet the window still closes
// when its user asks the window manager, and the alert closes with it. It is as
// wide as an ordinary desktop message box, and wider when its title needs it, so
// the title bar shows the whole title, the application's name after it
// included; a message's lines stay whole up to a generous width.
// Left out: several buttons, destructive and cancel roles, text fields.
#pragma once

#include <QString>
#include <functional>

class QMessageBox;
class QWidget;

namespace tbx::widgets {

// The narrowest an alert gets.
inline constexpr int kAlertMinimumWidth = 300;

// The title that the window system shows for a window titled `title`: on X11
// and Wayland Qt adds the application's display name after " — " (U+2014),
// unless the title already ends with it, and an empty title shows the name
// alone. An alert is as wide as this text needs in the title bar. (Qt adds the
// name only once the program has set it, which QGuiApplication does not tell;
// the name, or the program name standing in for it, is counted either way,
// so an alert may come out a little wider than its title bar needs, never
// narrower.)
QString shownWindowTitle(const QString& title);

// An alert over `parent`'s window with one default button, not yet open and
// without texts.
QMessageBox* makeAlert(QWidget* parent);

// Gives an alert of makeAlert() its window title and bold title line (both
// `title`), its message and its button's caption, each as plain text. An alert
// on screen shows the new texts at once.
void setAlertTexts(QMessageBox& box, const QString& title, const QString& message, const QString& buttonText);

// Opens an alert of makeAlert() over its window, unless that window has been
// closed: an answer that comes after the close shows nothing.
void openAlert(QMessageBox& box);

// Opens the alert over `parent`'s window; `onButton` (may be empty) runs when
// the button closes it. The box deletes itself once closed. None when
// `parent`'s window has been closed (a window that has yet to show takes alerts).
QMessageBox* presentAlert(QWidget* parent, const QString& title, const QString& message,
                          const QString& buttonText, std::function<void()> onButton = {});

} // namespace tbx::widgets
