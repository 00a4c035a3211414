#include "platform/widgets/Alert.h"

#include <QApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <algorithm>

namespace tbx::widgets {

namespace {

// Beside its text a title bar holds the window's icon and its buttons.
constexpr int kTitleBarDecorations = 120;
// The widest an alert grows for its title, and the longest message line that
// is kept whole; longer ones wrap.
constexpr int kWidestTitle = 640;
constexpr int kLongestWholeLine = 480;

// QMessageBox's own labels of the text and the informative text. The box makes
// the second one only when it first gets an informative text, and leaves its
// format to guessing, so both are set to plain text after every change.
QLabel* showPlain(QMessageBox& box, const char* labelName, bool bold) {
    auto* label = box.findChild<QLabel*>(QLatin1String(labelName));
    if (label != nullptr) {
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        QFont font = label->font();
        font.setBold(bold);
        label->setFont(font);
    }
    return label;
}

// QMessageBox sizes itself to its labels' minimum widths when it shows, so the
// widths wanted are given to the labels: the title bar's text with the
// decorations beside it, at least an ordinary message box's width, and each
// message line whole.
void fitWidth(QMessageBox& box, QLabel* titleLabel, QLabel* messageLabel) {
    // The title bar's font as Qt knows it: the platform theme's title-bar font,
    // which QApplication files under QMdiSubWindowTitleBar, else the
    // application font.
    QFont titleBarFont = QApplication::font("QMdiSubWindowTitleBar");
    titleBarFont.setBold(true); // as most window managers draw titles; bold is the wider
    const int titleWidth = QFontMetrics(titleBarFont).horizontalAdvance(shownWindowTitle(box.windowTitle()));
    const int width = std::clamp(titleWidth + kTitleBarDecorations, kAlertMinimumWidth, kWidestTitle);
    const QMargins margins = box.layout() != nullptr ? box.layout()->contentsMargins() : QMargins();
    const int inside = width - margins.left() - margins.right();
    if (titleLabel != nullptr) {
        titleLabel->setMinimumWidth(inside);
    }
    if (messageLabel != nullptr) {
        const QFontMetrics metrics(messageLabel->font());
        int longest = 0;
        for (const QString& line : messageLabel->text().split(QLatin1Char('\n'))) {
            longest = std::max(longest, metrics.horizontalAdvance(line) + 1);
        }
        messageLabel->setMinimumWidth(std::min(longest, kLongestWholeLine));
    }
}

// Holds the user's input away from the alert's window while the alert is open,
// as a window-modal alert does. The alert is not modal to the window system on
// purpose: the window system drops the close request of a window that a modal
// window blocks, so the user could not close the window while an alert is up.
// Instead, while the alert is open, presses, keys, wheel turns and shortcuts
// meant for any widget of its window are dropped (a press brings the alert to
// the front); close requests pass. When the program hides the window, because
// it closed, the alert closes with it.
class InputHold final : public QObject {
public:
    explicit InputHold(QMessageBox& box) : QObject(&box), box_(box) { box.installEventFilter(this); }
    ~InputHold() override { release(); }
    InputHold(const InputHold&) = delete;
    InputHold& operator=(const InputHold&) = delete;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &box_) {
            if (event->type() == QEvent::Show) {
                hold();
            } else if (event->type() == QEvent::Hide) {
                release();
            }
            return false;
        }
        if (window_ == nullptr || !inWindow(watched)) {
            return false;
        }
        switch (event->type()) {
        case QEvent::Hide:
            if (watched == window_ && !event->spontaneous()) {
                box_.close();
            }
            return false;
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
        case QEvent::TouchBegin:
        case QEvent::TabletPress:
            box_.raise();
            box_.activateWindow();
            return true;
        case QEvent::ShortcutOverride:
            event->accept(); // no shortcut fires; the key itself is dropped below
            return true;
        case QEvent::MouseButtonRelease:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Shortcut:
        case QEvent::ContextMenu:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletMove:
        case QEvent::TabletRelease:
            return true;
        default:
            return false;
        }
    }

private:
    void hold() {
        QWidget* parent = box_.parentWidget();
        if (parent == nullptr || window_ != nullptr) {
            return;
        }
        window_ = parent->window();
        qApp->installEventFilter(this);
    }
    void release() {
        if (window_ != nullptr) {
            window_ = nullptr;
            qApp->removeEventFilter(this);
        }
    }
    // Whether `object` is, or belongs to, a widget of the held window (the
    // alert and other windows over it are windows of their own).
    bool inWindow(QObject* object) const {
        for (; object != nullptr; object = object->parent()) {
            if (object->isWidgetType()) {
                return static_cast<QWidget*>(object)->window() == window_;
            }
        }
        return false;
    }

    QMessageBox& box_;
    QPointer<QWidget> window_;
};

// Whether the window of `widget` has been closed (or hidden by the program)
// after it showed; a window that has yet to show is not.
bool windowClosed(const QWidget* widget) {
    if (widget == nullptr) {
        return false;
    }
    const QWidget* window = widget->window();
    return window->isHidden() && window->testAttribute(Qt::WA_WState_ExplicitShowHide);
}

} // namespace

QString shownWindowTitle(const QString& title) {
    const QString name = QGuiApplication::applicationDisplayName();
    if (name.isEmpty() || title.endsWith(name)) {
        return title.isEmpty() ? name : title;
    }
    return title.isEmpty() ? name : title + QString::fromUtf8(" \u2014 ") + name;
}

QMessageBox* makeAlert(QWidget* parent) {
    auto* box = new QMessageBox(parent);
    // A message box starts modal; this one holds its window's input itself.
    box->setWindowModality(Qt::NonModal);
    box->setTextFormat(Qt::PlainText);
    box->setDefaultButton(box->addButton(QString(), QMessageBox::AcceptRole));
    new InputHold(*box);
    return box;
}

void setAlertTexts(QMessageBox& box, const QString& title, const QString& message,
                   const QString& buttonText) {
    box.setWindowTitle(title);
    box.setTextFormat(Qt::PlainText);
    box.setText(title);
    box.setInformativeText(message);
    QLabel* titleLabel = showPlain(box, "qt_msgbox_label", true);
    QLabel* messageLabel = showPlain(box, "qt_msgbox_informativelabel", false);
    fitWidth(box, titleLabel, messageLabel);
    if (QPushButton* button = box.defaultButton()) {
        button->setText(buttonText);
    }
}

void openAlert(QMessageBox& box) {
    if (windowClosed(box.parentWidget())) {
        return;
    }
    // Not QDialog::open(): that would make the box window-modal.
    box.setResult(0);
    box.show();
}

QMessageBox* presentAlert(QWidget* parent, const QString& title, const QString& message,
                          const QString& buttonText, std::function<void()> onButton) {
    // What comes back after its window closed has nobody to tell.
    if (windowClosed(parent)) {
        return nullptr;
    }
    QMessageBox* box = makeAlert(parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    setAlertTexts(*box, title, message, buttonText);
    QObject::connect(box, &QMessageBox::finished, box, [onButton = std::move(onButton)](int) {
        if (onButton) {
            onButton();
        }
    });
    openAlert(*box);
    return box;
}

} // namespace tbx::widgets
