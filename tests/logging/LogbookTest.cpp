#include "logging/Logbook.h"

#include "TestDestinations.h"
#include "logging/ConsoleDestination.h"
#include "logging/FileDestination.h"
#include "platform/foundation/Print.h"
#include "scanning/ScanOptions.h"

#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tbx::Logbook;
using tbx::LogLevel;
using tbx::test::RecordingDestination;

namespace {

struct LogbookTest : ::testing::Test {
    void SetUp() override { Logbook::removeAllDestinations(); }
    void TearDown() override {
        Logbook::flush(5);
        Logbook::removeAllDestinations();
    }
};

} // namespace

TEST_F(LogbookTest, DestinationSetByIdentity) {
    EXPECT_EQ(Logbook::version, "2.0.0");
    EXPECT_EQ(Logbook::build, 2000);
    EXPECT_EQ(Logbook::countDestinations(), 0);
    auto a = std::make_shared<tbx::ConsoleDestination>();
    auto b = std::make_shared<tbx::ConsoleDestination>();
    EXPECT_TRUE(Logbook::addDestination(a));
    EXPECT_FALSE(Logbook::addDestination(a));
    EXPECT_EQ(Logbook::countDestinations(), 1);
    EXPECT_TRUE(Logbook::addDestination(b));
    EXPECT_EQ(Logbook::countDestinations(), 2);
    EXPECT_EQ(a->hashValue(), b->hashValue());
    EXPECT_FALSE(*a == *b);
    EXPECT_TRUE(Logbook::removeDestination(a));
    EXPECT_FALSE(Logbook::removeDestination(a));
    EXPECT_EQ(Logbook::destinations(), std::vector<tbx::DestinationPtr>{b});
    Logbook::removeAllDestinations();
    EXPECT_EQ(Logbook::countDestinations(), 0);
}

TEST_F(LogbookTest, NewDestinationDefaults) {
    tbx::BaseDestination a, b;
    EXPECT_TRUE(a.asynchronously());
    EXPECT_EQ(a.minLevel(), LogLevel::verbose);
    EXPECT_EQ(a.levelString().warning, "WARNING");
    EXPECT_EQ(a.levelColor(), tbx::BaseDestination::LevelColor{});
    ASSERT_TRUE(a.queue());
    const std::string label = a.queue()->label();
    EXPECT_TRUE(label.starts_with("logbook-queue-"));
    EXPECT_EQ(label.size(), 14u + 36u);
    EXPECT_NE(label, b.queue()->label());
    EXPECT_EQ(tbx::logLevelFromRaw(5), std::nullopt);
    EXPECT_EQ(tbx::logLevelFromRaw(-1), std::nullopt);
    EXPECT_EQ(tbx::logLevelFromRaw(3), LogLevel::warning);
}

TEST_F(LogbookTest, ProducerRunsOnlyWhenTextIsNeeded) {
    int calls = 0;
    auto producer = [&] {
        ++calls;
        return std::string("text");
    };
    Logbook::info(producer, "f", "g", 1);
    EXPECT_EQ(calls, 0); // no destination

    auto quiet = std::make_shared<RecordingDestination>();
    quiet->setMinLevel(LogLevel::error);
    Logbook::addDestination(quiet);
    Logbook::info(producer, "f", "g", 1);
    EXPECT_EQ(calls, 0); // refused by level, no message filters

    auto one = std::make_shared<RecordingDestination>();
    auto two = std::make_shared<RecordingDestination>();
    Logbook::addDestination(one);
    Logbook::addDestination(two);
    Logbook::info(producer, "f", "g", 1);
    EXPECT_EQ(calls, 2); // each accepting destination asks again

    auto filtered = std::make_shared<RecordingDestination>();
    filtered->addFilter(tbx::Filters::Message::contains({"text"}));
    Logbook::removeAllDestinations();
    Logbook::addDestination(filtered);
    Logbook::addDestination(one);
    Logbook::addDestination(two);
    calls = 0;
    Logbook::warning(producer, "f", "g", 1);
    EXPECT_EQ(calls, 1); // the filtered destination's text serves the rest
    ASSERT_TRUE(Logbook::flush(5));
    EXPECT_EQ(filtered->received(), std::vector<std::string>{"text"});
    EXPECT_EQ(one->received(), (std::vector<std::string>{"text", "text"}));

    Logbook::debug([] { return 42; }, "f", "g", 1);
    Logbook::error(3.5, "f", "g", 1);
    ASSERT_TRUE(Logbook::flush(5));
    EXPECT_EQ(one->received().back(), "3.5");
    EXPECT_EQ(one->received()[2], "42");
}

TEST_F(LogbookTest, FunctionNamesAndThreadNames) {
    EXPECT_EQ(Logbook::stripParams("send(_:msg:)"), "send()");
    EXPECT_EQ(Logbook::stripParams("init"), "init()");
    EXPECT_EQ(Logbook::stripParams(""), "()");
    EXPECT_EQ(Logbook::stripParams("a(b)(c)"), "a()");
    EXPECT_EQ(Logbook::threadName(), ""); // the test runs on the main thread

    auto d = std::make_shared<RecordingDestination>();
    Logbook::addDestination(d);
    auto queue = tbx::dispatch::Queue::serial("scan-worker");
    queue.sync([] { Logbook::info("from queue", "f", "go(fast:)", 1); });
    std::thread([] { Logbook::info("from thread", "f", "g", 1); }).join();
    ASSERT_TRUE(Logbook::flush(5));
    std::lock_guard lock(d->mutex);
    EXPECT_EQ(d->threads[0], "scan-worker");
    EXPECT_EQ(d->functions[0], "go()");
    EXPECT_TRUE(d->threads[1].starts_with("<Thread: ")) << d->threads[1];
}

TEST_F(LogbookTest, QueuelessDestinationsAreSkipped) {
    auto d = std::make_shared<RecordingDestination>();
    d->setQueue(std::nullopt);
    Logbook::addDestination(d);
    Logbook::error("x", "f", "g", 1);
    EXPECT_TRUE(Logbook::flush(0));
    EXPECT_EQ(d->flushes.load(), 0);
    EXPECT_TRUE(d->received().empty());
    tbx::TraceCapture capture;
    bool ran = false;
    d->execute(true, [&] { ran = true; });
    EXPECT_FALSE(ran);
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"Queue not set"});
    EXPECT_THROW(d->executeSynchronously([] { return 1; }), std::logic_error);
}

TEST_F(LogbookTest, FlushTimeOutLeavesNothingDangling) {
    // Says when it is destroyed.
    struct Watched : RecordingDestination {
        std::promise<void> destroyed;
        ~Watched() override { destroyed.set_value(); }
    };
    auto d = std::make_shared<Watched>();
    std::future<void> gone = d->destroyed.get_future();
    Logbook::addDestination(d);
    std::atomic<bool> release{false};
    d->execute(false, [&] { release.wait(false); });
    Logbook::info("behind the block", "f", "g", 1);
    EXPECT_FALSE(Logbook::flush(0)); // the queue is busy: the deadline passes first
    Logbook::removeAllDestinations();
    // The destination and the flush's state must outlive this call; the items run later.
    std::weak_ptr<RecordingDestination> weak = d;
    d.reset();
    release = true;
    release.notify_all();
    // Items ran, flush included, then let it go (the limit only ends a wait for what never comes).
    EXPECT_EQ(gone.wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(weak.expired());
}

TEST_F(LogbookTest, SynchronousDestinationMayLogAndFlushFromItsOwnQueue) {
    struct Reentrant : RecordingDestination {
        std::atomic<int> depth{0};
        std::optional<std::string> send(LogLevel level, const std::string& msg, const std::string& thread,
                                        const std::string& file, const std::string& function,
                                        std::int64_t line, const tbx::LogContext& context) override {
            auto r = RecordingDestination::send(level, msg, thread, file, function, line, context);
            if (depth++ == 0) {
                Logbook::info("nested", "f", "g", 2); // runs inline on this very queue
                EXPECT_TRUE(Logbook::flush(1));
            }
            --depth;
            return r;
        }
    };
    auto d = std::make_shared<Reentrant>();
    d->setAsynchronously(false);
    Logbook::addDestination(d);
    std::thread worker([] { Logbook::info("outer", "f", "g", 1); });
    worker.join(); // would hang forever if the nested calls waited on their own queue
    EXPECT_EQ(d->received(), (std::vector<std::string>{"outer", "nested"}));
    EXPECT_GE(d->flushes.load(), 1);
}

// Many threads logging to a file and a console destination while another thread
// keeps changing the destinations' settings: every line arrives whole, once.
TEST_F(LogbookTest, ManyThreadsNoLostOrTornLines) {
    std::string pattern = (fs::temp_directory_path() / "tbx-logbook-XXXXXX").string();
    const fs::path dir = ::mkdtemp(pattern.data());
    auto file = std::make_shared<tbx::FileDestination>(dir / "many.log");
    file->setFormat("$T|$M");
    auto console = std::make_shared<tbx::ConsoleDestination>();
    console->setFormat("$M");
    Logbook::addDestination(file);
    Logbook::addDestination(console);

    tbx::TraceCapture capture;
    constexpr int threads = 8;
    constexpr int perThread = 300;
    std::atomic<bool> stop{false};
    std::thread fiddler([&] {
        int i = 0;
        while (!stop) {
            console->setUseTerminalColors(i % 2 == 0);
            file->setColored(i % 2 == 1);
            file->setMinLevel(LogLevel::verbose);
            console->setLevelString({});
            console->setFormat("$M");
            ++i;
        }
    });
    std::vector<std::thread> loggers;
    for (int t = 0; t < threads; ++t) {
        loggers.emplace_back([t] {
            for (int i = 0; i < perThread; ++i) {
                const std::string msg =
                    "t" + std::to_string(t) + "-" + std::to_string(i) + "-" + std::string(40, 'x');
                Logbook::info([&] { return msg; }, "file.cpp", "run()", i);
            }
        });
    }
    for (auto& l : loggers) {
        l.join();
    }
    stop = true;
    fiddler.join();
    ASSERT_TRUE(Logbook::flush(30));

    const auto check = [&](const std::vector<std::string>& lines, bool withThread) {
        std::set<std::string> seen;
        for (const auto& raw : lines) {
            std::string line = raw;
            if (withThread) {
                const auto bar = line.find('|');
                ASSERT_NE(bar, std::string::npos) << line;
                line = line.substr(bar + 1);
            }
            ASSERT_TRUE(line.starts_with("t") && line.ends_with(std::string(40, 'x'))) << line;
            EXPECT_TRUE(seen.insert(line).second) << "twice: " << line;
        }
        EXPECT_EQ(seen.size(), std::size_t(threads * perThread));
    };
    check(capture.lines(), false);
    std::ifstream in(dir / "many.log");
    std::vector<std::string> fileLines;
    for (std::string line; std::getline(in, line);) {
        fileLines.push_back(line);
    }
    check(fileLines, true);
    fs::remove_all(dir);
}

TEST_F(LogbookTest, GetlogAttachesOneConsoleDestination) {
    tbx::getlog();
    const auto attached = Logbook::destinations();
    ASSERT_EQ(attached.size(), 1u);
    EXPECT_NE(dynamic_cast<tbx::ConsoleDestination*>(attached[0].get()), nullptr);
}

TEST_F(LogbookTest, OverriddenCoreOperationsTakeEffect) {
    struct Shouting : Logbook::Core {
        std::string stripParams(std::string_view function) override {
            return "LOUD " + std::string(function);
        }
    };
    auto d = std::make_shared<RecordingDestination>();
    Logbook::addDestination(d);
    Logbook::setCore(std::make_shared<Shouting>());
    Logbook::info("m", "f", "go(x)", 1);
    Logbook::setCore(nullptr); // back to the plain behaviour
    Logbook::info("m", "f", "go(x)", 1);
    ASSERT_TRUE(Logbook::flush(5));
    std::lock_guard lock(d->mutex);
    EXPECT_EQ(d->functions, (std::vector<std::string>{"LOUD go(x)", "go()"}));
}
