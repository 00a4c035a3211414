// The two Wi-Fi forms offscreen against the simulated USB printer: what they
// show from the records, what OK sends and shows, and what Cancel and Close do.
#include "platform/foundation/Localization.h"
#include "tests/wifi_setup/PrinterFixture.h"
#include "wifi_setup/forms/APSettingView.h"
#include "wifi_setup/forms/ClientModeSettingView.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

namespace tbx::wifi::forms {
namespace {

class WifiFormsTest : public test::PrinterFixture {
protected:
    void SetUp() override {
        PrinterFixture::SetUp();
        setCurrentLanguage("zh");
    }
    void TearDown() override {
        setCurrentLanguage(languageFromEnvironment());
        PrinterFixture::TearDown();
    }
    static void closeAlert(QMessageBox* box) {
        ASSERT_NE(box, nullptr);
        box->buttons().at(0)->click();
        QApplication::processEvents();
    }
    // The settings go to the printer off the window's thread: OK is off until
    // the printer's answer is in, then it comes back with the alert.
    template <class Form>
    static QMessageBox* answerOf(Form& form) {
        EXPECT_FALSE(form.okButton()->isEnabled());
        dispatch::runMainUntil([&] { return form.alert() != nullptr; }, dispatch::Seconds(10));
        EXPECT_TRUE(form.okButton()->isEnabled());
        return form.alert();
    }
};

TEST_F(WifiFormsTest, AccessPointFormShowsTheRecordAndItsChoice) {
    // A fresh record: empty texts and the encrypted choice.
    APSettingView fresh(*model);
    EXPECT_TRUE(fresh.nameField()->text().isEmpty());
    EXPECT_EQ(fresh.encryptPicker()->currentText(), "WAP2PSK_AES");
    EXPECT_EQ(fresh.passwordField()->echoMode(), QLineEdit::Normal);
    // Its empty address fails first.
    fresh.okButton()->click();
    ASSERT_NE(fresh.alert(), nullptr);
    EXPECT_EQ(fresh.alert()->informativeText(), "IP格式错误");
    EXPECT_EQ(responder->requestCount(), 0);

    EXPECT_FALSE(model->getAPInfo().show);
    APSettingView read(*model);
    EXPECT_EQ(read.nameField()->text(), "Tamberlyx-AP");
    EXPECT_EQ(read.passwordField()->text(), "12345678");
    EXPECT_EQ(read.encryptPicker()->currentText(), "WAP2PSK_AES");

    model->apSetting->encryptMode = 6; // written by an earlier OK
    APSettingView written(*model);
    EXPECT_EQ(written.encryptPicker()->currentIndex(), -1);
    EXPECT_EQ(written.state().encryptModeSelection, 6);
}

TEST_F(WifiFormsTest, AccessPointOkChecksThenSendsAndShowsTheAnswer) {
    ASSERT_FALSE(model->getAPInfo().show);
    model->apSetting->mask = "255.255.255"; // no control edits it
    const APSetting before = *model->apSetting;
    const int requests = responder->requestCount();
    {
        APSettingView form(*model);
        form.nameField()->setText("Renamed");
        form.okButton()->click();
        ASSERT_NE(form.alert(), nullptr);
        EXPECT_EQ(form.alert()->windowTitle(), "错误");
        EXPECT_EQ(form.alert()->informativeText(), "子网掩码格式错误");
        EXPECT_EQ(responder->requestCount(), requests); // nothing sent
        EXPECT_EQ(*model->apSetting, before);           // nothing written
        closeAlert(form.alert());
        EXPECT_EQ(form.nameField()->text(), "Renamed"); // the form stays as typed
    }

    model->apSetting->mask = "255.255.255.0";
    APSettingView form(*model);
    form.nameField()->setText("Shop");
    form.passwordField()->setText("pa;ss?word");
    form.okButton()->click();
    ASSERT_NE(answerOf(form), nullptr);
    ASSERT_FALSE(written().empty());
    EXPECT_EQ(written().back(),
              "SetwifiAP=Shop\r\n6\r\npa\x02ss\x01word\r\nS\r\n192.168.1.1\r\n255.255.255.0\r\n192.168.1.1;");
    EXPECT_EQ(model->apSetting->encryptMode, 6);
    ASSERT_NE(form.alert(), nullptr);
    EXPECT_EQ(form.alert()->windowTitle(), "设置成功");
    EXPECT_EQ(form.alert()->informativeText(), "已成功设置热点信息");
    EXPECT_EQ(responder->accessPoint().name, "Shop");

    // No encryption goes as 0.
    form.encryptPicker()->setCurrentIndex(form.encryptPicker()->findText("不加密"));
    closeAlert(form.alert());
    form.okButton()->click();
    ASSERT_NE(answerOf(form), nullptr);
    EXPECT_EQ(model->apSetting->encryptMode, 0);
    EXPECT_TRUE(written().back().starts_with("SetwifiAP=Shop\r\n0\r\n")) << written().back();
}

TEST_F(WifiFormsTest, AccessPointCancelHidesTheScreenAndSendsNothing) {
    model->showNetworkSetting = true;
    const APSetting before = *model->apSetting;
    APSettingView form(*model);
    form.nameField()->setText("Changed");
    form.cancelButton()->click();
    EXPECT_FALSE(model->showNetworkSetting.get());
    EXPECT_EQ(*model->apSetting, before);
    EXPECT_EQ(responder->requestCount(), 0);
}

TEST_F(WifiFormsTest, ClientFormNeedsANetworkAndFollowsTheChoice) {
    ClientModeSettingView empty(*model);
    EXPECT_FALSE(empty.okButton()->isEnabled());
    EXPECT_TRUE(empty.closeButton()->isEnabled());
    EXPECT_EQ(empty.networkPicker()->count(), 0);
    EXPECT_FALSE(empty.ipField()->isEnabled()); // "Manual" is not "S": DHCP

    responder->setNetworks({{"Home", 1}, {"Office", 4}, {"Lab", 7}});
    ASSERT_FALSE(model->getClientModeInfo().show);
    model->getHotSpotList();
    ClientModeSettingView form(*model);
    EXPECT_TRUE(form.okButton()->isEnabled());
    ASSERT_EQ(form.networkPicker()->count(), 3);
    EXPECT_EQ(form.networkPicker()->currentText(), "Office"); // the network the printer joins
    EXPECT_FALSE(form.networkPicker()->itemIcon(0).isNull());
    EXPECT_EQ(form.passwordField()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(form.passwordField()->text(), "office-pass");

    form.networkPicker()->setCurrentIndex(2);
    EXPECT_TRUE(form.passwordField()->text().isEmpty());
    form.passwordField()->setText("lab-pass");
    form.networkPicker()->setCurrentIndex(1);
    EXPECT_EQ(form.passwordField()->text(), "office-pass");

    form.ipSetTypePicker()->setCurrentIndex(1);
    EXPECT_TRUE(form.ipField()->isEnabled());
    EXPECT_TRUE(form.gatewayField()->isEnabled());
}

TEST_F(WifiFormsTest, ClientOkSendsTheChosenNetworkAndItsAlertClosesTheScreen) {
    responder->setNetworks({{"Home", 1}, {"Office", 4}});
    ASSERT_FALSE(model->getClientModeInfo().show);
    model->getHotSpotList();
    model->showNetworkSetting = true;
    ClientModeSettingView form(*model);
    form.networkPicker()->setCurrentIndex(0);
    form.passwordField()->setText("home-pass");

    // Fixed address with a bad gateway: only its message, nothing sent.
    form.ipSetTypePicker()->setCurrentIndex(1);
    form.ipField()->setText("192.168.1.20");
    form.maskField()->setText("255.255.255.0");
    form.gatewayField()->setText("192.168.1.256");
    const int requests = responder->requestCount();
    form.okButton()->click();
    ASSERT_NE(form.alert(), nullptr);
    EXPECT_EQ(form.alert()->informativeText(), "网关格式错误");
    EXPECT_EQ(responder->requestCount(), requests);
    closeAlert(form.alert());
    EXPECT_FALSE(model->showNetworkSetting.get()); // every alert of this form closes the screen

    // DHCP: the addresses go as 0.0.0.0 whatever the fields hold.
    model->showNetworkSetting = true;
    form.ipSetTypePicker()->setCurrentIndex(0);
    form.okButton()->click();
    ASSERT_NE(answerOf(form), nullptr);
    EXPECT_EQ(written().back(), "SetwifiSTA=Home\r\nhome-pass\r\nD\r\n0.0.0.0\r\n0.0.0.0\r\n0.0.0.0;");
    EXPECT_EQ(model->clietModeSetting->orderInList, 0);
    EXPECT_EQ(model->clietModeSetting->WifiName, "Office"); // not written
    ASSERT_NE(form.alert(), nullptr);
    EXPECT_EQ(form.alert()->windowTitle(), "设置成功");
    closeAlert(form.alert());
    EXPECT_FALSE(model->showNetworkSetting.get());
}

TEST_F(WifiFormsTest, ClientCloseWritesNothing) {
    model->showNetworkSetting = true;
    const ClietModeSetting before = *model->clietModeSetting;
    ClientModeSettingView form(*model);
    form.passwordField()->setText("typed");
    form.closeButton()->click();
    EXPECT_FALSE(model->showNetworkSetting.get());
    EXPECT_EQ(*model->clietModeSetting, before);
    EXPECT_EQ(responder->requestCount(), 0);
}

TEST_F(WifiFormsTest, AFormClosedWhileItsSettingsAreOutIsLeftAlone) {
    ASSERT_FALSE(model->getAPInfo().show);
    ASSERT_FALSE(model->getClientModeInfo().show);
    model->getHotSpotList();
    struct Case {
        std::string name;
        WifiCommand command;
        std::function<std::pair<QWidget*, QPushButton*>()> open; // the form and its OK
    };
    const std::vector<Case> cases = {
        {"access point", WifiCommand::setAPInfo,
         [this] {
             auto* form = new APSettingView(*model);
             return std::pair<QWidget*, QPushButton*>{form, form->okButton()};
         }},
        {"client mode", WifiCommand::setClientModeInfo,
         [this] {
             auto* form = new ClientModeSettingView(*model);
             return std::pair<QWidget*, QPushButton*>{form, form->okButton()};
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        model->alterTitle.clear();
        auto [form, ok] = c.open();
        ok->click();
        EXPECT_TRUE(model->commandOut(c.command));
        delete form; // the screen goes before the printer answers
        ASSERT_TRUE(
            dispatch::runMainUntil([&] { return !model->commandOut(c.command); }, dispatch::Seconds(10)));
        // The answer is in the model all the same; nobody is left to show it.
        EXPECT_EQ(model->alterTitle, "设置成功");
    }
}

} // namespace
} // namespace tbx::wifi::forms
