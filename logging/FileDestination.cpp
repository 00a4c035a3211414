#include "logging/FileDestination.h"

#include "platform/foundation/Print.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tbx {

namespace {

std::string quoted(const fs::path& path) {
    return "\"" + path.string() + "\"";
}

std::string urlText(const fs::path& path) {
    return "file://" + path.string();
}

bool itemExists(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data.remove_prefix(std::size_t(n));
    }
    return true;
}

// The indexes i >= 1 of the numbered copies "<path>.<i>" that exist, at most `last`.
std::set<std::int64_t, std::greater<>> existingCopies(const fs::path& path, std::int64_t last) {
    std::set<std::int64_t, std::greater<>> found;
    const std::string prefix = path.filename().string() + ".";
    std::error_code ec;
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with(prefix) || name.size() == prefix.size() || name[prefix.size()] == '0') {
            continue;
        }
        std::int64_t index = 0;
        const char* first = name.data() + prefix.size();
        const char* stop = name.data() + name.size();
        const auto [p, error] = std::from_chars(first, stop, index);
        if (error == std::errc() && p == stop && index >= 1 && index <= last) {
            found.insert(index);
        }
    }
    return found;
}

fs::path numbered(const std::string& path, std::int64_t index) {
    return fs::path(path + "." + std::to_string(index));
}

} // namespace

bool moveItemWithoutReplacing(const fs::path& from, const fs::path& to, std::string* error) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    int code = errno;
    if (code == EINVAL || code == ENOSYS) {
        // A file system without the no-replace rename: a hard link fails on an
        // existing target just the same.
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return true;
        }
        code = errno;
    }
    if (error) {
        *error = quoted(from) + " couldn't be moved to " + quoted(to) + ": " + std::strerror(code);
    }
    return false;
}

std::optional<fs::path> FileDestination::cachesFolder() {
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && xdg[0] == '/') {
        return fs::path(xdg);
    }
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
        return fs::path(home) / ".cache";
    }
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/') {
        return fs::path(pw->pw_dir) / ".cache";
    }
    return std::nullopt;
}

std::string FileDestination::executableName() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && !exe.filename().empty()) {
        return exe.filename().string();
    }
    return program_invocation_short_name ? program_invocation_short_name : "";
}

FileDestination::FileDestination(std::optional<fs::path> logFileURL) {
    if (logFileURL) {
        file_.logFileURL = std::move(logFileURL);
        return;
    }
    std::optional<fs::path> base = cachesFolder();
    if (base) {
        const std::string name = executableName();
        if (!name.empty()) {
            const fs::path folder = *base / name;
            std::error_code ec;
            fs::create_directories(folder, ec);
            if (ec || !fs::is_directory(folder)) {
                print("Warning! Could not create folder " + folder.string());
            } else {
                base = folder;
            }
        }
        file_.logFileURL = *base / "logbook.log";
    }
}

FileDestination::FileSettings FileDestination::fileSettings() const {
    std::lock_guard lock(fileMutex_);
    return file_;
}

std::optional<fs::path> FileDestination::logFileURL() const {
    return fileSettings().logFileURL;
}
void FileDestination::setLogFileURL(std::optional<fs::path> url) {
    std::lock_guard lock(fileMutex_);
    file_.logFileURL = std::move(url);
}
bool FileDestination::syncAfterEachWrite() const {
    return fileSettings().syncAfterEachWrite;
}
void FileDestination::setSyncAfterEachWrite(bool value) {
    std::lock_guard lock(fileMutex_);
    file_.syncAfterEachWrite = value;
}
bool FileDestination::colored() const {
    return fileSettings().colored;
}
void FileDestination::setColored(bool value) {
    std::lock_guard lock(fileMutex_);
    file_.colored = value;
    updateSettings([&](Settings& s) {
        if (value) {
            s.reset = "\x1b[0m";
            s.escape = "\x1b[38;5;";
            s.levelColor = {"251m", "35m", "38m", "178m", "197m"};
        } else {
            s.reset.clear();
            s.escape.clear();
            s.levelColor = {};
        }
    });
}
std::int64_t FileDestination::logFileMaxSize() const {
    return fileSettings().logFileMaxSize;
}
void FileDestination::setLogFileMaxSize(std::int64_t bytes) {
    std::lock_guard lock(fileMutex_);
    file_.logFileMaxSize = bytes;
}
std::int64_t FileDestination::logFileAmount() const {
    return fileSettings().logFileAmount;
}
void FileDestination::setLogFileAmount(std::int64_t amount) {
    std::lock_guard lock(fileMutex_);
    file_.logFileAmount = amount;
}

std::optional<std::string> FileDestination::send(LogLevel level, const std::string& msg,
                                                 const std::string& thread, const std::string& file,
                                                 const std::string& function, std::int64_t line,
                                                 const LogContext& context) {
    auto formatted = BaseDestination::send(level, msg, thread, file, function, line, context);
    if (formatted) {
        validateSaveFile(*formatted);
    }
    return formatted;
}

bool FileDestination::validateSaveFile(const std::string& str) {
    const FileSettings f = fileSettings();
    if (f.logFileAmount > 1) {
        if (!f.logFileURL) {
            return false;
        }
        const fs::path& path = *f.logFileURL;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            // Unsigned size against a signed maximum: a negative maximum lies below every size.
            if (f.logFileMaxSize < 0 || std::uint64_t(st.st_size) > std::uint64_t(f.logFileMaxSize)) {
                rotateFile(path.string());
            }
        } else if (errno != ENOENT && errno != ENOTDIR) {
            print("validateSaveFile error: " + quoted(path) + ": " + std::strerror(errno));
        }
    }
    return saveToFile(str);
}

void FileDestination::rotateFile(const std::string& path) {
    const std::int64_t last = logFileAmount() - 1;
    std::string error;
    // Only copies that exist take part, so a huge amount costs no more than a small one.
    if (last >= 1) {
        for (const std::int64_t i : existingCopies(path, last)) {
            const fs::path from = numbered(path, i);
            if (i == last) {
                if (::unlink(from.c_str()) != 0 && errno != ENOENT) {
                    const int code = errno;
                    std::error_code ec;
                    if (!fs::remove_all(from, ec) || ec) {
                        print("rotateFile error: " + quoted(from) +
                              " couldn't be removed: " + std::strerror(ec ? ec.value() : code));
                        return;
                    }
                }
            } else if (!moveItemWithoutReplacing(from, numbered(path, i + 1), &error)) {
                print("rotateFile error: " + error);
                return;
            }
        }
    }
    if (!moveItemWithoutReplacing(path, numbered(path, 1), &error)) {
        print("rotateFile error: " + error);
    }
}

bool FileDestination::saveToFile(const std::string& str) {
    const auto url = logFileURL();
    if (!url) {
        return false;
    }
    return write(str + "\n", *url);
}

bool FileDestination::write(const std::string& data, const fs::path& url) {
    const bool sync = syncAfterEachWrite();
    const auto fail = [&] {
        print("Logbook File Destination could not write to file " + urlText(url) + ".");
        return false;
    };
    if (!itemExists(url)) {
        const fs::path folder = url.parent_path();
        if (!folder.empty() && !itemExists(folder)) {
            std::error_code ec;
            fs::create_directories(folder, ec);
            if (ec) {
                return fail();
            }
        }
    }
    const int fd = ::open(url.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return fail();
    }
    // The exclusive lock keeps this append apart from other locked appends to the file.
    int locked;
    while ((locked = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
        const int code = errno;
        ::close(fd);
        print(std::string("Failed writing file with error: ") + std::strerror(code));
        return false;
    }
    bool ok = writeAll(fd, data);
    if (ok && sync) {
        ok = ::fsync(fd) == 0;
    }
    ::close(fd); // releases the lock
    return ok ? true : fail();
}

bool FileDestination::deleteLogFile() {
    const auto url = logFileURL();
    if (!url || !itemExists(*url)) {
        return true;
    }
    std::error_code ec;
    fs::remove(*url, ec);
    if (ec) {
        print("Logbook File Destination could not remove file " + urlText(*url) + ".");
        return false;
    }
    return true;
}

} // namespace tbx
