#include "wifi_setup/forms/FormLayout.h"

#include "platform/widgets/FlexibleWidth.h"
#include "platform/widgets/Text.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace tbx::wifi::forms {

FormFrame makeFormFrame(QWidget& form) {
    auto* outer = new QVBoxLayout(&form);
    outer->setContentsMargins(20, 20, 20, 20);
    outer->addStretch(1);
    auto* rows = new QFormLayout;
    rows->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    rows->setFormAlignment(Qt::AlignHCenter | Qt::AlignTop);
    rows->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    outer->addLayout(rows);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addStretch(1);
    outer->addLayout(buttons);
    outer->addStretch(1);
    return {rows, buttons};
}

QLineEdit* makeField() {
    return new widgets::FlexibleField(kControlMinWidth, kControlWidth);
}

QComboBox* makePicker() {
    return new widgets::FlexiblePicker(kControlMinWidth, kControlWidth);
}

void addRow(FormFrame& frame, std::string_view labelKey, QWidget* control) {
    frame.rows->addRow(widgets::localizedText(labelKey), control);
}

QPushButton* addButton(FormFrame& frame, std::string_view captionKey) {
    auto* button = new QPushButton(widgets::localizedText(captionKey));
    button->setAutoDefault(false);
    frame.buttons->insertWidget(frame.buttons->count() - 1, button);
    return button;
}

} // namespace tbx::wifi::forms
