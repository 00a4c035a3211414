// How a window's controls lie as its user sees them: whether a visible control
// is cut (smaller than it needs to show whole, reaching past a parent that
// clips it, or painting a text wider than the room it has) or lies over
// another, and the order in which Tab and Shift+Tab walk them.
#pragma once

#include <QAbstractScrollArea>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPaintEngine>
#include <QStyleOptionComboBox>
#include <QTextItem>
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

// A paint device that keeps the texts a widget paints on it, each with the
// span it covers from left to right in the widget's coordinates, and draws
// nothing else. Its metrics are the widget's, so text measures as on screen.
class ShownTexts : public QPaintDevice {
public:
    struct Run {
        QString text;
        qreal left;
        qreal right;
    };

    explicit ShownTexts(const QWidget& widget) : widget_(widget) {}
    QPaintEngine* paintEngine() const override { return &engine_; }
    const std::vector<Run>& runs() const { return engine_.runs; }

protected:
    int metric(PaintDeviceMetric metric) const override {
        struct Widget : QWidget {
            using QWidget::metric;
        };
        return (widget_.*&Widget::metric)(metric);
    }

private:
    struct Engine : QPaintEngine {
        Engine() : QPaintEngine(AllFeatures) {}
        bool begin(QPaintDevice*) override { return true; }
        bool end() override { return true; }
        Type type() const override { return User; }
        void updateState(const QPaintEngineState& state) override {
            if (state.state() & DirtyTransform) {
                transform = state.transform();
            }
        }
        void drawTextItem(const QPointF& origin, const QTextItem& item) override {
            const QLineF span = transform.map(QLineF(origin, origin + QPointF(item.width(), 0)));
            runs.push_back({item.text(), std::min(span.x1(), span.x2()), std::max(span.x1(), span.x2())});
        }
        void drawPath(const QPainterPath&) override {}
        void drawPolygon(const QPointF*, int, PolygonDrawMode) override {}
        void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
        void drawImage(const QRectF&, const QImage&, const QRectF&, Qt::ImageConversionFlags) override {}

        QTransform transform;
        std::vector<Run> runs;
    };
    const QWidget& widget_;
    mutable Engine engine_;
};

// The room `control` gives its text across: a picker's edit field, the whole
// width of any other control.
inline QRect textRoom(const QWidget& control) {
    const auto* picker = qobject_cast<const QComboBox*>(&control);
    if (picker == nullptr) {
        return control.rect();
    }
    struct Picker : QComboBox {
        using QComboBox::initStyleOption;
    };
    QStyleOptionComboBox option;
    (picker->*&Picker::initStyleOption)(&option);
    return picker->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField,
                                           picker);
}

// One line per text `control` paints that runs past the room it has for it
// (a text a field scrolls through is left out).
inline QStringList cutTexts(QWidget& control) {
    QStringList problems;
    if (qobject_cast<QLineEdit*>(&control) != nullptr) {
        return problems;
    }
    ShownTexts shown(control);
    control.render(&shown, QPoint(), QRegion(), QWidget::RenderFlags());
    const QRect room = textRoom(control);
    for (const ShownTexts::Run& run : shown.runs()) {
        // Within a pixel: a text elided to the room may round up by a fraction.
        if (run.left < room.left() - 1 || run.right > room.left() + room.width() + 1) {
            problems << describe(control) +
                            QString(" cuts \"%1\": painted from %2 to %3, its room from %4 to %5")
                                .arg(run.text)
                                .arg(qRound(run.left))
                                .arg(qRound(run.right))
                                .arg(room.left())
                                .arg(room.left() + room.width());
        }
    }
    return problems;
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
        problems << cutTexts(*control);
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
