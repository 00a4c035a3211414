// The settings form's choices for one scan, as indexes into the option lists
// (ScanOptions.h) plus the names the user typed or chose.
#pragma once

#include <cstdint>
#include <string>

namespace tbx {

struct UIParams {
    std::string scannerName;           // shown name of the chosen scanner (not read by the scan)
    std::int64_t scanSourceIndex = 0;  // into scanSourceOption()
    std::int64_t colorModeIndex = 0;   // into colorModeOption()
    std::int64_t resolutionIndex = 0;  // into resolutionOption()
    std::int64_t pageSizeIndex = 0;    // into pageSizeOption(); also the PDF page size
    std::int64_t saveTypeIndex = 0;    // 0: pages as JPEG (BMP in TEXT mode), 1: one PDF
    std::int64_t contentTypeIndex = 0; // into typeOption()
    std::int64_t rotateAngleIndex = 0; // into rotateOption()
    std::int64_t combineTypeIndex = 0; // into combineTypeOption()
    std::string savePrefix;            // the prefix typed by the user (not read by the scan)
    std::string saveDir;               // parent of the receive folder and home of the PDF
    std::string saveFileName;          // base name of the page files

    friend bool operator==(const UIParams&, const UIParams&) = default;
};

} // namespace tbx
