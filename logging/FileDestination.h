// The file destination: appends every formatted line, with a line feed, to a
// log file ("logbook.log" in the user's caches folder by default), creating the
// file and its folders at the first write, and can bound the file's size by
// rotating it into numbered older copies ("logbook.log.1" the newest). Each
// append holds an exclusive lock on the file, so appends of several
// destinations or processes to one file never interleave.
#pragma once

#include "logging/BaseDestination.h"

#include <filesystem>

namespace tbx {

// Moves `from` to `to` but never replaces an existing `to`; on failure answers
// false with a description in `error`.
bool moveItemWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to,
                              std::string* error);

class FileDestination : public BaseDestination {
public:
    static constexpr std::int64_t defaultMaxSize = 5 * 1024 * 1024;

    // With a path the destination writes there and touches nothing on disk yet;
    // without one it uses the caches folder ($XDG_CACHE_HOME or ~/.cache), in a
    // subfolder named after the executable (made now), file "logbook.log".
    explicit FileDestination(std::optional<std::filesystem::path> logFileURL);

    std::optional<std::filesystem::path> logFileURL() const;
    void setLogFileURL(std::optional<std::filesystem::path> url);
    bool syncAfterEachWrite() const;
    void setSyncAfterEachWrite(bool value);
    // Every assignment sets the colour texts: terminal codes for true, all empty for false.
    bool colored() const;
    void setColored(bool value);
    std::int64_t logFileMaxSize() const;
    void setLogFileMaxSize(std::int64_t bytes);
    // Files kept, the current one included; 1 or less: no rotation.
    std::int64_t logFileAmount() const;
    void setLogFileAmount(std::int64_t amount);

    int defaultHashValue() const override { return 2; }

    std::optional<std::string> send(LogLevel level, const std::string& msg, const std::string& thread,
                                    const std::string& file, const std::string& function, std::int64_t line,
                                    const LogContext& context) override;

    // Rotates when the file is over its maximum, then appends `str`.
    virtual bool validateSaveFile(const std::string& str);
    virtual bool saveToFile(const std::string& str);
    // Removes the log file; true when it is gone or never existed.
    virtual bool deleteLogFile();

    // The caches folder of this user, when there is one.
    static std::optional<std::filesystem::path> cachesFolder();
    // The running program's executable name.
    static std::string executableName();

protected:
    virtual void rotateFile(const std::string& path);
    virtual bool write(const std::string& data, const std::filesystem::path& url);

private:
    struct FileSettings {
        std::optional<std::filesystem::path> logFileURL;
        bool syncAfterEachWrite = false;
        bool colored = false;
        std::int64_t logFileMaxSize = defaultMaxSize;
        std::int64_t logFileAmount = 1;
    };
    FileSettings fileSettings() const;

    mutable std::mutex fileMutex_;
    FileSettings file_;
};

} // namespace tbx
