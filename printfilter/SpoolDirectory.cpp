#include "printfilter/SpoolDirectory.h"

#include "printfilter/JbigPageEncoder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tbx {

std::string SpoolDirectory::temporaryRoot() {
    const char* tmp = std::getenv("TMPDIR");
    if (tmp && *tmp)
        return tmp;
    return P_tmpdir;
}

std::optional<SpoolDirectory> SpoolDirectory::create(std::string* error, const std::string& tmpRoot) {
    std::string root = tmpRoot.empty() ? temporaryRoot() : tmpRoot;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    std::string templ = root + "/tamberlyx-jbig-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) {
        if (error)
            *error = "cannot create spool folder in " + root + ": " + std::strerror(errno);
        return std::nullopt;
    }
    return SpoolDirectory(std::string(buf.data()));
}

SpoolDirectory::SpoolDirectory(SpoolDirectory&& other) noexcept {
    std::lock_guard lock(other.mutex_);
    dir_ = std::exchange(other.dir_, {});
    pages_ = std::exchange(other.pages_, {});
    lastError_ = other.lastError_;
}

SpoolDirectory& SpoolDirectory::operator=(SpoolDirectory&& other) noexcept {
    if (this != &other) {
        remove();
        std::scoped_lock lock(mutex_, other.mutex_);
        dir_ = std::exchange(other.dir_, {});
        pages_ = std::exchange(other.pages_, {});
        lastError_ = other.lastError_;
    }
    return *this;
}

SpoolDirectory::~SpoolDirectory() {
    remove();
}

std::string SpoolDirectory::path() const {
    std::lock_guard lock(mutex_);
    return dir_;
}

int SpoolDirectory::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

std::string SpoolDirectory::pagePathLocked(int n) const {
    char name[32];
    std::snprintf(name, sizeof name, "/jbig-%04d", n);
    return dir_ + name;
}

std::string SpoolDirectory::pagePath(int n) const {
    std::lock_guard lock(mutex_);
    return pagePathLocked(n);
}

std::FILE* SpoolDirectory::openPage(int n, int& error) {
    std::lock_guard lock(mutex_);
    error = 0;
    if (dir_.empty())
        error = ENOENT; // removed: the job has ended
    const std::string file = error ? std::string() : pagePathLocked(n);
    int fd = -1;
    if (!error) {
        ::unlink(file.c_str()); // a page written again replaces its own earlier file, never another's
        fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            error = errno;
    }
    std::FILE* out = fd < 0 ? nullptr : ::fdopen(fd, "wb");
    if (fd >= 0 && !out) {
        error = errno;
        ::close(fd);
        ::unlink(file.c_str());
    }
    lastError_ = error;
    if (out)
        pages_.insert(n);
    return out;
}

int SpoolDirectory::writePageFile(const PackedPage& page, std::FILE* out) {
    // The first failing step names the cause (a full folder shows at the write or the flush).
    int error = 0;
    errno = 0;
    if (!encodeJbigPage(page, out))
        error = errno ? errno : EIO;
    if (std::fflush(out) != 0 && !error)
        error = errno ? errno : EIO;
    if (std::fclose(out) != 0 && !error)
        error = errno ? errno : EIO;
    return error;
}

void SpoolDirectory::discardPage(int n, int error) {
    std::lock_guard lock(mutex_);
    lastError_ = error;
    if (pages_.erase(n))
        ::unlink(pagePathLocked(n).c_str());
}

bool SpoolDirectory::writePage(int n, const PackedPage& page) {
    int error = 0;
    std::FILE* out = openPage(n, error);
    if (!out)
        return false;
    error = writePageFile(page, out);
    if (error)
        discardPage(n, error);
    return !error;
}

void SpoolDirectory::remove() {
    std::lock_guard lock(mutex_);
    if (dir_.empty())
        return;
    // A file still being written by an encoder goes with its name; its bytes go nowhere.
    for (int n : pages_)
        ::unlink(pagePathLocked(n).c_str());
    pages_.clear();
    ::rmdir(dir_.c_str());
    dir_.clear();
}

} // namespace tbx
