#include "printfilter/JobStream.h"

#include "printfilter/Cancellation.h"
#include "tests/printfilter/support/FilterPeer.h"
#include "tests/printfilter/support/JobStreamDecoder.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <thread>
#include <unistd.h>

namespace tbx {
namespace {

using test::decodeJobStream;
using test::TempFolder;

// A side channel that records the requests and answers each with a fixed status (the first
// okFirst of them with OK).
class RecordingSideChannel : public SideChannel {
public:
    explicit RecordingSideChannel(bool present = true, cups_sc_status_t status = CUPS_SC_STATUS_OK,
                                  std::chrono::milliseconds delay = {}, std::size_t okFirst = 0)
        : present_(present), status_(status), delay_(delay), okFirst_(okFirst) {}
    bool present() override { return present_; }
    cups_sc_status_t request(cups_sc_command_t command, double timeout) override {
        EXPECT_TRUE(present_) << "asked a side channel that is not there";
        commands.push_back(command);
        EXPECT_DOUBLE_EQ(timeout, 1.0);
        std::this_thread::sleep_for(delay_);
        return commands.size() <= okFirst_ ? CUPS_SC_STATUS_OK : status_;
    }
    void markAbsent(const char*) override { present_ = false; }
    bool answered() const override { return true; }
    std::vector<cups_sc_command_t> commands;

private:
    bool present_;
    cups_sc_status_t status_;
    std::chrono::milliseconds delay_;
    std::size_t okFirst_;
};

// The stream written into a file of a private folder.
struct StreamFile {
    TempFolder dir;
    std::string path = dir.file("stream");
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ~StreamFile() { ::close(fd); }
    std::string bytes() const { return test::readWholeFile(path); }
};

std::vector<std::string> fieldsOf(const std::string& text) {
    std::vector<std::string> fields;
    for (const auto& item : test::tokenizeJobStream(text).items)
        fields.push_back(item.key + "=" + item.value + ";");
    return fields;
}

TEST(JobHeader, FieldsInOrder) {
    JobOptions job;
    job.jobName = "Quarterly report";
    job.jobCopies = "1";
    const std::time_t when = 1796675281; // Mon Dec  7 2026, local time as the machine has it
    char expectedTime[64];
    ctime_r(&when, expectedTime);
    const auto fields = fieldsOf(jobHeaderText(job, when));
    ASSERT_EQ(fields.size(), 7u);
    EXPECT_EQ(fields[0], "JobName=Quarterly report;");
    EXPECT_EQ(fields[1], std::string("JobTime=") + expectedTime + ";");
    EXPECT_EQ(fields[1].substr(fields[1].size() - 2), "\n;") << "ctime's line feed stands before the ';'";
    EXPECT_EQ(fields[1].size(), std::string("JobTime=;").size() + 25);
    EXPECT_EQ(fields[2], "SysVersion=MAC;");
    EXPECT_EQ(fields[3], "Resolution=600x600;");
    EXPECT_EQ(fields[4], "MediaType=plain;");
    EXPECT_EQ(fields[5], "Sides=OneSided;");
    EXPECT_EQ(fields[6], "Copies=1;");
}

TEST(JobHeader, MediaTypeSidesAndCopiesByChoice) {
    const char* media[] = {"MediaType=plain;", "MediaType=thick;",    "MediaType=thin;",
                           "MediaType=card;",  "MediaType=envelope;", "MediaType=plain;"};
    for (int i = 0; i <= 5; ++i)
        EXPECT_EQ(mediaTypeField(i), media[i]) << i;
    EXPECT_EQ(sidesField(0), "Sides=OneSided;");
    EXPECT_EQ(sidesField(1), "Sides=TwoSidedShortEdge;");
    EXPECT_EQ(sidesField(2), "Sides=TwoSidedLongEdge;");
    JobOptions job;
    job.jobCopies = "abc";
    job.isDuplex = 2;
    job.isMediaType = 4;
    const auto fields = fieldsOf(jobHeaderText(job, 0));
    EXPECT_EQ(fields[0], "JobName=;") << "an empty title leaves the field empty";
    EXPECT_EQ(fields[4], "MediaType=envelope;");
    EXPECT_EQ(fields[5], "Sides=TwoSidedLongEdge;");
    EXPECT_EQ(fields[6], "Copies=abc;");
}

TEST(JobHeader, TitleCannotInjectCommands) {
    JobOptions job;
    job.jobName = "100% done";
    EXPECT_EQ(fieldsOf(jobHeaderText(job, 0))[0], "JobName=100% done;") << "'%' is no format";
    job.jobName = "a;Event=EndOfJob;CancelJob?\r\n\x01z";
    const std::string header = jobHeaderText(job, 0);
    EXPECT_EQ(header.substr(0, header.find(';') + 1), "JobName=a_Event_EndOfJob_CancelJob____z;");
    const auto decoded = test::tokenizeJobStream(header);
    EXPECT_TRUE(decoded.error.empty());
    EXPECT_EQ(decoded.items.size(), 7u);
    job.jobName = "";
    job.jobCopies = "2;Sides=OneSided";
    EXPECT_EQ(fieldsOf(jobHeaderText(job, 0))[6], "Copies=2_Sides_OneSided;");
}

TEST(JobHeader, LongTitlesAreCutAtACharacterBoundary) {
    EXPECT_EQ(sanitizeFieldText(std::string(600, 'x')).size(), kMaxJobNameBytes);
    // 167 three-byte characters are 501 bytes; the 168th does not fit in 502.
    std::string chinese;
    for (int i = 0; i < 200; ++i)
        chinese += "\xE6\x96\x87"; // 文
    const std::string cut = sanitizeFieldText(chinese);
    EXPECT_EQ(cut.size(), 501u);
    EXPECT_EQ(cut, chinese.substr(0, 501));
    EXPECT_EQ(sanitizeFieldText("caf\xC3\xA9"), "caf\xC3\xA9") << "valid UTF-8 stays";
    EXPECT_EQ(sanitizeFieldText("bad\xC3(\xFF"), "bad_(_") << "broken UTF-8 is replaced";
    JobOptions job;
    job.jobName = std::string(600, 'x');
    EXPECT_EQ(fieldsOf(jobHeaderText(job, 0))[0].size(), std::string("JobName=;").size() + 502);
}

TEST(PageHeader, MediaSizesByPageSizeName) {
    const std::pair<const char*, const char*> sizes[] = {
        {"A4", "MediaSize=na_a4_210x297mm;"},
        {"A5", "MediaSize=na_a5_148x210mm;"},
        {"A6", "MediaSize=na_a6_105x148mm;"},
        {"B5", "MediaSize=na_b5_182x257mm;"},
        {"B6", "MediaSize=na_b6_128x182mm;"},
        {"16K", "MediaSize=na_16k_195x270mm;"},
        {"Custom.595.28x841.89", "MediaSize=na_16k_195x270mm;"},
        {"32K", "MediaSize=na_32k_135x195mm;"},
        {"Letter", "MediaSize=na_LETTER_216x279mm;"},
        {"85x170mm", "MediaSize=na_bank_85x170mm;"},
        {"letter", "MediaSize=na_a4_210x297mm;"},
        {"Custom.600x800", "MediaSize=na_a4_210x297mm;"},
        {"", "MediaSize=na_a4_210x297mm;"},
    };
    for (const auto& [name, field] : sizes)
        EXPECT_EQ(mediaSizeField(name), field) << name;
}

TEST(PageHeader, FieldsInOrderForEveryTray) {
    JobOptions job;
    job.pageSize = "A5";
    const char* trays[] = {"MediaInputTrayCheck=auto;", "MediaInputTrayCheck=manual;",
                           "MediaInputTrayCheck=cassette;", nullptr, nullptr};
    for (int slot = 0; slot <= 4; ++slot) {
        job.isInputSlot = slot;
        const auto fields = fieldsOf(pageHeaderText(job, 4961, 7016));
        ASSERT_EQ(fields.size(), trays[slot] ? 6u : 5u) << slot;
        EXPECT_EQ(fields[0], "MediaSize=na_a5_148x210mm;");
        EXPECT_EQ(fields[1], "Origin.Top=+50;");
        EXPECT_EQ(fields[2], "Origin.Left=+50;");
        EXPECT_EQ(fields[3], "RasterObject.Width=4968;") << "the width is rounded up to a multiple of 8";
        EXPECT_EQ(fields[4], "RasterObject.Height=7016;");
        if (trays[slot]) {
            EXPECT_EQ(fields[5], trays[slot]);
        }
    }
    EXPECT_EQ(roundedPageWidth(4968), 4968);
    EXPECT_EQ(roundedPageWidth(1), 8);
    EXPECT_EQ(roundedPageWidth(0), 0);
}

TEST(PageData, NineThousandBytesGoOutAsThreeFramedPieces) {
    StreamFile out;
    std::string page(9000, '\0');
    for (std::size_t i = 0; i < page.size(); ++i)
        page[i] = static_cast<char>(i * 7 + i / 251); // every byte value, ';' and '=' among them
    const std::string pagePath = out.dir.file("page");
    ASSERT_TRUE(test::writeWholeFile(pagePath, page));
    RecordingSideChannel side;
    JobStream stream(out.fd, side);
    JobOptions job;
    stream.startOfJob();
    stream.sendJobHeader(job, 0);
    stream.sendPageHeader(job, 100, 50);
    EXPECT_EQ(stream.sendPageData(pagePath), 0);
    stream.endOfPage();
    stream.endOfJob();

    const std::string bytes = out.bytes();
    EXPECT_NE(bytes.find("RasterObject.Data#4096="), std::string::npos);
    EXPECT_NE(bytes.find("RasterObject.Data#808="), std::string::npos);
    const auto job1 = decodeJobStream(bytes);
    ASSERT_TRUE(job1.ok()) << job1.error;
    ASSERT_EQ(job1.pages.size(), 1u);
    EXPECT_EQ(job1.pages[0].pieces, (std::vector<std::size_t>{4096, 4096, 808}));
    EXPECT_EQ(job1.pages[0].data, page);
    EXPECT_EQ(job1.pages[0].width(), 104);
    EXPECT_TRUE(job1.endOfJob);
    // A drain after each of the 5 commands and each of the 3 pieces.
    EXPECT_EQ(side.commands.size(), 8u);
    for (auto c : side.commands)
        EXPECT_EQ(c, CUPS_SC_CMD_DRAIN_OUTPUT);
}

TEST(PageData, EmptyAndExactFilesAndMissingFile) {
    StreamFile out;
    RecordingSideChannel side;
    JobStream stream(out.fd, side);
    ASSERT_TRUE(test::writeWholeFile(out.dir.file("empty"), ""));
    EXPECT_EQ(stream.sendPageData(out.dir.file("empty")), 0);
    EXPECT_EQ(out.bytes(), "") << "a file of 0 bytes sends no piece";
    ASSERT_TRUE(test::writeWholeFile(out.dir.file("exact"), std::string(4096, 'x')));
    EXPECT_EQ(stream.sendPageData(out.dir.file("exact")), 0);
    EXPECT_EQ(out.bytes(), "RasterObject.Data#4096=" + std::string(4096, 'x') + ";");
    const std::size_t before = out.bytes().size();
    EXPECT_EQ(stream.sendPageData(out.dir.file("missing")), 3);
    EXPECT_EQ(out.bytes().size(), before) << "nothing goes out for a page that cannot be read";
}

TEST(PageData, NoSideChannelMeansNoDrainRequests) {
    StreamFile out;
    RecordingSideChannel absent(false);
    JobStream stream(out.fd, absent);
    ASSERT_TRUE(test::writeWholeFile(out.dir.file("page"), std::string(10000, 'p')));
    EXPECT_EQ(stream.sendCmd("Event=StartOfJob;"), CUPS_SC_STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(stream.sendPageData(out.dir.file("page")), 0);
    EXPECT_TRUE(absent.commands.empty());
}

TEST(PageData, DrainFailuresAreOnlyLogged) {
    StreamFile out;
    RecordingSideChannel slow(true, CUPS_SC_STATUS_TIMEOUT);
    JobStream stream(out.fd, slow);
    ASSERT_TRUE(test::writeWholeFile(out.dir.file("page"), std::string(5000, 'p')));
    EXPECT_EQ(stream.sendPageData(out.dir.file("page")), 0);
    EXPECT_EQ(slow.commands.size(), 2u);
    EXPECT_EQ(out.bytes().size(),
              5000u + 2 + std::string("RasterObject.Data#4096=RasterObject.Data#904=").size());
}

TEST(PageData, AVanishedReaderFailsThePage) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ::close(fds[0]);
    signal(SIGPIPE, SIG_IGN);
    TempFolder dir;
    ASSERT_TRUE(test::writeWholeFile(dir.file("page"), std::string(5000, 'p')));
    RecordingSideChannel side;
    JobStream stream(fds[1], side);
    EXPECT_EQ(stream.sendPageData(dir.file("page")), 3);
    EXPECT_TRUE(stream.outputFailed());
    ::close(fds[1]);
}

// A write the printer holds up: it waits as long as the printer takes bytes now and then, or
// takes nothing while the job runs; once the job is cancelled, a printer that takes nothing for the
// set time makes the stream give up. A slow printer gets the page being sent completed, also
// behind a backend that cannot drain or whose drain answers come later than the filter waits (the
// bytes it takes off the pipe count); but only up to the page's bound after the cancel.
TEST(StalledPrinter, ACancelledJobGivesUpOnlyOnAPrinterThatTakesNothing) {
    using namespace std::chrono_literals;
    const struct {
        const char* what;
        bool cancelled;
        std::chrono::milliseconds firstRead; // -1: the printer never reads
        std::chrono::milliseconds between;   // pause after every 4096 bytes read
        bool givesUp;
        bool page = false; // a page's data (about 2 s at the slow pace) instead of one command
        std::optional<cups_sc_status_t> drains{}; // the backend's drain answer; none: no backend
        std::size_t okFirst = 0;                  // drains answered OK before it
        // Long beside the slow printer's pauses, so that a loaded machine cannot stretch one past it.
        std::chrono::milliseconds wait = 3000ms;
        std::chrono::milliseconds pageBound = kCancelledPageBound;
    } cases[] = {
        {"cancelled, printer reads slowly", true, 0ms, 80ms, false},
        {"not cancelled, printer pauses past the wait", false, 1500ms, 0ms, false, false, std::nullopt, 0,
         1000ms},
        {"cancelled, printer takes nothing", true, -1ms, 0ms, true},
        {"cancelled, slow page, drains not implemented", true, 0ms, 80ms, false, true,
         CUPS_SC_STATUS_NOT_IMPLEMENTED},
        {"cancelled, slow page, drains answered late", true, 0ms, 80ms, false, true, CUPS_SC_STATUS_TIMEOUT,
         2},
        {"cancelled, slow page past its bound", true, 0ms, 80ms, true, true, {}, 0, 10000ms, 1500ms},
    };
    const std::string command(24 * 1024, 'c');
    TempFolder dir;
    const std::string pagePath = dir.file("page");
    std::string framedPage;
    {
        std::string data(24 * kMaxPieceBytes, 'p');
        ASSERT_TRUE(test::writeWholeFile(pagePath, data));
        for (std::size_t at = 0; at < data.size(); at += kMaxPieceBytes)
            framedPage += "RasterObject.Data#4096=" + data.substr(at, kMaxPieceBytes) + ";";
    }
    signal(SIGPIPE, SIG_IGN);
    cancellation::setLanguage(Language::none);
    for (const auto& c : cases) {
        cancellation::reset();
        // Counted from before the cancel: the page's bound runs from the cancel itself.
        const auto started = std::chrono::steady_clock::now();
        if (c.cancelled)
            cancellation::cancelJob();
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        fcntl(fds[1], F_SETPIPE_SZ, 4096);
        RecordingSideChannel side(c.drains.has_value(), c.drains.value_or(CUPS_SC_STATUS_OK), 10ms,
                                  c.okFirst);
        JobStream stream(fds[1], side);
        int giveUps = 0;
        stream.onStalledCancel([&] { ++giveUps; }, c.wait, c.pageBound);
        std::chrono::steady_clock::duration took{};
        int result = 0;
        std::thread writer([&] {
            if (c.page)
                result = stream.sendPageData(pagePath);
            else
                stream.sendCmd(command);
            took = std::chrono::steady_clock::now() - started;
            ::close(fds[1]); // the printer sees the end
        });
        std::string received;
        if (c.firstRead >= 0ms) {
            std::this_thread::sleep_for(c.firstRead);
            char buffer[4096];
            ssize_t n;
            while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
                received.append(buffer, static_cast<std::size_t>(n));
                // A slow printer needs time to pass: it is paced by bytes, since a page's pieces
                // come out of the pipe in reads of any size.
                std::this_thread::sleep_for(std::chrono::microseconds(c.between) * n / 4096);
            }
        }
        writer.join();
        ::close(fds[0]);
        const std::string& sent = c.page ? framedPage : command;
        EXPECT_EQ(stream.gaveUp(), c.givesUp) << c.what;
        EXPECT_EQ(giveUps, c.givesUp ? 1 : 0) << c.what;
        EXPECT_EQ(stream.outputFailed(), c.givesUp) << c.what;
        EXPECT_EQ(result, c.page && c.givesUp ? 3 : 0) << c.what;
        if (c.givesUp) {
            const auto bound = c.page ? std::min(c.wait, c.pageBound) : c.wait;
            EXPECT_GE(took, bound) << c.what;
            // Short of every other bound (10 s and more) that a give-up could wrongly wait for.
            EXPECT_LT(took, bound + 5s) << c.what;
            EXPECT_LT(received.size(), sent.size()) << c.what;
        } else {
            EXPECT_TRUE(received == sent) << c.what << ": " << received.size() << " bytes arrived";
        }
    }
    cancellation::reset();
}

// Behind a backend, bytes the pipe takes are not yet the printer's: a cancelled job whose drains
// say the printer takes nothing gives up although every write goes through. A backend that cannot
// drain, or has never answered a drain in time, tells nothing: the bytes the output takes count.
TEST(StalledPrinter, DrainAnswersOfACancelledJobTellWhetherThePrinterTakesTheBytes) {
    using namespace std::chrono_literals;
    const struct {
        const char* what;
        cups_sc_status_t status;
        std::size_t okFirst; // drains answered OK before the status
        bool givesUp;
    } cases[] = {
        {"answered OK", CUPS_SC_STATUS_OK, 0, false},
        {"not implemented", CUPS_SC_STATUS_NOT_IMPLEMENTED, 0, false},
        {"never answered in time", CUPS_SC_STATUS_TIMEOUT, 0, false},
        {"answered, then no longer in time", CUPS_SC_STATUS_TIMEOUT, 2, true},
        {"the printer does not respond", CUPS_SC_STATUS_NO_RESPONSE, 0, true},
    };
    cancellation::setLanguage(Language::none);
    for (const auto& c : cases) {
        cancellation::reset();
        cancellation::cancelJob();
        StreamFile out;
        // The wait is long beside a drain's own 30 ms, so that a loaded machine pausing the writer
        // between a write and its drain's answer cannot make a row that goes on give up.
        RecordingSideChannel side(true, c.status, 30ms, c.okFirst);
        JobStream stream(out.fd, side);
        stream.onStalledCancel({}, 300ms);
        ASSERT_TRUE(test::writeWholeFile(out.dir.file("page"), std::string(24 * 4096, 'p')));
        const int result = stream.sendPageData(out.dir.file("page"));
        EXPECT_EQ(stream.gaveUp(), c.givesUp) << c.what;
        EXPECT_EQ(result, c.givesUp ? 3 : 0) << c.what;
        if (c.givesUp)
            EXPECT_LT(side.commands.size(), 16u) << c.what << ": gave up only after " << side.commands.size();
        else
            EXPECT_EQ(side.commands.size(), 24u) << c.what;
    }
    cancellation::reset();
}

} // namespace
} // namespace tbx
