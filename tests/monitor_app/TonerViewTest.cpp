// The toner gauge: arc geometry and text for a toner value, and the pixels of
// the drawn ring (sampled on the ring's circle from a grab of the widget).
#include "monitor_app/TonerView.h"

#include <QImage>
#include <cmath>
#include <gtest/gtest.h>
#include <numbers>
#include <vector>

namespace tbx::monitorapp {
namespace {

TEST(TonerArcTest, FractionSpanAndText) {
    const struct {
        int toner;
        double fraction;
        int span16;
        const char* text;
    } cases[] = {
        {0, 0.0, 0, "0%"},         {5, 0.05, -288, "5%"},   {25, 0.25, -1440, "25%"},
        {37, 0.37, -2131, "37%"},  {50, 0.5, -2880, "50%"}, {100, 1.0, -5760, "100%"},
        {255, 1.0, -5760, "255%"}, {-5, 0.0, 0, "-5%"},     {101, 1.0, -5760, "101%"},
    };
    for (const auto& c : cases) {
        const TonerArc arc = tonerArc(c.toner);
        EXPECT_DOUBLE_EQ(arc.fraction, c.fraction) << c.toner;
        EXPECT_EQ(arc.startAngle16, 90 * 16) << c.toner; // 12 o'clock
        EXPECT_EQ(arc.spanAngle16, c.span16) << c.toner; // clockwise
        EXPECT_EQ(arc.text, c.text) << c.toner;
    }
}

// Whether the ring is painted in the gauge colour at `degrees` clockwise from 12 o'clock.
bool greenAt(const QImage& image, double degrees) {
    const double radians = degrees * std::numbers::pi / 180.0;
    const double centre = kRingBlock / 2.0;
    const double radius = kRingSize / 2.0;
    const int x = static_cast<int>(std::lround(centre + radius * std::sin(radians)));
    const int y = static_cast<int>(std::lround(centre - radius * std::cos(radians)));
    const QColor pixel = image.pixelColor(x, y);
    return pixel.green() > 180 && pixel.red() < 160 && pixel.blue() < 140;
}

TEST(TonerRingPixelsTest, ArcCoversTheClampedFractionFromTwelveClockwise) {
    // Angles well inside each quadrant, clear of the round caps.
    const std::vector<double> q1{15, 45, 75}, q2{105, 135, 165}, q3{195, 225, 255}, q4{285, 315, 345};
    const struct {
        int toner;
        bool quadrants[4];
    } cases[] = {
        {0, {false, false, false, false}},  {25, {true, false, false, false}},
        {50, {true, true, false, false}},   {75, {true, true, true, false}},
        {100, {true, true, true, true}},    {255, {true, true, true, true}},
        {-5, {false, false, false, false}},
    };
    for (const auto& c : cases) {
        TonerRing ring;
        ring.setToner(c.toner);
        const QImage image = ring.grab().toImage();
        ASSERT_EQ(image.width(), kRingBlock);
        const std::vector<double>* quadrants[] = {&q1, &q2, &q3, &q4};
        for (int q = 0; q < 4; ++q) {
            for (double angle : *quadrants[q]) {
                EXPECT_EQ(greenAt(image, angle), c.quadrants[q]) << "toner " << c.toner << " at " << angle;
            }
        }
    }
}

} // namespace
} // namespace tbx::monitorapp
