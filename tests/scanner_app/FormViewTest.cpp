// What the form shows for a state: row labels and items looked up in the
// string table (English and Chinese) or shown verbatim, the current item of
// each picker, the buttons and the alert.
#include "scanner_app/FormView.h"

#include "platform/foundation/Localization.h"

#include <gtest/gtest.h>

using namespace tbx;
using namespace tbx::scanner_app;

namespace {

class FormViewTest : public testing::Test {
protected:
    void SetUp() override { setCurrentLanguage("en"); }
    void TearDown() override { setCurrentLanguage("en"); }

    std::shared_ptr<ScannerModel> model = ScannerModel::make(Device::placeholder(), ScannerServices{});
};

std::vector<std::string> itemTexts(const RowView& row) {
    std::vector<std::string> out;
    for (const auto& item : row.items) {
        out.push_back(item.text);
    }
    return out;
}

} // namespace

TEST_F(FormViewTest, NewFormShowsTenRowsWithTheirDefaults) {
    setCurrentLanguage("en");
    SettingState state;
    state.saveDir = "/home/user/Desktop";
    const FormView view = describeForm(state, *model);

    struct Expected {
        const char* key;
        const char* label;
        std::optional<std::int64_t> chosen;
        const char* shown; // text of the chosen item
    };
    const Expected rows[] = {
        {"scanner", "Scanner", std::nullopt, nullptr}, // empty until discovery has run
        {"scanSource", "Paper source", 0, "Auto"},
        {"colorMode", "Colour mode", 0, "Colour"},
        {"contenType", "Content", 0, "Auto"},
        {"resolution", "Resolution", 0, "200dpi"},
        {"combineType", "Combine pages", 0, "No combining"},
        {"pageSize", "Page size", 0, "A4"},
        {"saveFileType", "File type", 0, "JPEG"},
        {"rotateAngle", "Rotation", 0, "0"},
        {"saveFileName", "File name", std::nullopt, nullptr},
    };
    ASSERT_EQ(view.rows.size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].key);
        const RowView& r = view.rows[i];
        EXPECT_EQ(r.key, rows[i].key);
        EXPECT_EQ(r.label, rows[i].label);
        EXPECT_TRUE(r.present);
        EXPECT_TRUE(r.enabled);
        EXPECT_EQ(r.chosen, rows[i].chosen);
        if (rows[i].shown != nullptr) {
            ASSERT_TRUE(r.chosen);
            EXPECT_EQ(r.items[std::size_t(*r.chosen)].text, rows[i].shown);
        }
    }
    EXPECT_EQ(view.savePrefix, "file");
    EXPECT_EQ(view.fileNamePlaceholder, "File name");
    EXPECT_EQ(view.saveDir, "/home/user/Desktop");
    EXPECT_EQ(view.saveToLabel, "Save to");
    EXPECT_EQ(view.browseText, "Browse…");
    EXPECT_EQ(view.scanText, "Scan");
    EXPECT_EQ(view.refreshText, "Refresh");
    EXPECT_TRUE(view.scanEnabled);
    EXPECT_FALSE(view.alert.shown);
}

TEST_F(FormViewTest, TextsInEachLanguage) {
    model->scannerList = {Device("Tamberlyx", "Tamberlyx(10.0.0.5)", "Net", "10.0.0.5", 0x37, 0x356C)};
    SettingState state;
    state.scanSource = 2; // flatbed: all four resolutions
    struct Case {
        const char* language;
        const char* scannerLabel;
        std::vector<std::string> sources, modes, fileTypes;
        const char* scan;
    };
    const Case cases[] = {
        {"en",
         "Scanner",
         {"Auto", "Document feeder", "Flatbed"},
         {"Colour", "Grey", "Black and white"},
         {"JPEG", "PDF"},
         "Scan"},
        {"zh", "扫描仪", {"自动", "自动进纸器", "平板"}, {"彩色", "灰度", "黑白"}, {"JPEG", "PDF"}, "扫描"},
        // A language without a table shows every key as it stands.
        {"xx",
         "scanner",
         {"AUTO", "ADF", "FB"},
         {"CGRAY", "GRAY256", "TEXT"},
         {"JPEG", "PDF"},
         "scan"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.language);
        setCurrentLanguage(c.language);
        const FormView view = describeForm(state, *model);
        EXPECT_EQ(view.row(Row::scanner).label, c.scannerLabel);
        EXPECT_EQ(itemTexts(view.row(Row::scanSource)), c.sources);
        EXPECT_EQ(itemTexts(view.row(Row::colorMode)), c.modes);
        EXPECT_EQ(itemTexts(view.row(Row::saveFileType)), c.fileTypes);
        EXPECT_EQ(view.scanText, c.scan);
        // Scanner labels and resolutions are never looked up.
        EXPECT_EQ(itemTexts(view.row(Row::scanner)), (std::vector<std::string>{"Tamberlyx(10.0.0.5)"}));
        EXPECT_EQ(itemTexts(view.row(Row::resolution)),
                  (std::vector<std::string>{"200dpi", "300dpi", "600dpi", "1200dpi"}));
        EXPECT_EQ(itemTexts(view.row(Row::rotateAngle)), (std::vector<std::string>{"0", "90", "180"}));
        EXPECT_EQ(view.alert.button, localizedString("ok"));
    }
    setCurrentLanguage("zh");
    EXPECT_NE(localizedString("unsafeSavePrefix"), "unsafeSavePrefix");
    EXPECT_NE(localizedString("newWindow"), "newWindow");
    setCurrentLanguage("en");
    EXPECT_NE(localizedString("unsafeSavePrefix"), "unsafeSavePrefix");
}

TEST_F(FormViewTest, ChosenItemsScanningAndAlert) {
    model->scannerList = {Device("Tamberlyx", "Tamberlyx", "USB", "", 0x37, 0x356C),
                          Device("Tamberlyx", "Tamberlyx(10.0.0.9)", "Net", "10.0.0.9", 0x37, 0x356C)};
    SettingState state;
    state.scannerIndex = 1;
    state.colorMode = 2;
    state.combineType = 1;
    state.saveType = 1;
    state.scanning = true;
    model->showAlert = true;
    model->alertTitle = "Information";
    model->alertMessage = "Scanned 2 page(s)\nline two";

    const FormView view = describeForm(state, *model);
    EXPECT_EQ(view.row(Row::scanner).chosen, 1);
    EXPECT_EQ(itemTexts(view.row(Row::saveFileType)), (std::vector<std::string>{"BMP", "PDF"}));
    EXPECT_EQ(view.row(Row::saveFileType).chosen, 1);
    EXPECT_FALSE(view.row(Row::saveFileType).enabled);
    EXPECT_FALSE(view.row(Row::pageSize).enabled);
    EXPECT_FALSE(view.row(Row::rotateAngle).present);
    EXPECT_FALSE(view.row(Row::saveFileName).present);
    EXPECT_FALSE(view.scanEnabled);
    EXPECT_EQ(view.alert, (AlertView{true, "Information", "Scanned 2 page(s)\nline two", "OK"}));

    // A state whose field has no item shows none rather than a wrong one.
    state.scannerIndex = 5;
    EXPECT_EQ(describeForm(state, *model).row(Row::scanner).chosen, std::nullopt);
}
