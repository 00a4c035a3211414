// The five settings commands against the simulated USB printer: reply codes,
// record updates, result triples, alert fields and the exact bytes sent.
#include "tests/wifi_setup/PrinterFixture.h"
#include "wifi_setup/AlertTexts.h"

using namespace tbx;
using namespace tbx::test;
using namespace tbx::wifi;
using sim::Misbehaviour;

namespace {

const std::string kE(kErrorTitle);

AlertTriple error(std::string_view message) {
    return {true, kE, std::string(message)};
}

// One scripted reply and what the command makes of it. `alert` empty: the
// model's alert fields keep what they held.
struct ReplyCase {
    std::string reply; // empty: the printer stays silent
    AlertTriple result;
    std::optional<std::pair<std::string, std::string>> alert = std::nullopt;
    bool recordChanged = false;
};

class SettingsCommandsTest : public PrinterFixture {
protected:
    void SetUp() override {
        PrinterFixture::SetUp();
        // Scripted bare codes are shorter than the 16 bytes a USB reply needs.
        responder->setMisbehaviour(Misbehaviour::nulPadded);
    }
    void script(const std::string& reply) {
        if (reply.empty()) {
            responder->setMisbehaviour(Misbehaviour::silence, 1);
        } else {
            responder->queueReply(reply);
        }
    }
    void markAlert() {
        model->showAlter = false;
        model->alterTitle = "before";
        model->alterInfo = "before";
    }
    void expectAlert(const ReplyCase& c) {
        if (c.alert) {
            EXPECT_TRUE(model->showAlter);
            EXPECT_EQ(model->alterTitle, c.alert->first);
            EXPECT_EQ(model->alterInfo, c.alert->second);
        } else {
            EXPECT_FALSE(model->showAlter);
            EXPECT_EQ(model->alterTitle, "before");
            EXPECT_EQ(model->alterInfo, "before");
        }
    }
};

const std::string kAPData = "8014,ap;Home AP\r\n6\r\nsecret\r\n10.0.0.2\r\n255.255.255.0\r\n10.0.0.1";
const std::string kSTAData = "8013,sta;Office\r\npw\r\nS\r\n10.1.0.9\r\n255.255.0.0\r\n10.1.0.1\r\nextra";

TEST_F(SettingsCommandsTest, GetAPInfoReplyCodes) {
    const std::pair<std::string, std::string> busy{"Error", std::string(kDeviceBusy)};
    const std::pair<std::string, std::string> mode{"Error", std::string(kModeNotSupportedNow)};
    const std::vector<ReplyCase> cases = {
        {"1001", error(kDeviceBusy), busy},
        {"1001,printing", error(kDeviceBusy), busy},
        {"8001,x", error(kModeNotSupportedNow), mode},
        {kAPData, {false, "", ""}, std::nullopt, true},
        {kAPData + "\r\nignored", {false, "", ""}, std::nullopt, true},
        {"8014,ap;Home AP\r\n6\r\nsecret\r\n10.0.0.2\r\n255.255.255.0", error(kDataParseError)},
        {"8014,ap Home AP\r\n6\r\nsecret\r\n10.0.0.2\r\n255.255.255.0\r\n10.0.0.1", error(kDataParseError)},
        {" 8014,ap;A\r\n6\r\np\r\n1\r\n2\r\n3", error(kDataParseError)},
        {"8013,x", error(kDataParseError)},
        {"", error(kDataParseError)},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.reply);
        model = makeModel();
        markAlert();
        script(c.reply);
        EXPECT_EQ(model->getAPInfo(), c.result);
        expectAlert(c);
        const APSetting fresh{"", 1, "", "", "", ""};
        if (c.recordChanged) {
            EXPECT_EQ(*model->apSetting,
                      (APSetting{"Home AP", 1, "secret", "10.0.0.2", "255.255.255.0", "10.0.0.1"}));
        } else {
            EXPECT_EQ(*model->apSetting, fresh);
        }
        EXPECT_EQ(written().back(), "CheckwifiAP?");
    }
}

TEST_F(SettingsCommandsTest, EncryptionLineGivesTheFormsChoice) {
    const std::vector<std::pair<std::string, std::int64_t>> cases = {
        {"6", 1}, {"0", 0}, {"4", 0}, {"", 0}, {"6 ", 0}};
    for (const auto& [line, mode] : cases) {
        SCOPED_TRACE(line);
        script("8014,ap;N\r\n" + line + "\r\np\r\n1.1.1.1\r\n2.2.2.2\r\n3.3.3.3");
        ASSERT_FALSE(model->getAPInfo().show);
        EXPECT_EQ(model->apSetting->encryptMode, mode);
    }
}

TEST_F(SettingsCommandsTest, GetAPInfoTracesTheNameAsAnOptional) {
    TraceCapture capture;
    script("8014,ap;Say \"hi\";more\r\n6\r\np\r\n1.1.1.1\r\n2.2.2.2\r\n3.3.3.3");
    model->getAPInfo();
    EXPECT_EQ(linesStartingWith(capture, {"run in function", "apname"}),
              (std::vector<std::string>{"run in function getAPInfo",
                                        "apname = Optional(\"Say \\\"hi\\\"\") and value = Say \"hi\"",
                                        "apname = Optional(\"Say \\\"hi\\\"\")"}));
}

TEST_F(SettingsCommandsTest, SetAPInfoReplyCodes) {
    const std::pair<std::string, std::string> done{std::string(kSetSucceeded), std::string(kHotSpotInfoSet)};
    const std::vector<ReplyCase> cases = {
        {"8004", {true, std::string(kSetSucceeded), std::string(kHotSpotInfoSet)}, done},
        {"8004,ok", {true, std::string(kSetSucceeded), std::string(kHotSpotInfoSet)}, done},
        {"1001,x", error(kPrintingCannotSet), std::pair{kE, std::string(kPrintingCannotSet)}},
        {"8005,x", error(kWrongParameters), std::pair{kE, std::string(kWrongParameters)}},
        {"8001", error(kModeNotSupported), std::pair{kE, std::string(kModeNotSupported)}},
        {"8002,x", error(kAPReplyParseError)},
        {"80041", error(kAPReplyParseError)},
        {"", error(kAPReplyParseError)},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.reply);
        markAlert();
        script(c.reply);
        EXPECT_EQ(model->setAPInfo(), c.result);
        expectAlert(c);
    }
}

TEST_F(SettingsCommandsTest, SetAPInfoSendsTheEscapedBodyAndThePrinterAppliesIt) {
    *model->apSetting = {"a;b?c", 6, "p;w", "10.0.0.2", "255.255.255.0", "10.0.0.1"};
    responder->setMisbehaviour(Misbehaviour::none);
    EXPECT_EQ(model->setAPInfo(),
              (AlertTriple{true, std::string(kSetSucceeded), std::string(kHotSpotInfoSet)}));
    ASSERT_EQ(written().size(), 1u);
    EXPECT_EQ(written()[0], "SetwifiAP=a\x02"
                            "b\x01"
                            "c\r\n6\r\np\x02w\r\nS\r\n10.0.0.2\r\n255.255.255.0\r\n10.0.0.1;");
    EXPECT_EQ(responder->accessPoint(),
              (sim::AccessPointRecord{"a;b?c", "6", "p;w", "10.0.0.2", "255.255.255.0", "10.0.0.1"}));
}

TEST_F(SettingsCommandsTest, ReportedEncryptionCodeSurvivesAnUnrelatedEdit) {
    struct Case {
        std::string reported;
        std::int64_t written; // what the form stores before the write
        std::string sent;
    };
    const std::vector<Case> cases = {
        {"4", 0, "4"},                // choice untouched: the printer's own code goes back
        {"4", 6, "6"},                // the user chose encryption
        {"6", 6, "6"}, {"6", 0, "0"}, // the user switched encryption off
        {"0", 0, "0"}, {"", 0, "0"},  // no code to keep
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reported + " / " + std::to_string(c.written));
        model = makeModel();
        device->clearLogs();
        script("8014,ap;N\r\n" + c.reported + "\r\np\r\n1.1.1.1\r\n2.2.2.2\r\n3.3.3.3");
        ASSERT_FALSE(model->getAPInfo().show);
        model->apSetting->encryptMode = c.written;
        script("8004,ok");
        model->setAPInfo();
        EXPECT_EQ(written().back(),
                  "SetwifiAP=N\r\n" + c.sent + "\r\np\r\nS\r\n1.1.1.1\r\n2.2.2.2\r\n3.3.3.3;");
    }
}

TEST_F(SettingsCommandsTest, GetClientModeInfoReplyCodes) {
    const std::pair<std::string, std::string> busy{"Error", std::string(kDeviceBusy)};
    const std::vector<ReplyCase> cases = {
        {"1001", error(kClientModeReadError)}, // a code alone has no comma
        {"1001,printing", error(kDeviceBusy), busy},
        {"8001,x", error(kModeNotSupportedNow),
         std::pair{std::string("Error"), std::string(kModeNotSupportedNow)}},
        {kSTAData, {false, "", ""}, std::nullopt, true},
        {"8013,sta;Office\r\npw\r\nS\r\n10.1.0.9\r\n255.255.0.0", error(kClientModeReadError)},
        {"8013,sta Office\r\npw\r\nS\r\n10.1.0.9\r\n255.255.0.0\r\n10.1.0.1", error(kClientModeReadError)},
        {"8014,x;A\r\nb\r\nc\r\nd\r\ne\r\nf", error(kClientModeReadError)},
        {"", error(kClientModeReadError)},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.reply);
        model = makeModel();
        model->clietModeSetting->orderInList = 4;
        markAlert();
        script(c.reply);
        EXPECT_EQ(model->getClientModeInfo(), c.result);
        expectAlert(c);
        if (c.recordChanged) {
            EXPECT_EQ(*model->clietModeSetting,
                      (ClietModeSetting{"Office", "pw", 4, "S", "10.1.0.9", "255.255.0.0", "10.1.0.1"}));
        } else {
            EXPECT_EQ(*model->clietModeSetting, (ClietModeSetting{"", "", 4, "Manual", "", "", ""}));
        }
    }
}

TEST_F(SettingsCommandsTest, SetClientModeInfoReplyCodes) {
    const std::pair<std::string, std::string> done{std::string(kSetSucceeded), std::string(kHotSpotInfoSet)};
    const std::vector<ReplyCase> cases = {
        {"8002,ok", {true, std::string(kSetSucceeded), std::string(kHotSpotInfoSet)}, done},
        {"8002", error(kParseFailedRetry)},
        {"1001,x", error(kPrintingCannotSet), std::pair{kE, std::string(kPrintingCannotSet)}},
        {"8003,x", error(kWrongParameters), std::pair{kE, std::string(kWrongParameters)}},
        {"8001,x", error(kModeNotSupported), std::pair{kE, std::string(kModeNotSupported)}},
        {"8004,x", error(kParseFailedRetry)},
        {"", error(kParseFailedRetry)},
    };
    model->hotSpotList = {{0, "Office", 7}, {1, "Guest", 3}};
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.reply);
        markAlert();
        script(c.reply);
        EXPECT_EQ(model->setClientModeInfo(), c.result);
        expectAlert(c);
    }
}

TEST_F(SettingsCommandsTest, SetClientModeInfoSendsTheChosenListEntry) {
    responder->setMisbehaviour(Misbehaviour::none);
    model->hotSpotList = {{0, "Office", 7}, {1, "Gu;est?", 3}};
    *model->clietModeSetting = {"Office", "pa;ss", 1, "S", "10.1.0.9", "255.255.0.0", "10.1.0.1"};
    EXPECT_EQ(model->setClientModeInfo(),
              (AlertTriple{true, std::string(kSetSucceeded), std::string(kHotSpotInfoSet)}));
    EXPECT_EQ(written().back(), "SetwifiSTA=Gu\x02"
                                "est\x01\r\npa\x02ss\r\nS\r\n10.1.0.9\r\n255.255.0.0\r\n10.1.0.1;");
    EXPECT_EQ(responder->clientMode(),
              (sim::ClientModeRecord{"Gu;est?", "pa;ss", "S", "10.1.0.9", "255.255.0.0", "10.1.0.1"}));
}

TEST_F(SettingsCommandsTest, PositionOutsideTheListSendsNothing) {
    for (const auto& [list, order] : std::vector<std::pair<std::vector<HotSpot>, std::int64_t>>{
             {{}, 0}, {{{0, "A", 1}, {1, "B", 2}}, 2}, {{{0, "A", 1}}, -1}}) {
        SCOPED_TRACE(order);
        model->hotSpotList = list;
        model->clietModeSetting->orderInList = order;
        EXPECT_EQ(model->setClientModeInfo(), error(kParseFailedRetry));
    }
    EXPECT_TRUE(device->writes().empty());
}

TEST_F(SettingsCommandsTest, ControlBytesInAFieldAreRefusedAndNothingIsSent) {
    const std::vector<std::string> bad = {
        "p\r\nq", "\x01", "a\x02", "tab\t", "del\x7f", "1.2.3.4\n", std::string("nul\0", 4)};
    model->hotSpotList = {{0, "Office", 7}};
    for (const std::string& value : bad) {
        SCOPED_TRACE(testing::PrintToString(value));
        TraceCapture capture;
        for (std::string APSetting::*field : {&APSetting::APName, &APSetting::APPassword, &APSetting::ip,
                                              &APSetting::mask, &APSetting::gateway}) {
            APSetting setting{"ap", 6, "pw", "1.1.1.1", "2.2.2.2", "3.3.3.3"};
            setting.*field = value;
            *model->apSetting = setting;
            EXPECT_EQ(model->setAPInfo(), error(kWrongParameters));
        }
        for (std::string ClietModeSetting::*field :
             {&ClietModeSetting::WifiPassword, &ClietModeSetting::ipSetType, &ClietModeSetting::ip,
              &ClietModeSetting::mask, &ClietModeSetting::gateway}) {
            ClietModeSetting setting{"Office", "pw", 0, "S", "1.1.1.1", "2.2.2.2", "3.3.3.3"};
            setting.*field = value;
            *model->clietModeSetting = setting;
            EXPECT_EQ(model->setClientModeInfo(), error(kWrongParameters));
        }
        model->hotSpotList = {{0, "Off" + value, 7}};
        model->clietModeSetting->orderInList = 0;
        EXPECT_EQ(model->setClientModeInfo(), error(kWrongParameters));
        model->hotSpotList = {{0, "Office", 7}};
        EXPECT_TRUE(linesStartingWith(capture, {"send cmd", "run in"}).empty());
    }
    EXPECT_TRUE(device->writes().empty());
    EXPECT_TRUE(responder->requests().empty());
}

TEST_F(SettingsCommandsTest, PasswordsNeverAppearInTraceLines) {
    responder->setMisbehaviour(Misbehaviour::none);
    *model->apSetting = {"ap", 6, "TopSecret1", "1.1.1.1", "2.2.2.2", "3.3.3.3"};
    model->hotSpotList = {{0, "Office", 7}};
    *model->clietModeSetting = {"Office", "TopSecret2", 0, "D", "0.0.0.0", "0.0.0.0", "0.0.0.0"};
    TraceCapture capture;
    model->setAPInfo();
    model->setClientModeInfo();
    EXPECT_EQ(capture.text().find("TopSecret"), std::string::npos) << capture.text();
    EXPECT_NE(
        capture.text().find("run in set ap info and cmd = SetwifiAP=ap\r\n6\r\n******\r\nS\r\n1.1.1.1\r\n"
                            "2.2.2.2\r\n3.3.3.3;\n"),
        std::string::npos);
    EXPECT_EQ(written()[0].find("TopSecret1"), 17u); // the printer still gets it
}

} // namespace
