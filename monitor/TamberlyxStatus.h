// The printer's status vocabulary: the fixed table from status code to level,
// short message and description, and the decoding of a code read from the
// printer (over USB or SNMP) with its fallback for codes the table lacks.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace tbx {

struct StatusRow {
    int level;
    std::string message;
    std::string discription;
};

// Code to row; built once on first use (thread-safe), never changes.
const std::unordered_map<std::int64_t, StatusRow>& TamberlyxStatus();

// Writes "select printer is <name> and status code = <code>". The table's row
// when `printerName` is exactly "Tamberlyx" and the table has `code`; else
// level 3, "错误码" followed by the code, and the restart advice.
StatusRow decodeStatusInfo(std::int64_t code, const std::string& printerName);

} // namespace tbx
