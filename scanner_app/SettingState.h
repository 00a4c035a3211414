// The settings form's state as plain data, and every rule of the form as a
// function of it: which rows are shown and enabled, what each picker offers,
// the knock-on changes of the source and combine pickers, the scan button's
// checks, the scan request it builds, and the folder chooser's outcome. The
// widgets (SettingView) only carry these decisions out, so the rules are
// tested without a window.
#pragma once

#include "scanning/Device.h"
#include "scanning/UIParams.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tbx::scanner_app {

struct SettingState {
    std::int64_t scannerIndex = 0; // position in the model's scanner list
    std::int64_t colorMode = 0;    // into colorModeOption()
    std::int64_t scanSource = 0;   // into scanSourceOption()
    std::int64_t contentType = 0;  // into typeOption()
    std::int64_t resolution = 0;   // into resolutionOption()
    std::int64_t pageSize = 0;     // into pageSizeOption()
    std::int64_t saveType = 0;     // 0: JPEG (BMP in the text mode), 1: PDF
    std::int64_t rotateAngle = 0;  // 0, 1, 2: 0, 90, 180 degrees
    std::int64_t combineType = 0;  // into combineTypeOption()
    std::string savePrefix = "file";
    std::string saveDir;   // the user's Desktop folder in a new form
    bool scanning = false; // a scan started from this form has not ended yet

    friend bool operator==(const SettingState&, const SettingState&) = default;
};

// A new form's state: every index 0, prefix "file", folder the Desktop.
SettingState defaultSettingState();
// Absolute path of the current user's Desktop folder.
std::string desktopFolder();

// The option rows of the form, top to bottom.
enum class Row {
    scanner,
    scanSource,
    colorMode,
    contentType,
    resolution,
    combineType,
    pageSize,
    saveFileType,
    rotateAngle,
    saveFileName,
};
inline constexpr Row allRows[] = {Row::scanner,     Row::scanSource,  Row::colorMode, Row::contentType,
                                  Row::resolution,  Row::combineType, Row::pageSize,  Row::saveFileType,
                                  Row::rotateAngle, Row::saveFileName};

// The row's label key, also the object name of its control.
const char* rowKey(Row row);

// True when the colour mode's option text is "TEXT" (a text comparison).
bool isTextMode(const SettingState& state);
// True when the chosen source's option text is "FB".
bool isFlatbed(const SettingState& state);
// Whether the row is part of the form right now; a left-out row takes no space.
bool rowPresent(const SettingState& state, Row row);
bool rowEnabled(const SettingState& state, Row row);

// One picker item: what it shows and the index it stores.
struct PickerItem {
    std::string text;
    std::int64_t tag = 0;
    bool localized = true; // the text is a key of the string table

    friend bool operator==(const PickerItem&, const PickerItem&) = default;
};
// The items of a picker row (none for the file name row). Scanner labels and
// resolutions are shown verbatim; every other text is a string-table key.
std::vector<PickerItem> rowItems(const SettingState& state, Row row, const std::vector<Device>& scanners);
// The field a picker row stores its tag in.
std::int64_t rowValue(const SettingState& state, Row row);

// What the user's pick of `tag` in a picker row does: stores it and applies
// the row's change rule (source: off the flatbed the resolution goes back to
// 200 dpi; combining: A4, BMP in the text mode, the flatbed for ID cards).
void choose(SettingState& state, Row row, std::int64_t tag);
void changeScanSource(SettingState& state, std::int64_t source);
void changeCombineType(SettingState& state, std::int64_t combine);

// The refresh button's part of the form: back to the first scanner.
void refreshScanners(SettingState& state);

// The scan button's checks in order: no scanner at the chosen index
// ("noScannerFound"), empty folder ("noSaveDir"), empty prefix
// ("noSaveFileName"), a prefix that would leave the folder ("unsafeSavePrefix").
// Nothing when the scan may start.
std::optional<std::string> scanCheckKey(const SettingState& state, const std::vector<Device>& scanners);
// The scan request of a state that passed the checks.
UIParams makeUIParams(const SettingState& state, const std::vector<Device>& scanners);

// How the folder chooser ended.
struct FolderChoice {
    bool accepted = false;           // OK rather than Cancel
    std::optional<std::string> path; // the chosen folder; none when OK gave no path
};
// Takes a chosen folder into the state and answers the trace line to print;
// Cancel, or OK without a path, changes nothing and answers nothing.
std::optional<std::string> applyFolderChoice(SettingState& state, const FolderChoice& choice);

} // namespace tbx::scanner_app
