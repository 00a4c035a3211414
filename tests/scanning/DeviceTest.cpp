#include "scanning/Device.h"

#include <gtest/gtest.h>
#include <unordered_set>

using namespace tbx;

TEST(Device, IdentityIsPerCreationAndCopiesShareIt) {
    const Device a("Tamberlyx", "Tamberlyx(10.0.0.5)", "Net", "10.0.0.5", 0x37, 0x356C);
    const Device b("Tamberlyx", "Tamberlyx(10.0.0.5)", "Net", "10.0.0.5", 0x37, 0x356C);
    const Device copy = a;
    EXPECT_NE(a, b);
    EXPECT_EQ(a, copy);
    EXPECT_NE(a.id, b.id);
    std::unordered_set<Device> set{a, copy, b};
    EXPECT_EQ(set.size(), 2u);
}

TEST(Device, EqualityLooksAtEveryField) {
    const Device a("Tamberlyx", "Tamberlyx", "USB", "", 0x37, 0x356C);
    Device b = a;
    b.VID = 1;
    EXPECT_NE(a, b);
    b = a;
    b.label = "x";
    EXPECT_NE(a, b);
}

TEST(Device, PlaceholderAndNameOnly) {
    const Device p = Device::placeholder();
    EXPECT_EQ(p.name, "");
    EXPECT_EQ(p.label, "");
    EXPECT_EQ(p.type, "");
    EXPECT_EQ(p.ip, "");
    EXPECT_EQ(p.PID, 0);
    EXPECT_EQ(p.VID, 0);
    const Device n("Old");
    EXPECT_EQ(n.name, "Old");
    EXPECT_EQ(n.type, "");
    EXPECT_EQ(n.PID, 0);
    EXPECT_EQ(n.VID, 0x0EFD);
    EXPECT_EQ(p.id.uuidString().size(), 36u);
}
