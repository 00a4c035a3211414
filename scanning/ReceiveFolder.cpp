#include "scanning/ReceiveFolder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tbx {

namespace fs = std::filesystem;

namespace {

// Numbered names are tried up to this suffix before giving up.
constexpr int kMaxSuffix = 10000;

std::string numbered(const std::string& stem, int n, const std::string& extension) {
    return stem + (n == 1 ? "" : "-" + std::to_string(n)) + extension;
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

std::string systemError(const std::string& what, const std::string& path, int error) {
    return what + " \"" + path + "\": " + std::strerror(error);
}

std::string scanTimestamp(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
    return text;
}

bool makeFolder(const std::string& path) {
    return !path.empty() && ::mkdir(path.c_str(), 0777) == 0;
}

std::optional<std::string> makeNewFolder(const std::string& parent, const std::string& stem) {
    if (parent.empty()) {
        return std::nullopt;
    }
    for (int n = 1; n <= kMaxSuffix; ++n) {
        const std::string path = parent + "/" + numbered(stem, n, "");
        if (makeFolder(path)) {
            return path;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return std::nullopt;
}

bool removeFolderTree(const std::string& path) {
    std::vector<fs::path> entries;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        entries.push_back(it->path());
    }
    for (const auto& entry : entries) {
        std::error_code removeError;
        if (!fs::exists(fs::symlink_status(entry, removeError))) {
            continue; // went with the folder that held it
        }
        fs::remove_all(entry, removeError);
        if (removeError) {
            return false;
        }
    }
    return ::rmdir(path.c_str()) == 0;
}

std::size_t folderEntryCount(const std::string& path) {
    std::size_t count = 0;
    std::error_code ec;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        ++count;
    }
    return count;
}

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept : path_(std::exchange(other.path_, {})) {}

TemporaryFile& TemporaryFile::operator=(TemporaryFile&& other) noexcept {
    discard();
    path_ = std::exchange(other.path_, {});
    return *this;
}

TemporaryFile::~TemporaryFile() {
    discard();
}

std::optional<std::string> TemporaryFile::write(const std::string& finalPath,
                                                std::span<const std::uint8_t> bytes) {
    discard();
    // The temporary name does not grow with the final one, so any final name
    // the folder accepts can be written this way.
    const std::string folder = folderOf(finalPath);
    static thread_local std::mt19937_64 random{std::random_device{}()};
    int fd = -1;
    std::string path;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        char name[40];
        std::snprintf(name, sizeof name, "/.tbx-%012llx.part",
                      static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFF));
        path = folder + name;
        // 0666 less the umask: the same mode for every file of a scan.
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            return systemError("cannot create a file beside", finalPath, errno);
        }
    }
    if (fd < 0) {
        return systemError("cannot create a file beside", finalPath, EEXIST);
    }
    path_ = path;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            ::close(fd);
            discard();
            return systemError("cannot write", finalPath, error);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        discard();
        return systemError("cannot write", finalPath, error);
    }
    if (::close(fd) != 0) {
        const int error = errno;
        discard();
        return systemError("cannot write", finalPath, error);
    }
    return std::nullopt;
}

std::optional<std::string> TemporaryFile::commit(const std::string& finalPath) {
    if (path_.empty()) {
        return systemError("cannot save", finalPath, ENOENT);
    }
    if (::rename(path_.c_str(), finalPath.c_str()) != 0) {
        return systemError("cannot save", finalPath, errno);
    }
    path_.clear();
    return std::nullopt;
}

bool TemporaryFile::commitNew(const std::string& finalPath, int& error) {
    if (path_.empty()) {
        error = ENOENT;
        return false;
    }
    // link() refuses an existing name, so no file is ever replaced.
    if (::link(path_.c_str(), finalPath.c_str()) != 0) {
        error = errno;
        return false;
    }
    discard();
    return true;
}

void TemporaryFile::discard() {
    if (!path_.empty()) {
        ::unlink(path_.c_str());
    }
    path_.clear();
}

std::optional<std::string> writeNewFile(const std::string& dir, const std::string& stem,
                                        const std::string& extension, std::span<const std::uint8_t> data) {
    TemporaryFile file;
    if (file.write(dir + "/" + stem + extension, data)) {
        return std::nullopt;
    }
    for (int n = 1; n <= kMaxSuffix; ++n) {
        const std::string name = dir + "/" + numbered(stem, n, extension);
        int error = 0;
        if (file.commitNew(name, error)) {
            return name;
        }
        if (error != EEXIST) {
            break;
        }
    }
    return std::nullopt;
}

} // namespace tbx
