#include "scanner_app/SettingState.h"

#include "scanning/ScanOptions.h"
#include "scanning/ScanParameters.h"

#include <QStandardPaths>

namespace tbx::scanner_app {

namespace {

// The option text at `index`, or "" outside the list.
template <typename List>
std::string optionAt(const List& list, std::int64_t index) {
    if (index < 0 || std::uint64_t(index) >= list.size()) {
        return {};
    }
    return list[std::size_t(index)];
}

std::vector<PickerItem> optionItems(const std::vector<std::string>& list, bool localized) {
    std::vector<PickerItem> items;
    for (std::size_t i = 0; i < list.size(); ++i) {
        items.push_back({list[i], std::int64_t(i), localized});
    }
    return items;
}

// The index field behind a picker row (none for the file name row).
template <typename State>
auto field(State& state, Row row) -> decltype(&state.scannerIndex) {
    switch (row) {
    case Row::scanner:
        return &state.scannerIndex;
    case Row::scanSource:
        return &state.scanSource;
    case Row::colorMode:
        return &state.colorMode;
    case Row::contentType:
        return &state.contentType;
    case Row::resolution:
        return &state.resolution;
    case Row::combineType:
        return &state.combineType;
    case Row::pageSize:
        return &state.pageSize;
    case Row::saveFileType:
        return &state.saveType;
    case Row::rotateAngle:
        return &state.rotateAngle;
    case Row::saveFileName:
        break;
    }
    return nullptr;
}

} // namespace

SettingState defaultSettingState() {
    SettingState state;
    state.saveDir = desktopFolder();
    return state;
}

std::string desktopFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation).toStdString();
}

const char* rowKey(Row row) {
    switch (row) {
    case Row::scanner:
        return "scanner";
    case Row::scanSource:
        return "scanSource";
    case Row::colorMode:
        return "colorMode";
    case Row::contentType:
        return "contenType";
    case Row::resolution:
        return "resolution";
    case Row::combineType:
        return "combineType";
    case Row::pageSize:
        return "pageSize";
    case Row::saveFileType:
        return "saveFileType";
    case Row::rotateAngle:
        return "rotateAngle";
    case Row::saveFileName:
        return "saveFileName";
    }
    return "";
}

bool isTextMode(const SettingState& state) {
    return optionAt(colorModeOption(), state.colorMode) == "TEXT";
}

bool isFlatbed(const SettingState& state) {
    return optionAt(scanSourceOption(), state.scanSource) == "FB";
}

bool rowPresent(const SettingState& state, Row row) {
    switch (row) {
    case Row::rotateAngle:
        return !isTextMode(state) && state.combineType == 0;
    case Row::saveFileName:
        return state.saveType != 1;
    default:
        return true;
    }
}

bool rowEnabled(const SettingState& state, Row row) {
    switch (row) {
    case Row::scanSource:
        return state.combineType != 3;
    case Row::pageSize:
        return state.combineType == 0;
    case Row::saveFileType:
        return !(isTextMode(state) && state.combineType != 0);
    default:
        return true;
    }
}

std::vector<PickerItem> rowItems(const SettingState& state, Row row, const std::vector<Device>& scanners) {
    switch (row) {
    case Row::scanner: {
        std::vector<PickerItem> items;
        for (std::size_t i = 0; i < scanners.size(); ++i) {
            items.push_back({scanners[i].label, std::int64_t(i), false});
        }
        return items;
    }
    case Row::scanSource:
        return optionItems(scanSourceOption(), true);
    case Row::colorMode:
        return optionItems(colorModeOption(), true);
    case Row::contentType:
        return optionItems(typeOption(), true);
    case Row::resolution: {
        // 1200 dpi is the flatbed's alone.
        std::vector<PickerItem> items;
        const auto& list = resolutionOption();
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (list[i] != "1200dpi" || isFlatbed(state)) {
                items.push_back({list[i], std::int64_t(i), false});
            }
        }
        return items;
    }
    case Row::combineType:
        return optionItems(combineTypeOption(), true);
    case Row::pageSize:
        return optionItems(pageSizeOption(), true);
    case Row::saveFileType:
        // Index 0 is BMP in the text mode and JPEG otherwise.
        return {{isTextMode(state) ? "BMP" : "JPEG", 0}, {"PDF", 1}};
    case Row::rotateAngle:
        return {{"0", 0}, {"90", 1}, {"180", 2}};
    case Row::saveFileName:
        break;
    }
    return {};
}

std::int64_t rowValue(const SettingState& state, Row row) {
    const std::int64_t* value = field(state, row);
    return value != nullptr ? *value : 0;
}

void choose(SettingState& state, Row row, std::int64_t tag) {
    std::int64_t* target = field(state, row);
    if (target == nullptr || *target == tag) {
        return; // a pick of the current item changes nothing, so no rule runs
    }
    if (row == Row::scanSource) {
        changeScanSource(state, tag);
    } else if (row == Row::combineType) {
        changeCombineType(state, tag);
    } else {
        *target = tag;
    }
}

void changeScanSource(SettingState& state, std::int64_t source) {
    state.scanSource = source;
    if (!isFlatbed(state)) {
        state.resolution = 0;
    }
}

void changeCombineType(SettingState& state, std::int64_t combine) {
    state.combineType = combine;
    if (optionAt(combineTypeOption(), combine) == "NoCombine") {
        return; // back to single pages: the other rows keep their values
    }
    state.pageSize = 0;
    if (isTextMode(state)) {
        state.saveType = 0;
    }
    if (state.combineType == 3 && state.scanSource != 2) {
        changeScanSource(state, 2); // ID cards lie on the flatbed
    }
}

void refreshScanners(SettingState& state) {
    state.scannerIndex = 0;
}

std::optional<std::string> scanCheckKey(const SettingState& state, const std::vector<Device>& scanners) {
    if (state.scannerIndex < 0 || std::uint64_t(state.scannerIndex) >= scanners.size()) {
        return "noScannerFound";
    }
    if (state.saveDir.empty()) {
        return "noSaveDir";
    }
    if (state.savePrefix.empty()) {
        return "noSaveFileName";
    }
    if (!isPlainFileName(state.savePrefix)) { // would leave the receive folder
        return "unsafeSavePrefix";
    }
    return std::nullopt;
}

UIParams makeUIParams(const SettingState& state, const std::vector<Device>& scanners) {
    return UIParams{.scannerName = scanners.at(std::size_t(state.scannerIndex)).name,
                    .scanSourceIndex = state.scanSource,
                    .colorModeIndex = state.colorMode,
                    .resolutionIndex = state.resolution,
                    .pageSizeIndex = state.pageSize,
                    .saveTypeIndex = state.saveType,
                    .contentTypeIndex = state.contentType,
                    .rotateAngleIndex = state.rotateAngle,
                    .combineTypeIndex = state.combineType,
                    .savePrefix = state.savePrefix,
                    .saveDir = state.saveDir,
                    .saveFileName = state.savePrefix};
}

std::optional<std::string> applyFolderChoice(SettingState& state, const FolderChoice& choice) {
    if (!choice.accepted || !choice.path || choice.path->empty()) {
        return std::nullopt;
    }
    state.saveDir = *choice.path;
    return "select file path = " + state.saveDir;
}

} // namespace tbx::scanner_app
