#include "logging/FileDestination.h"

#include "platform/foundation/Print.h"
#include "platform/posix/PosixIO.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace fs = std::filesystem;
using tbx::FileDestination;
using tbx::LogLevel;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "tbx-logfile-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

std::string slurp(const fs::path& p) {
    return tbx::posix::readFile(p).bytes;
}

void touch(const fs::path& p, const std::string& content) {
    std::ofstream(p) << content;
}

// A destination whose lines are just the message.
std::unique_ptr<FileDestination> plainFile(const fs::path& p) {
    auto d = std::make_unique<FileDestination>(p);
    d->setFormat("$M");
    return d;
}

void log(FileDestination& d, const std::string& msg) {
    d.send(LogLevel::info, msg, "", "f", "g()", 1, std::nullopt);
}

std::vector<std::string> names(const fs::path& dir) {
    std::vector<std::string> out;
    for (auto& e : fs::directory_iterator(dir)) {
        out.push_back(e.path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST(FileDestination, AppendsLinesCreatingFoldersAndFileAgain) {
    TempDir tmp;
    const fs::path file = tmp.path / "a" / "b" / "app.log";
    auto d = plainFile(file);
    EXPECT_FALSE(fs::exists(tmp.path / "a")); // nothing made before the first line
    log(*d, "one");
    log(*d, "two  ");
    EXPECT_EQ(slurp(file), "one\ntwo\n");
    EXPECT_TRUE(d->deleteLogFile());
    EXPECT_TRUE(d->deleteLogFile()); // nothing there: still fine
    log(*d, "three");
    EXPECT_EQ(slurp(file), "three\n");
    EXPECT_EQ(d->defaultHashValue(), 2);
}

TEST(FileDestination, RotationKeepsTheNewestLines) {
    TempDir tmp;
    const fs::path file = tmp.path / "logbook.log";
    auto d = plainFile(file);
    d->setLogFileAmount(3);
    d->setLogFileMaxSize(0);
    for (auto line : {"1st", "2nd", "3rd", "4th"}) {
        log(*d, line);
    }
    EXPECT_EQ(names(tmp.path), (std::vector<std::string>{"logbook.log", "logbook.log.1", "logbook.log.2"}));
    EXPECT_EQ(slurp(file), "4th\n");
    EXPECT_EQ(slurp(tmp.path / "logbook.log.1"), "3rd\n");
    EXPECT_EQ(slurp(tmp.path / "logbook.log.2"), "2nd\n");
}

TEST(FileDestination, RotationThresholdGapsAndLeftovers) {
    TempDir tmp;
    const fs::path file = tmp.path / "x.log";
    auto d = plainFile(file);
    d->setLogFileAmount(4);
    d->setLogFileMaxSize(4);
    touch(file, "abcd"); // exactly the maximum: not rotated
    log(*d, "e");
    EXPECT_EQ(slurp(file), "abcde\n");
    touch(tmp.path / "x.log.2", "old2");
    touch(tmp.path / "x.log.9", "leftover");
    log(*d, "f");
    EXPECT_EQ(slurp(file), "f\n");
    EXPECT_EQ(slurp(tmp.path / "x.log.1"), "abcde\n");
    EXPECT_EQ(slurp(tmp.path / "x.log.3"), "old2");
    EXPECT_FALSE(fs::exists(tmp.path / "x.log.2"));
    EXPECT_EQ(slurp(tmp.path / "x.log.9"), "leftover");
}

TEST(FileDestination, HugeRotationAmountFinishesAtOnce) {
    TempDir tmp;
    const fs::path file = tmp.path / "big.log";
    auto d = plainFile(file);
    d->setLogFileAmount(std::numeric_limits<std::int64_t>::max());
    d->setLogFileMaxSize(-1);
    touch(tmp.path / "big.log.1", "older");
    const auto start = std::chrono::steady_clock::now();
    log(*d, "a");
    log(*d, "b");
    // A rotation that walked the whole amount would never end: the limit leaves a loaded machine
    // room.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(slurp(file), "b\n");
    EXPECT_EQ(slurp(tmp.path / "big.log.1"), "a\n");
    EXPECT_EQ(slurp(tmp.path / "big.log.2"), "older");
}

TEST(FileDestination, RotationNeverReplacesAnExistingCopy) {
    TempDir tmp;
    touch(tmp.path / "from", "new");
    touch(tmp.path / "to", "precious");
    std::string error;
    EXPECT_FALSE(tbx::moveItemWithoutReplacing(tmp.path / "from", tmp.path / "to", &error));
    EXPECT_NE(error.find("File exists"), std::string::npos) << error;
    EXPECT_EQ(slurp(tmp.path / "to"), "precious");
    EXPECT_TRUE(tbx::moveItemWithoutReplacing(tmp.path / "from", tmp.path / "fresh", &error));
    EXPECT_EQ(slurp(tmp.path / "fresh"), "new");
}

TEST(FileDestination, ColoredSetsOrClearsTheColourTexts) {
    TempDir tmp;
    FileDestination d(tmp.path / "c.log");
    EXPECT_EQ(d.levelColor().info, "");
    d.setColored(true);
    EXPECT_EQ(d.escape(), "\x1b[38;5;");
    EXPECT_EQ(d.reset(), "\x1b[0m");
    EXPECT_EQ(d.levelColor().warning, "178m");
    d.setLevelColor({"a", "b", "c", "d", "e"});
    d.setColored(false);
    EXPECT_EQ(d.levelColor(), tbx::BaseDestination::LevelColor{});
    EXPECT_EQ(d.escape(), "");
}

TEST(FileDestination, DefaultLocationAndItsWarning) {
    TempDir tmp;
    ::setenv("XDG_CACHE_HOME", tmp.path.c_str(), 1);
    const std::string exe = FileDestination::executableName();
    EXPECT_FALSE(exe.empty());
    {
        FileDestination d(std::nullopt);
        EXPECT_EQ(d.logFileURL(), tmp.path / exe / "logbook.log");
        EXPECT_TRUE(fs::is_directory(tmp.path / exe));
    }
    fs::remove_all(tmp.path / exe);
    touch(tmp.path / exe, "a file where the folder should be");
    tbx::TraceCapture capture;
    FileDestination d(std::nullopt);
    EXPECT_EQ(capture.lines(),
              std::vector<std::string>{"Warning! Could not create folder " + (tmp.path / exe).string()});
    EXPECT_EQ(d.logFileURL(), tmp.path / "logbook.log");
    ::unsetenv("XDG_CACHE_HOME");
}

TEST(FileDestination, FailuresArePrintedAndLinesStillReturned) {
    TempDir tmp;
    touch(tmp.path / "blocker", "");
    const fs::path file = tmp.path / "blocker" / "sub" / "app.log";
    FileDestination d(file);
    tbx::TraceCapture capture;
    EXPECT_EQ(d.send(LogLevel::error, "lost", "", "f", "g()", 1, std::nullopt)->find("lost") !=
                  std::string::npos,
              true);
    EXPECT_EQ(capture.lines(),
              std::vector<std::string>{"Logbook File Destination could not write to file file://" +
                                       file.string() + "."});
    capture.clear();
    d.setLogFileURL(std::nullopt);
    d.setLogFileAmount(2);
    EXPECT_FALSE(d.validateSaveFile("x"));
    EXPECT_FALSE(d.saveToFile("x"));
    EXPECT_TRUE(d.deleteLogFile());
    EXPECT_EQ(capture.text(), "");
}
