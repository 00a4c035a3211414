// The toner gauge of the status view: the caption "tonerInfo" over a ring whose
// green arc runs clockwise from 12 o'clock over the toner fraction, with the
// printer's value as a percentage in the middle. The arc is drawn for the
// fraction clamped to 0..1 (a one-byte level of 255 fills the ring, a negative
// one draws nothing) while the text keeps the value as the printer sent it.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

class QLabel;

namespace tbx::monitorapp {

// Geometry of the ring block: an 80 x 80 ring inside 40 points of padding.
inline constexpr int kRingSize = 80;
inline constexpr int kRingPadding = 40;
inline constexpr int kRingBlock = kRingSize + 2 * kRingPadding;
inline constexpr double kRingLineWidth = 5.0;

// The gauge colour: about 74, 247, 36.
QColor gaugeColor();

struct TonerArc {
    double fraction;  // part of the full turn that the arc covers, 0..1
    int startAngle16; // Qt angle in 1/16 degree: 12 o'clock
    int spanAngle16;  // negative: clockwise on screen
    QString text;     // "37%", "255%", "-5%"
};

TonerArc tonerArc(int toner);

// The ring with its arc and percentage, painted for one toner value.
class TonerRing : public QWidget {
public:
    explicit TonerRing(QWidget* parent = nullptr);
    void setToner(int toner);
    int toner() const { return toner_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int toner_ = 0;
};

class TonerView : public QWidget {
public:
    explicit TonerView(QWidget* parent = nullptr);
    // Redraws arc and text together from the model's toner level.
    void setToner(int toner);
    TonerRing* ring() const { return ring_; }
    QLabel* caption() const { return caption_; }

private:
    QLabel* caption_;
    TonerRing* ring_;
};

} // namespace tbx::monitorapp
