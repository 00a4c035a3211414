// Turning the settings form's choices (`UIParams`) into the scanner's settings
// (`ScanParam`), and checking the choices before a scan starts.
#pragma once

#include "scanning/ScanCommand.h"
#include "scanning/UIParams.h"

#include <cstddef>
#include <optional>
#include <string>

namespace tbx {

// The localisation key that refuses `uiParam`, or nothing when every index lies
// within its list, the choices go together and the file name is safe:
//   "invalidScanSetting"     an index outside its option list (saveTypeIndex: 0 or 1)
//   "cannotCombineBWPages"   combining asked for black-and-white pages kept as
//                            BMP files, which are never combined
//   a key of saveFileNameProblem() for the file name, or "saveFileNameTooLong"
//                            when a page file's whole path would be too long
// `nameMax` is the longest file name, in bytes, that the save folder takes.
std::optional<std::string> invalidSettingKey(const UIParams& uiParam, std::size_t nameMax = 255);

// True when `name` can be joined to a folder without leaving it.
bool isPlainFileName(const std::string& name);

// Reserved after the file name in every page file name: "-", up to five digits
// of the page number and the extension.
inline constexpr std::size_t kPageFileSuffixBytes = 10;

// Why the file name `name` cannot be used, as a localisation key, or nothing:
//   "invalidSaveFileName"          empty, "." or "..", or holding "/" or NUL
//   "saveFileNameNotUTF8"          not valid UTF-8
//   "saveFileNameControlCharacter" a newline, tab or other control character
//   "saveFileNameStartsWithDash"   a leading "-", which tools read as an option
//   "saveFileNameTooLong"          a page file name would exceed `nameMax` bytes
std::optional<std::string> saveFileNameProblem(const std::string& name, std::size_t nameMax);

// The settings of one scan into the receive folder `receiveDir`: page size and
// resolution give the area in dots, the colour mode the compression and file
// type, and `filePath` is `receiveDir` + "/" + `saveFileName` as it stands.
// An index outside its list throws std::out_of_range (check with
// invalidSettingKey() first); nothing outside a list is ever read.
ScanParam scanParameters(const UIParams& uiParam, const std::string& receiveDir);

} // namespace tbx
