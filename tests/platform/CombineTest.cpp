#include "platform/combine/Combine.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace tbx::combine;

namespace {
struct Model : ObservableObject {
    Published<int> count{*this, 0};
    Published<std::string> name{*this, "a"};
};
} // namespace

TEST(Combine, AssignmentAnnouncesBeforeStoringEvenForEqualValues) {
    Model m;
    std::vector<std::string> events;
    auto will =
        m.objectWillChange.sink([&] { events.push_back("will count=" + std::to_string(m.count.get())); });
    auto sub = m.count.sink([&](const int& v) {
        events.push_back("value " + std::to_string(v) + " stored " + std::to_string(m.count.get()));
    });
    m.count = 5;
    m.count = 5;
    m.name = "b";
    EXPECT_EQ(events, (std::vector<std::string>{"value 0 stored 0", "will count=0", "value 5 stored 0",
                                                "will count=5", "value 5 stored 5", "will count=5"}));
    EXPECT_EQ(m.count.get(), 5);
    EXPECT_EQ(m.name.get(), "b");
}

TEST(Combine, CancellingEndsTheSubscriptionAlsoFromInsideASend) {
    Model m;
    int first = 0, second = 0;
    AnyCancellable b;
    AnyCancellable a = m.objectWillChange.sink([&] {
        ++first;
        b.cancel(); // the later subscriber is not called in this very send
    });
    b = m.objectWillChange.sink([&] { ++second; });
    m.count = 1;
    m.count = 2;
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 0);
    a.cancel();
    m.count = 3;
    EXPECT_EQ(first, 2);
    EXPECT_EQ(m.objectWillChange.subscriberCount(), 0u);
    {
        auto scoped = m.objectWillChange.sink([&] { ++second; });
        m.count = 4;
    }
    m.count = 5;
    EXPECT_EQ(second, 1);
}

TEST(Combine, SubscriptionsMayOutliveTheirSubject) {
    AnyCancellable sub;
    {
        Model m;
        sub = m.count.sink([](const int&) {});
    }
    sub.cancel(); // nothing left to detach from; must not touch freed memory
    SUCCEED();
}
