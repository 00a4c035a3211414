// The two looks of a printer row in the sidebar: the selected row is a blue
// band exactly as large as its text, with white text and no border, rounding or
// pressed look; every other row is a borderless button in the default text
// colour. The style is applied anew at each render, so the old row turns back
// and the new one turns blue in the same update. In either look a button that
// is off draws its text in the palette's disabled text colour.
// Also CustomStyle, a small view that shows only the string table's text for
// "Hello, World!"; the application itself does not show it.
#pragma once

#include <QString>
#include <QWidget>

class QAbstractButton;

namespace tbx::monitorapp {

// The style sheet of the selected row.
QString buttonClickedStyle();
// The style sheet of the framework's borderless button.
QString borderlessButtonStyle();

// Gives `button` the selected style when `selected`, else the borderless one.
void applyButtonStyle(QAbstractButton& button, bool selected);

class CustomStyle : public QWidget {
public:
    explicit CustomStyle(QWidget* parent = nullptr);
};

} // namespace tbx::monitorapp
