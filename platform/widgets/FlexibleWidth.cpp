#include "platform/widgets/FlexibleWidth.h"

#include <QStyleOptionComboBox>
#include <QStylePainter>

namespace tbx::widgets {

// QComboBox's own painting, with the current text elided to the field it
// stands in rather than cut off at the field's edge.
void FlexiblePicker::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    painter.setPen(palette().color(QPalette::Text));
    QStyleOptionComboBox option;
    initStyleOption(&option);
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    if (currentIndex() < 0 && !placeholderText().isEmpty()) {
        option.palette.setBrush(QPalette::ButtonText, option.palette.placeholderText());
        option.currentText = placeholderText();
    }
    QRect field = style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    if (!option.currentIcon.isNull()) {
        field.setLeft(field.left() + option.iconSize.width() + 4);
    }
    option.currentText = option.fontMetrics.elidedText(option.currentText, Qt::ElideRight, field.width() - 2);
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}

} // namespace tbx::widgets
