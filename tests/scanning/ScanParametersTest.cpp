#include "scanning/ScanParameters.h"

#include "scanning/ScanOptions.h"

#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using namespace tbx;

namespace {

UIParams choices(std::int64_t source, std::int64_t mode, std::int64_t resolution, std::int64_t page,
                 std::int64_t saveType = 0, std::int64_t content = 0, std::int64_t rotate = 0,
                 std::int64_t combine = 0) {
    UIParams p;
    p.scannerName = "Tamberlyx";
    p.scanSourceIndex = source;
    p.colorModeIndex = mode;
    p.resolutionIndex = resolution;
    p.pageSizeIndex = page;
    p.saveTypeIndex = saveType;
    p.contentTypeIndex = content;
    p.rotateAngleIndex = rotate;
    p.combineTypeIndex = combine;
    p.savePrefix = "file";
    p.saveDir = "/home/u/Desktop";
    p.saveFileName = "file";
    return p;
}

// Scan area in dots for page size x resolution, worked out by hand from the
// page table (dots at 300 dpi) and the resolution factors 2/3, 1, 2 and 4.
const std::map<std::pair<std::string, std::string>, std::pair<std::int64_t, std::int64_t>> areaDots{
    {{"A4", "200dpi"}, {1621, 2294}},      {{"A4", "300dpi"}, {2432, 3441}},
    {{"A4", "600dpi"}, {4864, 6882}},      {{"A4", "1200dpi"}, {9728, 13764}},
    {{"A5", "200dpi"}, {1152, 1622}},      {{"A5", "300dpi"}, {1728, 2433}},
    {{"A5", "600dpi"}, {3456, 4866}},      {{"A5", "1200dpi"}, {6912, 9732}},
    {{"B5(JIS)", "200dpi"}, {1408, 1986}}, {{"B5(JIS)", "300dpi"}, {2112, 2979}},
    {{"B5(JIS)", "600dpi"}, {4224, 5958}}, {{"B5(JIS)", "1200dpi"}, {8448, 11916}},
    {{"Letter", "200dpi"}, {1685, 2156}},  {{"Letter", "300dpi"}, {2528, 3234}},
    {{"Letter", "600dpi"}, {5056, 6468}},  {{"Letter", "1200dpi"}, {10112, 12936}},
};

const std::map<std::string, std::string> resolutionWords{
    {"200dpi", "200,200"}, {"300dpi", "300,300"}, {"600dpi", "600,600"}, {"1200dpi", "1200,1200"}};

} // namespace

TEST(ScanParameters, EveryCombinationOfSettingsGivesTheScannersWords) {
    const std::vector<std::string> sources{"AUTO", "ADF", "FB"};
    const std::vector<std::string> modes{"CGRAY", "GRAY256", "TEXT"};
    const std::vector<std::string> resolutions{"200dpi", "300dpi", "600dpi", "1200dpi"};
    const std::vector<std::string> pages{"A4", "A5", "B5(JIS)", "Letter"};
    const std::vector<std::string> contents{"AUTO", "PHOTO", "TYPE"};
    const std::vector<std::int64_t> angles{0, 90, 180};
    const std::vector<std::string> combines{"NoCombine", "CombinHorizontal", "CombinVertical", "IDCard"};
    int checked = 0;
    for (std::int64_t s = 0; s < 3; ++s)
        for (std::int64_t m = 0; m < 3; ++m)
            for (std::int64_t r = 0; r < 4; ++r)
                for (std::int64_t pg = 0; pg < 4; ++pg)
                    for (std::int64_t st = 0; st < 2; ++st)
                        for (std::int64_t c = 0; c < 3; ++c)
                            for (std::int64_t a = 0; a < 3; ++a)
                                for (std::int64_t cb = 0; cb < 4; ++cb) {
                                    const UIParams ui = choices(s, m, r, pg, st, c, a, cb);
                                    // BMP pages are never combined: that choice alone is refused.
                                    const bool bmpCombined = modes[m] == "TEXT" && st == 0 && cb != 0;
                                    ASSERT_EQ(invalidSettingKey(ui),
                                              bmpCombined ? std::optional<std::string>("cannotCombineBWPages")
                                                          : std::nullopt);
                                    const ScanParam p = scanParameters(ui, "/recv/20261208211000");
                                    const bool text = modes[m] == "TEXT";
                                    auto [w, h] = areaDots.at({pages[pg], resolutions[r]});
                                    if (text && resolutions[r] == "200dpi") {
                                        w = 1632;
                                    }
                                    SCOPED_TRACE(testing::Message()
                                                 << s << m << r << pg << st << c << a << cb);
                                    EXPECT_EQ(p.source, sources[s]);
                                    EXPECT_EQ(p.resolution, resolutionWords.at(resolutions[r]));
                                    EXPECT_EQ(p.mode, modes[m]);
                                    EXPECT_EQ(p.type, contents[c]);
                                    EXPECT_EQ(p.compression, text ? "BMP" : "JPEG");
                                    EXPECT_EQ(p.compressRatio, "MID");
                                    EXPECT_EQ(p.brightness, "50");
                                    EXPECT_EQ(p.contrast, "50");
                                    EXPECT_EQ(p.x, 0);
                                    EXPECT_EQ(p.y, 0);
                                    EXPECT_EQ(p.w, w);
                                    EXPECT_EQ(p.h, h);
                                    EXPECT_EQ(p.duplex, "SIN");
                                    EXPECT_EQ(p.gamma, 1);
                                    EXPECT_EQ(p.combineType, combines[cb]);
                                    EXPECT_EQ(p.filePath, "/recv/20261208211000/file");
                                    EXPECT_EQ(p.fileType, st == 1 ? "PDF" : (text ? "BMP" : "JPEG"));
                                    EXPECT_EQ(p.rotateAngle, angles[a]);
                                    ++checked;
                                }
    EXPECT_EQ(checked, 3 * 3 * 4 * 4 * 2 * 3 * 3 * 4);
}

TEST(ScanParameters, WorkedExamples) {
    // Letter at 1200 dpi.
    auto p = scanParameters(choices(0, 0, 3, 3), "/r");
    EXPECT_EQ(p.resolution, "1200,1200");
    EXPECT_EQ(p.w, 10112);
    EXPECT_EQ(p.h, 12936);
    // A5 at 200 dpi in TEXT mode: 1632 wide whatever the page, BMP pages or a PDF.
    p = scanParameters(choices(0, 2, 0, 1, 0), "/r");
    EXPECT_EQ(p.w, 1632);
    EXPECT_EQ(p.h, 1622);
    EXPECT_EQ(p.compression, "BMP");
    EXPECT_EQ(p.fileType, "BMP");
    EXPECT_EQ(scanParameters(choices(0, 2, 0, 1, 1), "/r").fileType, "PDF");
    // GRAY256 at 600 dpi on A4.
    p = scanParameters(choices(0, 1, 2, 0), "/r");
    EXPECT_EQ(p.w, 4864);
    EXPECT_EQ(p.h, 6882);
    EXPECT_EQ(p.compression, "JPEG");
    // Rotation and ID card.
    EXPECT_EQ(scanParameters(choices(0, 0, 0, 0, 0, 0, 2, 3), "/r").rotateAngle, 180);
    EXPECT_EQ(scanParameters(choices(0, 0, 0, 0, 0, 0, 2, 3), "/r").combineType, "IDCard");
}

TEST(ScanParameters, FilePathIsThePlainJoinOfFolderAndName) {
    EXPECT_EQ(scanParameters(choices(0, 0, 0, 0), "/a/b/").filePath, "/a/b//file");
    EXPECT_EQ(scanParameters(choices(0, 0, 0, 0), "").filePath, "/file");
}

TEST(ScanParameters, IndexesOutsideTheirListsAreRefusedNeverRead) {
    const UIParams good = choices(0, 0, 0, 0);
    auto bad = [&](auto set) {
        UIParams p = good;
        set(p);
        return p;
    };
    const std::vector<UIParams> outside{
        bad([](UIParams& p) { p.scanSourceIndex = 3; }),
        bad([](UIParams& p) { p.scanSourceIndex = -1; }),
        bad([](UIParams& p) { p.colorModeIndex = 3; }),
        bad([](UIParams& p) { p.resolutionIndex = 4; }),
        bad([](UIParams& p) { p.pageSizeIndex = 4; }),
        bad([](UIParams& p) { p.pageSizeIndex = -7; }),
        bad([](UIParams& p) { p.saveTypeIndex = 2; }),
        bad([](UIParams& p) { p.saveTypeIndex = -1; }),
        bad([](UIParams& p) { p.contentTypeIndex = 3; }),
        bad([](UIParams& p) { p.rotateAngleIndex = 3; }),
        bad([](UIParams& p) { p.combineTypeIndex = 4; }),
        bad([](UIParams& p) { p.combineTypeIndex = INT64_MIN; }),
        bad([](UIParams& p) { p.resolutionIndex = INT64_MAX; }),
    };
    for (const auto& p : outside) {
        EXPECT_EQ(invalidSettingKey(p), std::optional<std::string>("invalidScanSetting"));
        EXPECT_THROW(scanParameters(p, "/r"), std::out_of_range);
    }
}

TEST(ScanParameters, FileNamesThatWouldLeaveTheReceiveFolderAreRefused) {
    for (const std::string& name :
         std::vector<std::string>{"../x", "a/b", "/abs", "..", ".", "", std::string("a\0b", 3)}) {
        UIParams p = choices(0, 0, 0, 0);
        p.saveFileName = name;
        EXPECT_EQ(invalidSettingKey(p), std::optional<std::string>("invalidSaveFileName")) << name;
    }
    for (const std::string name : {"file", "..file", "scan 1", "a..b", "扫描"}) {
        UIParams p = choices(0, 0, 0, 0);
        p.saveFileName = name;
        EXPECT_FALSE(invalidSettingKey(p).has_value()) << name;
    }
}

TEST(ScanParameters, UnsafeFileNamesAreRefusedEachWithItsOwnKey) {
    struct Case {
        std::string name;
        std::optional<std::string> key;
    };
    const std::string longest(255 - kPageFileSuffixBytes, 'a'); // "-NNNNN.jpg" still fits 255 bytes
    auto chinese = [](int characters) {
        std::string text;
        for (int i = 0; i < characters; ++i)
            text += "扫";
        return text;
    };
    const std::vector<Case> cases{
        {"scan", std::nullopt},
        {"扫描 2026", std::nullopt},
        {chinese(81), std::nullopt},              // 243 bytes
        {"\xF0\x9F\x93\x84 pages", std::nullopt}, // a four-byte character
        {longest, std::nullopt},
        {longest + "a", "saveFileNameTooLong"},
        {std::string(250, 'x'), "saveFileNameTooLong"},
        {chinese(82), "saveFileNameTooLong"}, // 82 characters, but 246 bytes
        {"two\nlines", "saveFileNameControlCharacter"},
        {"tab\there", "saveFileNameControlCharacter"},
        {"del\x7F", "saveFileNameControlCharacter"},
        {"-scan", "saveFileNameStartsWithDash"},
        {"\xE6\x89", "saveFileNameNotUTF8"}, // cut short
        {"a\x80"
         "b",
         "saveFileNameNotUTF8"},                     // a lone continuation byte
        {"\xC0\xAF", "saveFileNameNotUTF8"},         // overlong "/"
        {"\xE0\x80\xAF", "saveFileNameNotUTF8"},     // overlong "/" in three bytes
        {"\xED\xA0\x80", "saveFileNameNotUTF8"},     // a surrogate
        {"\xF4\x90\x80\x80", "saveFileNameNotUTF8"}, // above U+10FFFF
        {"a/b", "invalidSaveFileName"},
        // Only blanks would make files that look nameless ("  -0001.jpg").
        {" ", "invalidSaveFileName"},
        {"  ", "invalidSaveFileName"},
        {"\u3000\u3000", "invalidSaveFileName"}, // ideographic spaces
        {" \u00A0\u2009", "invalidSaveFileName"},
        {" scan ", std::nullopt},
        {"\u3000扫描", std::nullopt},
    };
    for (const Case& c : cases) {
        UIParams p = choices(0, 0, 0, 0);
        p.saveFileName = c.name;
        EXPECT_EQ(invalidSettingKey(p), c.key) << testing::PrintToString(c.name);
        EXPECT_EQ(saveFileNameProblem(c.name, 255), c.key) << testing::PrintToString(c.name);
    }
    // The folder's own limit counts, and so does the whole path.
    EXPECT_EQ(saveFileNameProblem("name", 14), std::nullopt);
    EXPECT_EQ(saveFileNameProblem("name5", 14), std::optional<std::string>("saveFileNameTooLong"));
    UIParams deep = choices(0, 0, 0, 0);
    deep.saveDir = "/" + std::string(4000, 'd');
    deep.saveFileName = std::string(80, 'f');
    EXPECT_EQ(invalidSettingKey(deep), std::optional<std::string>("saveFileNameTooLong"));
    deep.saveFileName = "f";
    EXPECT_EQ(invalidSettingKey(deep), std::nullopt);
}

TEST(ScanParameters, EveryPageIsBoundedByWhatItsSettingsCanProduce) {
    struct Case {
        std::string mode;
        std::int64_t w, h;
        std::uint64_t bound;
    };
    const Case cases[] = {
        // Raw rows, whole bytes, and one block more.
        {"TEXT", 2432, 3441, 304ull * 3441 + 65535},
        {"TEXT", 1633, 10, 205ull * 10 + 65535},
        // A JPEG file: 6 bytes a pixel of whole 8 x 8 blocks, and 1 MiB of markers.
        {"CGRAY", 2432, 3441, 2432ull * 3448 * 6 + (1 << 20)},
        {"GRAY256", 1152, 1622, 1152ull * 1624 * 6 + (1 << 20)},
        {"CGRAY", 9728, 13764, 9728ull * 13768 * 6 + (1 << 20)}, // 1200 dpi A4: no overflow
        // No area: the markers' room only.
        {"GRAY256", 0, 100, 1 << 20},
        {"CGRAY", -5, -5, 1 << 20},
        {"TEXT", 0, 0, 65535},
    };
    for (const Case& c : cases) {
        ScanParam param;
        param.mode = c.mode;
        param.w = c.w;
        param.h = c.h;
        EXPECT_EQ(maxPageBytes(param), c.bound) << c.mode << " " << c.w << " x " << c.h;
    }
}
