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

SpoolDirectory::SpoolDirectory(SpoolDirectory&& other) noexcept
    : dir_(std::exchange(other.dir_, {})), pages_(std::move(other.pages_)) {
    other.pages_.clear();
}

SpoolDirectory& SpoolDirectory::operator=(SpoolDirectory&& other) noexcept {
    if (this != &other) {
        remove();
        dir_ = std::exchange(other.dir_, {});
        pages_ = std::move(other.pages_);
        other.pages_.clear();
    }
    return *this;
}

SpoolDirectory::~SpoolDirectory() {
    remove();
}

std::string SpoolDirectory::pagePath(int n) const {
    char name[32];
    std::snprintf(name, sizeof name, "/jbig-%04d", n);
    return dir_ + name;
}

std::FILE* SpoolDirectory::openPage(int n) {
    lastError_ = 0;
    if (dir_.empty()) {
        lastError_ = ENOENT;
        return nullptr;
    }
    const std::string file = pagePath(n);
    ::unlink(file.c_str()); // a page written again replaces its own earlier file, never another's
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        lastError_ = errno;
        return nullptr;
    }
    std::FILE* out = ::fdopen(fd, "wb");
    if (!out) {
        lastError_ = errno;
        ::close(fd);
        ::unlink(file.c_str());
        return nullptr;
    }
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
    lastError_ = error;
    if (pages_.erase(n))
        ::unlink(pagePath(n).c_str());
}

bool SpoolDirectory::writePage(int n, const PackedPage& page) {
    std::FILE* out = openPage(n);
    if (!out)
        return false;
    const int error = writePageFile(page, out);
    if (error)
        discardPage(n, error);
    return !error;
}

void SpoolDirectory::remove() {
    if (dir_.empty())
        return;
    for (int n : pages_)
        ::unlink(pagePath(n).c_str());
    pages_.clear();
    ::rmdir(dir_.c_str());
    dir_.clear();
}

} // namespace tbx
