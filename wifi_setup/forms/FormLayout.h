// The common frame of the two Wi-Fi forms: rows of a label and a 300-point
// control whose labels end on one vertical line, then a row of bordered
// buttons, all inside 20 points of padding. Texts are string-table keys.
#pragma once

#include <QString>
#include <string_view>

class QFormLayout;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QWidget;

namespace tbx::wifi::forms {

inline constexpr int kControlWidth = 300;

struct FormFrame {
    QFormLayout* rows;
    QHBoxLayout* buttons;
};
FormFrame makeFormFrame(QWidget& form);

// Adds a row labelled with the key's text; the control gets the fixed width.
void addRow(FormFrame& frame, std::string_view labelKey, QWidget* control);
QPushButton* addButton(FormFrame& frame, std::string_view captionKey);

} // namespace tbx::wifi::forms
