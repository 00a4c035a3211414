// What the form shows for a state: row labels and items looked up in the
// string table (English and Chinese) or shown verbatim.
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
        {"xx", "scanner", {"AUTO", "ADF", "FB"}, {"CGRAY", "GRAY256", "TEXT"}, {"JPEG", "PDF"}, "scan"},
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
