// The common frame of the two Wi-Fi forms: rows of a label and a 300-point
// control whose labels end on one vertical line, then a row of bordered
// buttons, all inside 20 points of padding. In a narrow window the controls
// give way down to 150 points (a picker's text elided) rather than lie under
// their labels. Texts are string-table keys.
#pragma once

#include <QString>
#include <string_view>

class QComboBox;
class QFormLayout;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace tbx::wifi::forms {

inline constexpr int kControlWidth = 300;
inline constexpr int kControlMinWidth = 150;

struct FormFrame {
    QFormLayout* rows;
    QHBoxLayout* buttons;
};
FormFrame makeFormFrame(QWidget& form);

// The rows' controls: 300 points wide where the form has room.
QLineEdit* makeField();
QComboBox* makePicker();
// Adds a row labelled with the key's text.
void addRow(FormFrame& frame, std::string_view labelKey, QWidget* control);
QPushButton* addButton(FormFrame& frame, std::string_view captionKey);

} // namespace tbx::wifi::forms
