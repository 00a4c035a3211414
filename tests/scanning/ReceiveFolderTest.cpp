#include "scanning/ReceiveFolder.h"

#include "platform/posix/PosixIO.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>

using namespace tbx;
namespace fs = std::filesystem;

namespace {

class ReceiveFolderTest : public testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/tbx-recv-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string slurp(const std::string& path) { return posix::readFile(path).bytes; }

    std::string dir;
};

std::span<const std::uint8_t> bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

} // namespace

TEST(ScanTimestamp, FourteenDigitsInLocalTime) {
    const auto t = std::chrono::system_clock::from_time_t(1796764200) + std::chrono::milliseconds(999);
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(scanTimestamp(t), "20261208211000");
    setenv("TZ", "CST-8", 1); // eight hours east, past midnight
    tzset();
    EXPECT_EQ(scanTimestamp(t), "20261209051000");
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(scanTimestamp(std::chrono::system_clock::from_time_t(946684799)), "19991231235959");
}

TEST_F(ReceiveFolderTest, MakingRefusesWhatExistsAndMissingParents) {
    EXPECT_TRUE(makeFolder(dir + "/a"));
    EXPECT_FALSE(makeFolder(dir + "/a"));
    EXPECT_FALSE(makeFolder(dir + "/x/y"));
    EXPECT_FALSE(makeFolder(""));
    std::ofstream(dir + "/file") << "x";
    EXPECT_FALSE(makeFolder(dir + "/file"));
}

TEST_F(ReceiveFolderTest, RemovingATreeAtAllDepths) {
    fs::create_directories(dir + "/r/sub/deeper");
    std::ofstream(dir + "/r/p-0001.jpg") << "1";
    std::ofstream(dir + "/r/sub/deeper/q") << "2";
    EXPECT_EQ(folderEntryCount(dir + "/r"), 2u);
    EXPECT_TRUE(removeFolderTree(dir + "/r"));
    EXPECT_FALSE(fs::exists(dir + "/r"));
    EXPECT_FALSE(removeFolderTree(dir + "/r")); // already gone
    EXPECT_EQ(folderEntryCount(dir + "/r"), 0u);
}

TEST_F(ReceiveFolderTest, NewFilesNeverReplaceExistingOnes) {
    std::ofstream(dir + "/20261208211000.pdf") << "earlier";
    auto first = writeNewFile(dir, "20261208211000", ".pdf", bytes("second"));
    auto second = writeNewFile(dir, "20261208211000", ".pdf", bytes("third"));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, dir + "/20261208211000-2.pdf");
    EXPECT_EQ(*second, dir + "/20261208211000-3.pdf");
    EXPECT_EQ(slurp(dir + "/20261208211000.pdf"), "earlier");
    EXPECT_EQ(slurp(*first), "second");
    EXPECT_EQ(slurp(*second), "third");
    EXPECT_EQ(folderEntryCount(dir), 3u); // no temporary file left behind
    EXPECT_FALSE(writeNewFile(dir + "/missing", "x", ".pdf", bytes("y")).has_value());
}

TEST_F(ReceiveFolderTest, RacingWritersEachGetTheirOwnFile) {
    std::vector<std::thread> writers;
    std::mutex m;
    std::set<std::string> paths;
    for (int i = 0; i < 8; ++i) {
        writers.emplace_back([&, i] {
            auto path = writeNewFile(dir, "same", ".pdf", bytes(std::to_string(i)));
            std::lock_guard lock(m);
            if (path) {
                paths.insert(*path);
            }
        });
    }
    for (auto& t : writers) {
        t.join();
    }
    EXPECT_EQ(paths.size(), 8u);
    std::set<std::string> contents;
    for (const auto& p : paths) {
        contents.insert(slurp(p));
    }
    EXPECT_EQ(contents.size(), 8u);
    EXPECT_EQ(folderEntryCount(dir), 8u);
}

TEST_F(ReceiveFolderTest, NewFoldersTakeTheNextFreeNameAndRefuseBadParents) {
    EXPECT_EQ(makeNewFolder(dir, "20261208211000"), dir + "/20261208211000");
    std::ofstream(dir + "/20261208211000-2") << "a file holds this name";
    EXPECT_EQ(makeNewFolder(dir, "20261208211000"), dir + "/20261208211000-3");
    EXPECT_EQ(makeNewFolder(dir, "20261208211000"), dir + "/20261208211000-4");
    EXPECT_TRUE(fs::is_regular_file(dir + "/20261208211000-2"));

    std::ofstream(dir + "/plain") << "x";
    for (const std::string& parent : {dir + "/missing", dir + "/plain", std::string()}) {
        EXPECT_FALSE(makeNewFolder(parent, "s").has_value()) << parent;
    }
    if (::geteuid() != 0) { // root writes anywhere
        fs::create_directory(dir + "/locked");
        fs::permissions(dir + "/locked", fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_FALSE(makeNewFolder(dir + "/locked", "s").has_value());
        fs::permissions(dir + "/locked", fs::perms::owner_all);
    }
}

TEST_F(ReceiveFolderTest, NamesUpToTheFoldersLimitCanBeWritten) {
    // The temporary name does not grow with the final one.
    const std::string longest(251, 'n');
    auto path = writeNewFile(dir, longest, ".pdf", bytes("pdf"));
    ASSERT_TRUE(path);
    EXPECT_EQ(slurp(*path), "pdf");
    TemporaryFile file;
    const std::string page = dir + "/" + std::string(255, 'p');
    ASSERT_FALSE(file.write(page, bytes("page")));
    ASSERT_FALSE(file.commit(page));
    EXPECT_EQ(slurp(page), "page");
    EXPECT_EQ(folderEntryCount(dir), 2u);
    // A name past the limit fails cleanly and leaves nothing behind.
    EXPECT_FALSE(writeNewFile(dir, std::string(252, 'n'), ".pdf", bytes("x")).has_value());
    EXPECT_EQ(folderEntryCount(dir), 2u);
}
