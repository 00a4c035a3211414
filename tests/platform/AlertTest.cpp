// The alert stand-in as the user reads it: every text exactly as given, the
// title line bold, the button's action when it closes.
#include "platform/widgets/Alert.h"

#include "tests/support/ShownText.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <gtest/gtest.h>

namespace {

using tbx::test::shownAlertLines;

struct Texts {
    const char* what;
    QString title, message;
};

const Texts kTexts[] = {
    {"plain", "Error", "No scanner found."},
    {"quotes", "Error", R"(The file name must not be "." or ".." and must not contain "/".)"},
    {"markup-like", "<b>Error</b> & co", "Use <i>a & b</i> or <br> &lt; &quot;x&quot; &amp;"},
    {"two lines", "信息", "第一行\n<second> & \"line\""},
    {"entity only", "&quot;", "&amp;"},
};

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
        bool pressed = false;
        QMessageBox* box =
            tbx::widgets::presentAlert(&window, t.title, t.message, "OK & <go>", [&] { pressed = true; });
        QApplication::processEvents();
        ASSERT_TRUE(box->isVisible());
        EXPECT_EQ(box->windowTitle(), t.title);
        EXPECT_EQ(shownAlertLines(*box), (QStringList{t.title, t.message}));
        EXPECT_TRUE(bold(*box, t.title));
        EXPECT_FALSE(bold(*box, t.message));
        ASSERT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->buttons().front()->text(), "OK & <go>");
        box->buttons().front()->click();
        QApplication::processEvents();
        EXPECT_TRUE(pressed);
    }
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

} // namespace
