// Files of one scan on disk: the name of its receive folder, making and
// clearing that folder, and writing a result file that never replaces another.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tbx {

// "yyyyMMddHHmmss" of `when` in the local time zone, 24-hour clock.
std::string scanTimestamp(std::chrono::system_clock::time_point when);

// Makes the folder `path` (no intermediate folders). Fails when anything is
// already there, the parent is missing or not writable.
bool makeFolder(const std::string& path);

// Removes every entry below `path`, then `path` itself. Stops at the first
// removal that fails and answers false; entries that are already gone (inside
// a folder removed before them) do not count as failures.
bool removeFolderTree(const std::string& path);

// Number of entries directly inside `path`; 0 when it cannot be read.
std::size_t folderEntryCount(const std::string& path);

// Writes `data` as a new file `dir`/`stem``extension`, or, when a file of that
// name exists, `stem`-2`extension`, -3 and so on: an existing file is never
// replaced, even by a writer racing this one. The file appears whole or not at
// all (written to a temporary name in `dir`, then linked into place).
// Answers the path written, or nothing when writing failed.
std::optional<std::string> writeNewFile(const std::string& dir, const std::string& stem,
                                        const std::string& extension, std::span<const std::uint8_t> data);

} // namespace tbx
