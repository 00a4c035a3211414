#include "printfilter/SpoolDirectory.h"

#include "PageTestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace tbx {
namespace {

using test::decodeJbig;
using test::fileExists;
using test::readFile;
using test::TempDir;

TEST(SpoolDirectory, EachJobGetsItsOwnPrivateFolderInTheSchedulersTemporaryFolder) {
    TempDir tmp;
    ::setenv("TMPDIR", tmp.path().c_str(), 1);
    EXPECT_EQ(SpoolDirectory::temporaryRoot(), tmp.path());
    std::string error;
    auto a = SpoolDirectory::create(&error);
    auto b = SpoolDirectory::create(&error);
    ::unsetenv("TMPDIR");
    ASSERT_TRUE(a && b) << error;
    EXPECT_EQ(std::filesystem::path(a->path()).parent_path(), tmp.path());
    EXPECT_NE(a->path(), b->path());
    struct stat st;
    ASSERT_EQ(::stat(a->path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(a->pagePath(12), a->path() + "/jbig-0012");

    // Page 1 of both jobs: two files, each with its own page.
    ASSERT_TRUE(a->writePage(1, PackedPage(16, 4)));
    ASSERT_TRUE(b->writePage(1, PackedPage(24, 6)));
    EXPECT_EQ(decodeJbig(readFile(a->pagePath(1)))->width, 16);
    EXPECT_EQ(decodeJbig(readFile(b->pagePath(1)))->width, 24);
}

TEST(SpoolDirectory, FallsBackToTheSystemTemporaryFolder) {
    ::unsetenv("TMPDIR");
    EXPECT_EQ(SpoolDirectory::temporaryRoot(), P_tmpdir);
    ::setenv("TMPDIR", "", 1);
    EXPECT_EQ(SpoolDirectory::temporaryRoot(), P_tmpdir);
    ::unsetenv("TMPDIR");
}

TEST(SpoolDirectory, RemovesEverythingOnRemoveAndOnDestruction) {
    TempDir tmp;
    std::string folder;
    {
        auto spool = SpoolDirectory::create(nullptr, tmp.path());
        ASSERT_TRUE(spool);
        folder = spool->path();
        ASSERT_TRUE(spool->writePage(1, PackedPage(8, 8)));
        ASSERT_TRUE(spool->writePage(2, PackedPage(8, 8)));
        ASSERT_TRUE(spool->writePage(2, PackedPage(16, 8))); // rewritten, not duplicated
        EXPECT_EQ(decodeJbig(readFile(spool->pagePath(2)))->width, 16);
        EXPECT_TRUE(fileExists(spool->pagePath(1)));
    }
    EXPECT_FALSE(fileExists(folder));

    auto spool = SpoolDirectory::create(nullptr, tmp.path());
    ASSERT_TRUE(spool);
    folder = spool->path();
    ASSERT_TRUE(spool->writePage(3, PackedPage(8, 8)));
    spool->remove();
    spool->remove();
    EXPECT_FALSE(fileExists(folder));
    EXPECT_FALSE(spool->writePage(4, PackedPage(8, 8))); // a removed folder takes no more pages
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
}

TEST(SpoolDirectory, FailuresAreReported) {
    std::string error;
    EXPECT_FALSE(SpoolDirectory::create(&error, "/nonexistent-folder"));
    EXPECT_NE(error.find("/nonexistent-folder"), std::string::npos);

    TempDir tmp;
    auto spool = SpoolDirectory::create(nullptr, tmp.path());
    ASSERT_TRUE(spool);
    std::filesystem::remove_all(spool->path()); // folder gone under the job
    EXPECT_FALSE(spool->writePage(1, PackedPage(8, 8)));
    EXPECT_FALSE(spool->writePage(1, PackedPage(0, 0)));
}

} // namespace
} // namespace tbx
