// Turning the settings form's choices (`UIParams`) into the scanner's settings
// (`ScanParam`), and checking the choices before a scan starts.
#pragma once

#include "scanning/ScanCommand.h"
#include "scanning/UIParams.h"

#include <optional>
#include <string>

namespace tbx {

// The localisation key that refuses `uiParam`, or nothing when every index lies
// within its list and the file name is a plain name:
//   "invalidScanSetting"   an index outside its option list (saveTypeIndex: 0 or 1)
//   "invalidSaveFileName"  an empty file name, "." or "..", or one holding "/" or NUL,
//                          which would put the page files outside the receive folder
std::optional<std::string> invalidSettingKey(const UIParams& uiParam);

// True when `name` can be joined to a folder without leaving it.
bool isPlainFileName(const std::string& name);

// The settings of one scan into the receive folder `receiveDir`: page size and
// resolution give the area in dots, the colour mode the compression and file
// type, and `filePath` is `receiveDir` + "/" + `saveFileName` as it stands.
// An index outside its list throws std::out_of_range (check with
// invalidSettingKey() first); nothing outside a list is ever read.
ScanParam scanParameters(const UIParams& uiParam, const std::string& receiveDir);

} // namespace tbx
