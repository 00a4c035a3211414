// The settings form's rules over its plain state: which rows show and take
// input, the knock-on changes of the source and combine pickers, the items
// each picker offers, the scan button's checks and request, and the folder
// chooser's outcome.
#include "scanner_app/SettingState.h"
#include "scanning/ScanParameters.h"

#include <gtest/gtest.h>

using namespace tbx;
using namespace tbx::scanner_app;

namespace {

enum Mode { CGRAY = 0, GRAY256 = 1, TEXT = 2 };
enum Source { AUTO = 0, ADF = 1, FB = 2 };
enum Combine { NoCombine = 0, CombinHorizontal = 1, CombinVertical = 2, IDCard = 3 };

SettingState with(std::int64_t mode, std::int64_t combine, std::int64_t saveType = 0) {
    SettingState s;
    s.colorMode = mode;
    s.combineType = combine;
    s.saveType = saveType;
    return s;
}

std::vector<std::string> texts(const std::vector<PickerItem>& items) {
    std::vector<std::string> out;
    for (const auto& item : items) {
        out.push_back(item.text);
    }
    return out;
}

Device scanner(const std::string& name, const std::string& label) {
    return Device(name, label, "USB", "", 0x37, 0x356C);
}

} // namespace

TEST(SettingRules, RowsShownAndEnabledFollowModeCombineAndFileType) {
    struct Case {
        const char* what;
        SettingState state;
        bool rotationShown, fileNameShown, sourceOn, pageSizeOn, fileTypeOn;
    };
    const Case cases[] = {
        {"defaults", with(CGRAY, NoCombine), true, true, true, true, true},
        {"text mode hides rotation", with(TEXT, NoCombine), false, true, true, true, true},
        {"combining hides rotation, locks page size", with(CGRAY, CombinHorizontal), false, true, true, false,
         true},
        {"vertical combining in grey", with(GRAY256, CombinVertical), false, true, true, false, true},
        {"ID card locks the source too", with(CGRAY, IDCard), false, true, false, false, true},
        {"text mode and combining lock the file type", with(TEXT, CombinVertical), false, true, true, false,
         false},
        {"text mode and ID card", with(TEXT, IDCard), false, true, false, false, false},
        {"PDF hides the file name", with(CGRAY, NoCombine, 1), true, false, true, true, true},
        {"PDF in text mode", with(TEXT, NoCombine, 1), false, false, true, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(rowPresent(c.state, Row::rotateAngle), c.rotationShown);
        EXPECT_EQ(rowPresent(c.state, Row::saveFileName), c.fileNameShown);
        EXPECT_EQ(rowEnabled(c.state, Row::scanSource), c.sourceOn);
        EXPECT_EQ(rowEnabled(c.state, Row::pageSize), c.pageSizeOn);
        EXPECT_EQ(rowEnabled(c.state, Row::saveFileType), c.fileTypeOn);
        for (Row row : {Row::scanner, Row::scanSource, Row::colorMode, Row::contentType, Row::resolution,
                        Row::combineType, Row::pageSize, Row::saveFileType}) {
            EXPECT_TRUE(rowPresent(c.state, row)) << rowKey(row);
        }
        for (Row row : {Row::scanner, Row::colorMode, Row::contentType, Row::resolution, Row::combineType,
                        Row::rotateAngle, Row::saveFileName}) {
            EXPECT_TRUE(rowEnabled(c.state, row)) << rowKey(row);
        }
    }
}

TEST(SettingRules, ChangeRulesOfSourceAndCombining) {
    struct Case {
        const char* what;
        SettingState start;
        std::vector<std::pair<Row, std::int64_t>> picks;
        std::int64_t source, resolution, pageSize, saveType, combine;
    };
    auto state = [](std::int64_t mode, std::int64_t source, std::int64_t resolution, std::int64_t pageSize,
                    std::int64_t saveType) {
        SettingState s;
        s.colorMode = mode;
        s.scanSource = source;
        s.resolution = resolution;
        s.pageSize = pageSize;
        s.saveType = saveType;
        return s;
    };
    // clang-format off
    const Case cases[] = {
        {"flatbed 1200 dpi, then the feeder: back to 200 dpi", state(CGRAY, FB, 3, 0, 0),
         {{Row::scanSource, ADF}}, ADF, 0, 0, 0, NoCombine},
        {"feeder 300 dpi, then the flatbed: kept", state(CGRAY, ADF, 1, 0, 0),
         {{Row::scanSource, FB}}, FB, 1, 0, 0, NoCombine},
        {"picking the chosen source again changes nothing", state(CGRAY, FB, 3, 0, 0),
         {{Row::scanSource, FB}}, FB, 3, 0, 0, NoCombine},
        {"ID card in colour: A4, flatbed, resolution and PDF kept", state(CGRAY, ADF, 1, 3, 1),
         {{Row::combineType, IDCard}}, FB, 1, 0, 1, IDCard},
        {"side by side in text mode: A4 and BMP, source kept", state(TEXT, ADF, 0, 2, 1),
         {{Row::combineType, CombinHorizontal}}, ADF, 0, 0, 0, CombinHorizontal},
        {"back to no combining keeps what the rule set", state(TEXT, ADF, 0, 2, 1),
         {{Row::combineType, IDCard}, {Row::combineType, NoCombine}}, FB, 0, 0, 0, NoCombine},
        {"no combining from the start touches nothing", state(GRAY256, ADF, 1, 3, 1),
         {{Row::combineType, NoCombine}}, ADF, 1, 3, 1, NoCombine},
        {"a page size picked after no combining stays", state(CGRAY, AUTO, 0, 0, 0),
         {{Row::combineType, CombinVertical}, {Row::combineType, NoCombine}, {Row::pageSize, 3}},
         AUTO, 0, 3, 0, NoCombine},
        {"the file type index survives the text mode", state(CGRAY, AUTO, 0, 0, 0),
         {{Row::saveFileType, 0}, {Row::colorMode, TEXT}, {Row::colorMode, CGRAY}}, AUTO, 0, 0, 0, NoCombine},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SettingState s = c.start;
        for (const auto& [row, tag] : c.picks) {
            choose(s, row, tag);
        }
        EXPECT_EQ(s.scanSource, c.source);
        EXPECT_EQ(s.resolution, c.resolution);
        EXPECT_EQ(s.pageSize, c.pageSize);
        EXPECT_EQ(s.saveType, c.saveType);
        EXPECT_EQ(s.combineType, c.combine);
        EXPECT_EQ(s.savePrefix, "file"); // no rule touches the prefix or the rotation
        EXPECT_EQ(s.rotateAngle, c.start.rotateAngle);
    }
}

TEST(SettingRules, PickerItems) {
    const std::vector<Device> scanners{scanner("Tamberlyx", "Tamberlyx(10.0.0.5)"),
                                       scanner("Tamberlyx", "Tamberlyx")};
    using Texts = std::vector<std::string>;
    struct Case {
        const char* what;
        Row row;
        std::int64_t mode, source;
        Texts texts;
        bool localized;
    };
    const Case cases[] = {
        {"scanners by label", Row::scanner, CGRAY, AUTO, {"Tamberlyx(10.0.0.5)", "Tamberlyx"}, false},
        {"no 1200 dpi from the feeder", Row::resolution, CGRAY, ADF, {"200dpi", "300dpi", "600dpi"}, false},
        {"1200 dpi on the flatbed",
         Row::resolution,
         CGRAY,
         FB,
         {"200dpi", "300dpi", "600dpi", "1200dpi"},
         false},
        {"JPEG outside the text mode", Row::saveFileType, GRAY256, AUTO, {"JPEG", "PDF"}, true},
        {"BMP in the text mode", Row::saveFileType, TEXT, AUTO, {"BMP", "PDF"}, true},
        {"rotations", Row::rotateAngle, CGRAY, AUTO, {"0", "90", "180"}, true},
        {"sources are keys", Row::scanSource, CGRAY, AUTO, {"AUTO", "ADF", "FB"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SettingState s;
        s.colorMode = c.mode;
        s.scanSource = c.source;
        const auto items = rowItems(s, c.row, scanners);
        EXPECT_EQ(texts(items), c.texts);
        for (std::size_t i = 0; i < items.size(); ++i) {
            EXPECT_EQ(items[i].tag, std::int64_t(i)); // the tag is the option's index
            EXPECT_EQ(items[i].localized, c.localized) << items[i].text;
        }
    }
    EXPECT_TRUE(rowItems(SettingState{}, Row::scanner, {}).empty());
}

TEST(SettingRules, ScanChecksInOrder) {
    const std::vector<Device> two{scanner("Tamberlyx", "Tamberlyx(10.0.0.5)"),
                                  scanner("Tamberlyx", "Tamberlyx")};
    struct Case {
        const char* what;
        std::size_t scanners;
        std::int64_t index;
        std::string dir, prefix;
        std::optional<std::string> key;
    };
    const Case cases[] = {
        {"no scanner, whatever else", 0, 0, "", "", "noScannerFound"},
        {"index past the list", 2, 2, "/tmp", "file", "noScannerFound"},
        {"the folder comes before the prefix", 2, 0, "", "", "noSaveDir"},
        {"empty prefix", 2, 1, "/tmp", "", "noSaveFileName"},
        {"prefix with a slash", 1, 0, "/tmp", "a/b", "unsafeSavePrefix"},
        {"prefix naming the folder", 1, 0, "/tmp", ".", "unsafeSavePrefix"},
        {"prefix naming the parent", 1, 0, "/tmp", "..", "unsafeSavePrefix"},
        {"prefix with NUL", 1, 0, "/tmp", std::string("a\0b", 3), "unsafeSavePrefix"},
        {"a blank folder passes", 1, 0, " ", "file", std::nullopt},
        {"a folder that does not exist passes", 1, 0, "<none>", "file", std::nullopt},
        {"dots inside a name pass", 1, 0, "/tmp", "...", std::nullopt},
        {"the second scanner", 2, 1, "/tmp", "file", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SettingState s;
        s.scannerIndex = c.index;
        s.saveDir = c.dir;
        s.savePrefix = c.prefix;
        EXPECT_EQ(scanCheckKey(s, std::vector<Device>(two.begin(), two.begin() + long(c.scanners))), c.key);
    }
}

TEST(SettingRules, ScanRequestCarriesEveryChoice) {
    const std::vector<Device> scanners{scanner("Net one", "Net one(10.0.0.5)"),
                                       scanner("USB two", "USB two")};
    SettingState s;
    s.scannerIndex = 1;
    s.scanSource = FB;
    s.colorMode = GRAY256;
    s.resolution = 3;
    s.pageSize = 2;
    s.saveType = 1;
    s.contentType = 1;
    s.rotateAngle = 2;
    s.combineType = CombinVertical;
    s.savePrefix = "invoice";
    s.saveDir = "/home/user/scans";
    // The prefix goes twice: as the prefix and as the page files' name.
    EXPECT_EQ(makeUIParams(s, scanners), (UIParams{"USB two", FB, GRAY256, 3, 2, 1, 1, 2, CombinVertical,
                                                   "invoice", "/home/user/scans", "invoice"}));
}

// Combining in the text mode makes BMP pages, which the engine refuses to
// combine. Its message tells the user to choose "No combining" or another
// colour mode: both pickers must take input there, and each way out must give
// a request the engine accepts.
TEST(SettingRules, RefusedBlackAndWhiteCombiningHasAWayOutOnTheForm) {
    const std::vector<Device> scanners{scanner("Tamberlyx", "Tamberlyx")};
    struct Case {
        const char* what;
        Row row;
        std::int64_t tag;
    };
    const Case cases[] = {
        {"no combining", Row::combineType, NoCombine},
        {"colour", Row::colorMode, CGRAY},
        {"grey", Row::colorMode, GRAY256},
    };
    for (const std::int64_t combine : {CombinHorizontal, CombinVertical, IDCard}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + " after combine type " + std::to_string(combine));
            SettingState s;
            s.saveDir = "/tmp";
            s.colorMode = TEXT;
            changeCombineType(s, combine);
            ASSERT_EQ(scanCheckKey(s, scanners), std::nullopt);
            EXPECT_EQ(invalidSettingKey(makeUIParams(s, scanners)), "cannotCombineBWPages");
            EXPECT_TRUE(rowEnabled(s, c.row));
            choose(s, c.row, c.tag);
            EXPECT_EQ(invalidSettingKey(makeUIParams(s, scanners)), std::nullopt);
        }
    }
}
