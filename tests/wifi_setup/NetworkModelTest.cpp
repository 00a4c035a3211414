// The model's records and initial state, and the publishing of its switch.
#include "wifi_setup/NetworkModel.h"

#include "wifi_setup/HotSpot.h"

#include <gtest/gtest.h>
#include <unordered_set>

using namespace tbx;

namespace {

TEST(NetworkModelTest, FreshModel) {
    NetworkModel model;
    EXPECT_EQ(model.GETHOTSPOTLISTCMD, "Checkwifiserver?");
    ASSERT_TRUE(model.apSetting);
    EXPECT_EQ(*model.apSetting, (APSetting{"", 1, "", "", "", ""}));
    ASSERT_TRUE(model.clietModeSetting);
    EXPECT_EQ(*model.clietModeSetting, (ClietModeSetting{"", "", 0, "Manual", "", "", ""}));
    EXPECT_TRUE(model.hotSpotList.empty());
    EXPECT_FALSE(model.showAlter);
    EXPECT_EQ(model.alterTitle, "");
    EXPECT_EQ(model.alterInfo, "");
    EXPECT_EQ(model.tcpClient->url(), "192.168.1.1");
    EXPECT_EQ(model.tcpClient->port(), 9101u);
    EXPECT_FALSE(model.tcpClient->inputStream);
    EXPECT_FALSE(model.showNetworkSetting.get());
    EXPECT_EQ(model.environment().commandPort, 9101u);
}

TEST(NetworkModelTest, EveryWriteOfTheSwitchIsAnnounced) {
    NetworkModel model;
    int willChange = 0;
    std::vector<std::pair<bool, bool>> seen; // (held, new) as each value arrives
    auto a = model.objectWillChange.sink([&] { ++willChange; });
    auto b = model.showNetworkSetting.sink(
        [&](const bool& v) { seen.emplace_back(model.showNetworkSetting.get(), v); });
    for (bool v : {false, true, true, false}) {
        model.showNetworkSetting = v;
    }
    EXPECT_EQ(willChange, 4);
    EXPECT_EQ(seen, (std::vector<std::pair<bool, bool>>{
                        {false, false}, {false, false}, {false, true}, {true, true}, {true, false}}));
    EXPECT_FALSE(model.showNetworkSetting.get());

    // The other fields are plain and announce nothing.
    model.showAlter = true;
    model.alterTitle = "x";
    model.hotSpotList.push_back({0, "n", 1});
    model.apSetting->APName = "y";
    EXPECT_EQ(willChange, 4);
}

TEST(NetworkModelTest, HotSpotIdentityIsAllThreeFields) {
    const std::vector<std::pair<HotSpot, HotSpot>> different = {
        {{0, "a", 5}, {1, "a", 5}}, {{0, "a", 5}, {0, "b", 5}}, {{0, "a", 5}, {0, "a", 4}}};
    for (const auto& [x, y] : different) {
        EXPECT_NE(x, y);
    }
    std::unordered_set<HotSpot> set{{0, "a", 5}, {0, "a", 5}, {1, "a", 5}};
    EXPECT_EQ(set.size(), 2u);
}

} // namespace
