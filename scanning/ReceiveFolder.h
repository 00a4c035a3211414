// Files of one scan on disk: the name of its receive folder, making and
// clearing that folder, and writing files whole. Every file and folder a scan
// makes is created with the same mode (0666 for files, 0777 for folders) less
// the process's umask, as other programs' files are.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tbx {

// `what` "`path`": and the text of the system error `error`, for error lines.
std::string systemError(const std::string& what, const std::string& path, int error);

// "yyyyMMddHHmmss" of `when` in the local time zone, 24-hour clock.
std::string scanTimestamp(std::chrono::system_clock::time_point when);

// Makes the folder `path` (no intermediate folders). Fails when anything is
// already there, the parent is missing or not writable.
bool makeFolder(const std::string& path);

// Makes a new folder `parent`/`stem`, or, when that name is taken,
// `stem`-2, -3 and so on: an existing folder is never reused, even by a
// program racing this one. Answers the folder made, or nothing when the parent
// is empty, missing, not a folder or not writable.
std::optional<std::string> makeNewFolder(const std::string& parent, const std::string& stem);

// Removes every entry below `path`, then `path` itself. Stops at the first
// removal that fails and answers false; entries that are already gone (inside
// a folder removed before them) do not count as failures.
bool removeFolderTree(const std::string& path);

// Number of entries directly inside `path`; 0 when it cannot be read.
std::size_t folderEntryCount(const std::string& path);

// A file written whole under a short hidden temporary name in the folder of its
// final name, then put in place: no reader ever sees a partial file. Removed
// again unless it was committed.
class TemporaryFile {
public:
    TemporaryFile() = default;
    TemporaryFile(TemporaryFile&& other) noexcept;
    TemporaryFile& operator=(TemporaryFile&& other) noexcept;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile();

    // Writes `bytes` beside `finalPath` and flushes them to disk; the error
    // text, or nothing.
    std::optional<std::string> write(const std::string& finalPath, std::span<const std::uint8_t> bytes);
    // Renames the file over `finalPath`; the error text, or nothing.
    std::optional<std::string> commit(const std::string& finalPath);
    // Gives the file the name `finalPath` only when nothing has that name;
    // false (the file stays uncommitted) when the name is taken or on error,
    // with the error number in `error`.
    bool commitNew(const std::string& finalPath, int& error);

private:
    void discard();
    std::string path_;
};

// Writes `data` as a new file `dir`/`stem``extension`, or, when a file of that
// name exists, `stem`-2`extension`, -3 and so on: an existing file is never
// replaced, even by a writer racing this one. The file appears whole or not at
// all. Answers the path written, or nothing when writing failed.
std::optional<std::string> writeNewFile(const std::string& dir, const std::string& stem,
                                        const std::string& extension, std::span<const std::uint8_t> data);

} // namespace tbx
