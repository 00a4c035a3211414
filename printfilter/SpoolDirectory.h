#pragma once

// The job's spool files: one JBIG file per page, kept while the page order and the copy passes
// need them. Each job gets a private folder of its own (created with a unique name, mode 0700) in
// the scheduler's temporary folder ("TMPDIR", else the system's), so two jobs at once never
// share a file; every page file in it is created exclusively. Everything is removed when the job
// ends, is cancelled or fails (remove(), also run by the destructor).
//
// Every operation may be called from any thread: a job ending on its sending thread removes the
// folder while the reading thread may be opening the next page's file, which then fails.

#include "printfilter/GrayPage.h"

#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace tbx {

class SpoolDirectory {
public:
    // Creates the job's folder in tmpRoot (empty: "TMPDIR", else the system's temporary folder).
    // On failure returns nothing and puts the reason into error.
    static std::optional<SpoolDirectory> create(std::string* error, const std::string& tmpRoot = {});

    SpoolDirectory(SpoolDirectory&& other) noexcept;
    SpoolDirectory& operator=(SpoolDirectory&& other) noexcept;
    SpoolDirectory(const SpoolDirectory&) = delete;
    SpoolDirectory& operator=(const SpoolDirectory&) = delete;
    ~SpoolDirectory();

    // The folder's path (empty once removed).
    std::string path() const;
    // Page n's file: "<folder>/jbig-%04d".
    std::string pagePath(int n) const;

    // Encodes the page into page n's file, created exclusively. Returns false (and leaves no file)
    // when the file cannot be created or written; lastError() then holds the errno value.
    bool writePage(int n, const PackedPage& page);
    int lastError() const;

    // writePage in three steps, for an encoding done on another thread: openPage creates page n's
    // file exclusively and returns it open for writing (nothing when it cannot be created, with
    // error set to the errno value); writePageFile encodes the page into it and closes it,
    // returning 0 or the errno value of the first failing step; discardPage removes the file of a
    // page whose writing failed and keeps its error for lastError().
    std::FILE* openPage(int n, int& error);
    static int writePageFile(const PackedPage& page, std::FILE* out);
    void discardPage(int n, int error);

    // Removes every page file and the folder; safe to call more than once.
    void remove();

    // The temporary folder new spool folders go into: "TMPDIR" when set and not empty, else the
    // system's.
    static std::string temporaryRoot();

private:
    explicit SpoolDirectory(std::string dir) : dir_(std::move(dir)) {}
    std::string pagePathLocked(int n) const;

    mutable std::mutex mutex_; // guards everything below
    std::string dir_;
    std::set<int> pages_;
    int lastError_ = 0;
};

} // namespace tbx
