// Offscreen widget tests of the sidebar and the status view drawn from plain
// state: row order, the selection look and taps, and the level colour on screen.
#include "monitor_app/ButtonStyles.h"
#include "monitor_app/SidebarView.h"
#include "monitor_app/StatusInfoView.h"
#include "platform/foundation/Localization.h"
#include "tests/support/ShownText.h"

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <gtest/gtest.h>
#include <map>

namespace tbx::monitorapp {
namespace {

// The colour that covers most of a widget's pixels.
QColor dominantColour(QWidget& widget) {
    const QImage image = widget.grab().toImage();
    std::map<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            ++counts[image.pixel(x, y)];
        }
    }
    auto best = counts.begin();
    for (auto it = counts.begin(); it != counts.end(); ++it) {
        if (it->second > best->second) {
            best = it;
        }
    }
    return QColor(best->first);
}

// Whether any pixel of the widget is close to `colour`.
bool showsColour(QWidget& widget, const QColor& colour) {
    const QImage image = widget.grab().toImage();
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor p = image.pixelColor(x, y);
            if (std::abs(p.red() - colour.red()) < 30 && std::abs(p.green() - colour.green()) < 30 &&
                std::abs(p.blue() - colour.blue()) < 30) {
                return true;
            }
        }
    }
    return false;
}

// The widget as it shows in its window, with the background behind it.
QImage onScreen(QWidget& widget) {
    QWidget* window = widget.window();
    return window->grab(QRect(widget.mapTo(window, QPoint()), widget.size())).toImage();
}

// The text's colour: of the image's pixels, the one farthest from the most
// common one (the background).
QColor inkColour(const QImage& image) {
    std::map<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            ++counts[image.pixel(x, y)];
        }
    }
    QRgb background = counts.begin()->first;
    for (const auto& [pixel, count] : counts) {
        background = count > counts[background] ? pixel : background;
    }
    const auto distance = [&](QRgb p) {
        return std::abs(qRed(p) - qRed(background)) + std::abs(qGreen(p) - qGreen(background)) +
               std::abs(qBlue(p) - qBlue(background));
    };
    QRgb ink = background;
    for (const auto& [pixel, count] : counts) {
        ink = distance(pixel) > distance(ink) ? pixel : ink;
    }
    return QColor(ink);
}

class ViewWidgetsTest : public testing::Test {
protected:
    void SetUp() override { setCurrentLanguage("zh"); }
    void TearDown() override {
        clearStringOverrides();
        setCurrentLanguage(languageFromEnvironment());
    }
};

TEST_F(ViewWidgetsTest, SidebarRowsFollowTheSelection) {
    SidebarView sidebar;
    sidebar.resize(230, 400);
    sidebar.show();
    sidebar.render({{{"Tamberlyx(USB)", true}, {"Tamberlyx(10.213.0.2)", false}}});
    QApplication::processEvents(); // lays the new rows out
    ASSERT_EQ(sidebar.rowCount(), 2);
    EXPECT_EQ(sidebar.rowButton(0)->text(), "Tamberlyx(USB)");
    EXPECT_EQ(sidebar.rowButton(1)->text(), "Tamberlyx(10.213.0.2)");

    const QColor blue(0, 122, 255);
    EXPECT_EQ(dominantColour(*sidebar.rowButton(0)), blue);
    EXPECT_TRUE(showsColour(*sidebar.rowButton(0), Qt::white));
    EXPECT_NE(dominantColour(*sidebar.rowButton(1)), blue);
    // The blue band is as wide as its text, not the whole column.
    EXPECT_EQ(sidebar.rowButton(0)->width(), sidebar.rowButton(0)->sizeHint().width());

    // A new selection turns the old row back in the same render.
    sidebar.render({{{"Tamberlyx(USB)", false}, {"Tamberlyx(10.213.0.2)", true}}});
    EXPECT_NE(dominantColour(*sidebar.rowButton(0)), blue);
    EXPECT_EQ(dominantColour(*sidebar.rowButton(1)), blue);

    QSignalSpy taps(&sidebar, &SidebarView::printerTapped);
    QSignalSpy refreshes(&sidebar, &SidebarView::refreshRequested);
    sidebar.rowButton(1)->click();
    sidebar.refreshButton()->click();
    ASSERT_EQ(taps.count(), 1);
    EXPECT_EQ(taps.at(0).at(0).toInt(), 1);
    EXPECT_EQ(refreshes.count(), 1);

    sidebar.render({});
    EXPECT_EQ(sidebar.rowCount(), 0);
    EXPECT_FALSE(sidebar.rowButton(0));
}

// A button that is off looks off: its text turns to the palette's disabled
// text colour in either style, so a pressed "Network settings" shows that its
// reads are out.
TEST_F(ViewWidgetsTest, StyledButtonsLookOffWhileTheyAreOff) {
    SidebarView sidebar;
    StatusInfoView status({});
    sidebar.resize(230, 400);
    status.resize(450, 500);
    sidebar.show();
    status.show();
    sidebar.render({{{"Tamberlyx(USB)", true}, {"Tamberlyx(10.213.0.2)", false}}});
    status.render({.status = {.name = "Tamberlyx", .type = "USB", .level = 1}});
    QApplication::processEvents();
    const QColor offText = QApplication::palette().color(QPalette::Disabled, QPalette::ButtonText);
    const struct {
        const char* what;
        QPushButton* button;
    } buttons[] = {{"network settings", status.networkSettingButton()},
                   {"selected row", sidebar.rowButton(0)},
                   {"other row", sidebar.rowButton(1)}};
    for (const auto& b : buttons) {
        SCOPED_TRACE(b.what);
        ASSERT_TRUE(b.button->isVisible());
        const QColor on = inkColour(onScreen(*b.button));
        b.button->setEnabled(false);
        const QColor off = inkColour(onScreen(*b.button));
        EXPECT_NE(on, off);
        EXPECT_EQ(off, offText) << off.name().toStdString();
        b.button->setEnabled(true);
        EXPECT_EQ(inkColour(onScreen(*b.button)), on);
    }
    // The look survives the next render, which applies the row styles anew.
    sidebar.rowButton(0)->setEnabled(false);
    sidebar.render({{{"Tamberlyx(USB)", true}, {"Tamberlyx(10.213.0.2)", false}}});
    EXPECT_EQ(inkColour(onScreen(*sidebar.rowButton(0))), offText);
}

TEST_F(ViewWidgetsTest, StatusLinesDrawnInTheLevelColour) {
    StatusInfoView view({});
    view.resize(450, 500);
    view.show();
    const struct {
        int level;
        QColor colour;
    } cases[] = {{1, Qt::black},
                 {2, QColor(255, 149, 0)},
                 {3, QColor(255, 59, 48)},
                 {0, QColor(255, 59, 48)},
                 {4, QColor(255, 59, 48)}};
    for (const auto& c : cases) {
        view.render({.status = {.name = "Tamberlyx",
                                .type = "USB",
                                .level = c.level,
                                .message = "纸量较少",
                                .discription = "请添加纸张"}});
        EXPECT_TRUE(showsColour(*view.messageLabel(), c.colour)) << c.level;
        EXPECT_TRUE(showsColour(*view.descriptionLabel(), c.colour)) << c.level;
    }
}

// Stands in for the design-time preview of CustomStyle: built alone, it shows
// the string table's text for its key and nothing else, in either language.
TEST_F(ViewWidgetsTest, CustomStyleShowsOnlyItsKeysText) {
    const struct {
        const char* language;
        const char* override; // nullptr: the built-in table
    } cases[] = {{"zh", nullptr}, {"en", nullptr}, {"en", "Hello & <welcome>"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.language) + (c.override ? " with a text of its own" : ""));
        setCurrentLanguage(c.language);
        if (c.override != nullptr) {
            overrideLocalizedString(c.language, "Hello, World!", c.override);
        }
        CustomStyle preview;
        preview.show();
        QApplication::processEvents();
        const auto labels = preview.findChildren<QLabel*>();
        ASSERT_EQ(labels.size(), 1);
        EXPECT_EQ(preview.findChildren<QWidget*>().size(), 1);
        EXPECT_EQ(test::shownText(*labels.front()), QString::fromStdString(localizedString("Hello, World!")));
        if (c.override != nullptr) {
            EXPECT_EQ(test::shownText(*labels.front()), c.override);
        }
        EXPECT_TRUE(showsColour(preview, preview.palette().color(QPalette::WindowText)));
    }
}

TEST_F(ViewWidgetsTest, StatusTextsShowAsTheyStand) {
    StatusInfoView view({});
    view.show();
    view.render({.status = {.name = "<b>Tamberlyx</b> & co",
                            .type = "Net",
                            .ip = "10.0.0.2 <x>",
                            .level = 2,
                            .message = "纸量 <i>较少</i>",
                            .discription = "&quot;请添加&quot; \"纸张\""}});
    EXPECT_EQ(test::shownText(*view.nameLabel()), "<b>Tamberlyx</b> & co");
    EXPECT_EQ(test::shownText(*view.messageLabel()), "纸量 <i>较少</i>");
    EXPECT_EQ(test::shownText(*view.descriptionLabel()), "&quot;请添加&quot; \"纸张\"");
    QStringList lines;
    for (const QLabel* label : view.findChildren<QLabel*>()) {
        if (label->text().startsWith("IP")) {
            lines << test::shownText(*label);
        }
    }
    EXPECT_EQ(lines, QStringList{"IP：10.0.0.2 <x>"});
}

TEST_F(ViewWidgetsTest, AlertsShowTheStringTablesTextsAsTheyStand) {
    overrideLocalizedString("zh", "error", "错误 <b>&amp;</b>");
    overrideLocalizedString("zh", "noPrinterError", "找不到 \"打印机\" <USB> & 网络");
    overrideLocalizedString("zh", "refresh", "\"刷新\" & <i>");
    overrideLocalizedString("zh", "printerListFreshed", "&lt;列表&gt; <br> 已刷新 & \"完成\"");
    overrideLocalizedString("zh", "ok", "好 & <ok>");
    SidebarView sidebar;
    StatusInfoView status({});
    sidebar.show();
    status.show();
    const struct {
        const char* what;
        QMessageBox* box;
        const char* titleKey;
        const char* messageKey;
    } alerts[] = {
        {"no printer", status.showNoPrinterAlert(), "error", "noPrinterError"},
        {"refresh", sidebar.showRefreshAlert(), "refresh", "printerListFreshed"},
    };
    QApplication::processEvents();
    for (const auto& a : alerts) {
        SCOPED_TRACE(a.what);
        const QString title = QString::fromStdString(localizedString(a.titleKey));
        EXPECT_EQ(test::shownAlertLines(*a.box),
                  (QStringList{title, QString::fromStdString(localizedString(a.messageKey))}));
        EXPECT_EQ(a.box->windowTitle(), title);
        EXPECT_EQ(a.box->buttons().at(0)->text(), "好 & <ok>");
    }
}

} // namespace
} // namespace tbx::monitorapp
