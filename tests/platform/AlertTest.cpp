// The alert stand-in as the user reads it: every text exactly as given, the
// title line bold, the button's action when it closes, wide enough for its
// title bar and its lines; and as the window under it behaves while it is up.
#include "platform/widgets/Alert.h"

#include "tests/support/ShownText.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QTest>
#include <gtest/gtest.h>

namespace {

using tbx::test::shownAlertLines;

struct Texts {
    const char* what;
    QString title, message;
    // The program's display name, which the window system shows after the
    // title ("Information — Tamberlyx_Scanner"); none when empty.
    QString displayName;
};

const Texts kTexts[] = {
    {"plain", "Error", "No scanner found.", ""},
    {"quotes", "Error", R"(The file name must not be "." or ".." and must not contain "/".)", ""},
    {"markup-like", "<b>Error</b> & co", "Use <i>a & b</i> or <br> &lt; &quot;x&quot; &amp;", ""},
    {"two lines", "信息", "第一行\n<second> & \"line\"", ""},
    {"entity only", "&quot;", "&amp;", ""},
    {"long title", "The printer list has been refreshed", "OK", ""},
    {"long lines", "Error",
     "请检查打印机是否已连接并开机。\nCheck that the printer is switched on and plugged in.", ""},
    {"scan result with the scanner's name", "Information", "Scanned 3 page(s)", "Tamberlyx_Scanner"},
    {"Chinese title with the monitor's name", "错误", "设备忙,打印中", "Tamberlyx_StateMonitor"},
    {"long title with a name", "The printer list has been refreshed", "OK", "Tamberlyx_StateMonitor"},
};

// What a title bar needs for `title` as the window system shows it: its text in
// a bold title font, and room for the window's icon and three buttons beside it.
int titleBarWidth(const QString& title) {
    QFont font = QApplication::font("QMdiSubWindowTitleBar");
    font.setBold(true);
    return QFontMetrics(font).horizontalAdvance(title) + 100;
}

// Whether every line of the message fits the width its label shows it in, so
// none wraps.
bool linesWhole(const QMessageBox& box, const QString& message) {
    const auto* label = box.findChild<QLabel*>("qt_msgbox_informativelabel");
    if (label == nullptr) {
        return message.isEmpty();
    }
    const QFontMetrics metrics(label->font());
    for (const QString& line : message.split('\n')) {
        if (metrics.horizontalAdvance(line) > label->contentsRect().width()) {
            return false;
        }
    }
    return true;
}

bool bold(const QMessageBox& box, const QString& text) {
    for (const QLabel* label : box.findChildren<QLabel*>()) {
        if (label->isVisible() && label->text() == text) {
            return label->font().bold();
        }
    }
    ADD_FAILURE() << "no label shows " << text.toStdString();
    return false;
}

TEST(Alert, ShowsEveryTextAsItStandsWithTheTitleInBold) {
    QWidget window;
    window.show();
    for (const Texts& t : kTexts) {
        SCOPED_TRACE(t.what);
        QGuiApplication::setApplicationDisplayName(t.displayName);
        const QString shownTitle = t.displayName.isEmpty() ? t.title : t.title + " — " + t.displayName;
        bool pressed = false;
        QMessageBox* box =
            tbx::widgets::presentAlert(&window, t.title, t.message, "OK & <go>", [&] { pressed = true; });
        QApplication::processEvents();
        ASSERT_TRUE(box->isVisible());
        EXPECT_EQ(box->windowTitle(), t.title);
        EXPECT_EQ(shownAlertLines(*box), (QStringList{t.title, t.message}));
        EXPECT_TRUE(bold(*box, t.title));
        EXPECT_FALSE(bold(*box, t.message));
        EXPECT_GE(box->width(), tbx::widgets::kAlertMinimumWidth);
        EXPECT_GE(box->width(), titleBarWidth(shownTitle)) << box->width();
        EXPECT_TRUE(linesWhole(*box, t.message));
        ASSERT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->buttons().front()->text(), "OK & <go>");
        box->buttons().front()->click();
        QApplication::processEvents();
        EXPECT_TRUE(pressed);
    }
    QGuiApplication::setApplicationDisplayName("");
    EXPECT_TRUE(window.findChildren<QMessageBox*>().isEmpty() ||
                !window.findChildren<QMessageBox*>().front()->isVisible());
}

TEST(Alert, NewTextsReplaceThoseOfAnAlertOnScreen) {
    QWidget window;
    window.show();
    QMessageBox* box = tbx::widgets::makeAlert(&window);
    tbx::widgets::setAlertTexts(*box, "First", "plain words", "OK");
    box->open();
    QApplication::processEvents();
    for (const Texts& t : kTexts) {
        SCOPED_TRACE(t.what);
        tbx::widgets::setAlertTexts(*box, t.title, t.message, "OK");
        QApplication::processEvents();
        EXPECT_EQ(shownAlertLines(*box), (QStringList{t.title, t.message}));
        EXPECT_TRUE(bold(*box, t.title));
    }
    tbx::widgets::setAlertTexts(*box, "Title only", "", "OK");
    QApplication::processEvents();
    EXPECT_EQ(shownAlertLines(*box), QStringList{"Title only"});
}

// While its alert is up a window takes no presses, keys or shortcuts, as under a
// window-modal alert; but the alert is not modal to the window system, which
// would then drop the window manager's close request: the window closes, and
// the alert goes with it. An alert asked for after the close shows nothing.
TEST(Alert, HoldsItsWindowsInputButNotItsClose) {
    QWidget window;
    window.resize(320, 200);
    auto* button = new QPushButton("Go", &window);
    int presses = 0;
    int shortcuts = 0;
    QObject::connect(button, &QPushButton::clicked, [&] { ++presses; });
    QShortcut shortcut(QKeySequence(Qt::CTRL | Qt::Key_N), &window);
    QObject::connect(&shortcut, &QShortcut::activated, [&] { ++shortcuts; });
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QPoint onButton = button->mapTo(&window, button->rect().center());
    // Input as the window system delivers it to the window.
    const auto press = [&] { QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, onButton); };
    const auto type = [&] {
        window.activateWindow();
        QApplication::processEvents();
        QTest::keyClick(window.windowHandle(), Qt::Key_N, Qt::ControlModifier);
    };

    QPointer<QMessageBox> box =
        tbx::widgets::presentAlert(&window, "Refresh", "The list was refreshed.", "OK");
    QApplication::processEvents();
    ASSERT_TRUE(box->isVisible());
    EXPECT_EQ(QGuiApplication::modalWindow(), nullptr);
    press();
    type();
    EXPECT_EQ(presses, 0);
    EXPECT_EQ(shortcuts, 0);
    EXPECT_TRUE(box->isVisible());

    EXPECT_TRUE(window.close());
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(box.isNull() || !box->isVisible());
    EXPECT_EQ(tbx::widgets::presentAlert(&window, "Error", "Too late.", "OK"), nullptr);

    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    press();
    type();
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(shortcuts, 1);
}

} // namespace
