#include "platform/foundation/UUID.h"

#include <gtest/gtest.h>
#include <regex>
#include <set>

TEST(UUID, RandomVersion4InUpperCaseText) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const tbx::UUID id;
        const std::string text = id.uuidString();
        EXPECT_TRUE(std::regex_match(
            text, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
            << text;
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_EQ(tbx::UUID::null().uuidString(), "00000000-0000-0000-0000-000000000000");
    const tbx::UUID a;
    const tbx::UUID copy = a;
    EXPECT_EQ(a, copy);
    EXPECT_EQ(std::hash<tbx::UUID>{}(a), std::hash<tbx::UUID>{}(copy));
}
