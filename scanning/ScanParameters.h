// Turning the settings form's choices (`UIParams`) into the scanner's settings
// (`ScanParam`), and checking the choices before a scan starts.
#pragma once

#include "scanning/ScanCommand.h"
#include "scanning/UIParams.h"

#include <cstddef>
#include <cstdint>
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

// True when `name` can be joined to a folder without leaving it and names a
// file one can see: not empty, ".", "..", nor only blanks (spaces, also the
// wide and no-break ones), and holding no "/" or NUL.
bool isPlainFileName(const std::string& name);

// Reserved after the file name in every page file name: "-", up to five digits
// of the page number and the extension.
inline constexpr std::size_t kPageFileSuffixBytes = 10;

// Why the file name `name` cannot be used, as a localisation key, or nothing:
//   "invalidSaveFileName"          empty, ".", ".." or only blanks, or holding "/" or NUL
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

// The most image data one page of `param` can carry: both page readers hold
// the scanner to it, so a page that never ends costs one page's memory. A TEXT
// page is ((w + 7) / 8) x h bytes of raw rows, with one block more (65535
// bytes) for a scanner that pads; any other page is a JPEG file, at worst 6
// bytes a pixel of its area in whole 8 x 8 blocks (three full components,
// the encoder's known worst case), with 1 MiB more for its markers.
std::uint64_t maxPageBytes(const ScanParam& param);

} // namespace tbx
