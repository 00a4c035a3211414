// How a window's controls lie as its user sees them, from their geometries (not
// pixels): whether a visible control is cut (smaller than it needs to show
// whole, or reaching past a parent that clips it) or lies over another, and
// the order in which Tab and Shift+Tab walk them.
#pragma once

#include <QAbstractScrollArea>
#include <QApplication>
#include <QKeyEvent>
#include <QWidget>
#include <algorithm>
#include <ostream>
#include <vector>

namespace tbx::test {

inline QRect inWindow(const QWidget& widget) {
    return QRect(widget.mapTo(widget.window(), QPoint()), widget.size());
}

inline QString describe(const QWidget& widget) {
    const QString name =
        widget.objectName().isEmpty() ? widget.property("text").toString() : widget.objectName();
    const QRect r = inWindow(widget);
    return QString("%1 \"%2\" at %3,%4 %5x%6")
        .arg(widget.metaObject()->className(), name)
        .arg(r.x())
        .arg(r.y())
        .arg(r.width())
        .arg(r.height());
}

// One line per visible control of `window` (a widget without visible children;
// alerts and other windows left out) that is cut, and per pair that overlaps.
inline QStringList layoutProblems(QWidget& window) {
    QStringList problems;
    std::vector<std::pair<QWidget*, QRect>> shown; // each control with the part its parents let show
    for (QWidget* control : window.findChildren<QWidget*>()) {
        bool leaf = control->isVisible() && control->window() == &window;
        for (const QWidget* child : control->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            leaf = leaf && (!child->isVisible() || child->isWindow());
        }
        if (!leaf) {
            continue;
        }
        QSize needed = control->minimumSizeHint().expandedTo(control->minimumSize());
        if (control->hasHeightForWidth()) {
            needed.setHeight(std::max(needed.height(), control->heightForWidth(control->width())));
        }
        if (control->width() < needed.width() || control->height() < needed.height()) {
            problems << describe(*control) + QString(" needs %1x%2").arg(needed.width()).arg(needed.height());
        }
        // Inside a scroll area's viewport, what lies out of sight is scrolled away, not cut.
        QRect visible = inWindow(*control);
        for (QWidget* parent = control->parentWidget(); parent != nullptr; parent = parent->parentWidget()) {
            const QRect bounds = parent == &window ? window.rect() : inWindow(*parent);
            if (!bounds.contains(visible)) {
                problems << describe(*control) + " reaches past " + describe(*parent);
            }
            visible &= bounds;
            const auto* area = qobject_cast<const QAbstractScrollArea*>(parent->parentWidget());
            if (parent == &window || (area != nullptr && area->viewport() == parent)) {
                break;
            }
        }
        for (const auto& [other, rect] : shown) {
            if (rect.intersects(visible)) {
                problems << describe(*control) + " overlaps " + describe(*other);
            }
        }
        shown.emplace_back(control, visible);
    }
    return problems;
}

// The widgets that Tab reaches from `first` until it comes back to `first`,
// each step the key as the focused widget gets it. With `backwards`, the walk
// of Shift+Tab, listed in the order Tab takes, so both answers agree when the
// two keys walk the same chain.
inline std::vector<QWidget*> tabChain(QWidget* first, bool backwards = false) {
    std::vector<QWidget*> chain{first};
    QWidget* window = first->window();
    window->activateWindow();
    first->setFocus(Qt::TabFocusReason);
    for (int step = 0; step < 100; ++step) {
        QWidget* focused = window->focusWidget();
        QKeyEvent key(QEvent::KeyPress, backwards ? Qt::Key_Backtab : Qt::Key_Tab,
                      backwards ? Qt::ShiftModifier : Qt::NoModifier);
        QApplication::sendEvent(focused, &key);
        QWidget* next = window->focusWidget();
        if (next == nullptr || next == first || next == focused) {
            break;
        }
        chain.push_back(next);
    }
    if (backwards) {
        std::reverse(chain.begin() + 1, chain.end());
    }
    return chain;
}

} // namespace tbx::test

// Failure messages name a widget by its class, name or text, and place.
inline void PrintTo(QWidget* widget, std::ostream* out) {
    *out << (widget != nullptr ? tbx::test::describe(*widget).toStdString() : std::string("none"));
}
