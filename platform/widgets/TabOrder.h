// Stands in for the declarative UI framework's keyboard focus order, which
// follows the view tree: Tab moves through the given widgets in the order
// given, Shift+Tab back, wherever they were made. Widgets that are hidden or
// off are passed over by Tab as always; null entries are skipped.
// Left out: focus sections and default focus.
#pragma once

#include <QWidget>
#include <vector>

namespace tbx::widgets {

inline void setTabOrder(const std::vector<QWidget*>& order) {
    QWidget* previous = nullptr;
    for (QWidget* widget : order) {
        if (widget == nullptr) {
            continue;
        }
        if (previous != nullptr) {
            QWidget::setTabOrder(previous, widget);
        }
        previous = widget;
    }
}

} // namespace tbx::widgets
