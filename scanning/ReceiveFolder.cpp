#include "scanning/ReceiveFolder.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tbx {

namespace fs = std::filesystem;

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

std::optional<std::string> writeNewFile(const std::string& dir, const std::string& stem,
                                        const std::string& extension, std::span<const std::uint8_t> data) {
    std::string temp = dir + "/." + stem + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        return std::nullopt;
    }
    bool written = true;
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            written = false;
            break;
        }
        done += std::size_t(n);
    }
    written = ::fsync(fd) == 0 && written;
    written = ::close(fd) == 0 && written;
    if (!written) {
        ::unlink(temp.c_str());
        return std::nullopt;
    }
    // link() refuses an existing name, so no file is ever replaced.
    for (int n = 1; n <= 10000; ++n) {
        const std::string name = dir + "/" + stem + (n == 1 ? "" : "-" + std::to_string(n)) + extension;
        if (::link(temp.c_str(), name.c_str()) == 0) {
            ::unlink(temp.c_str());
            return name;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    ::unlink(temp.c_str());
    return std::nullopt;
}

} // namespace tbx
