#include "monitor_app/TonerView.h"

#include "platform/widgets/Text.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace tbx::monitorapp {

QColor gaugeColor() {
    return QColor::fromRgbF(0.28834283f, 0.96862745f, 0.13993031f, 1.0f);
}

TonerArc tonerArc(int toner) {
    const double fraction = std::clamp(static_cast<double>(toner) / 100.0, 0.0, 1.0);
    return TonerArc{
        .fraction = fraction,
        .startAngle16 = 90 * 16,
        .spanAngle16 = -static_cast<int>(std::lround(fraction * 360.0 * 16.0)),
        .text = QString::number(toner) + QLatin1Char('%'),
    };
}

TonerRing::TonerRing(QWidget* parent) : QWidget(parent) {
    setFixedSize(kRingBlock, kRingBlock);
}

void TonerRing::setToner(int toner) {
    toner_ = toner;
    update();
}

void TonerRing::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // The stroke is centred on the circle inscribed in the 80 x 80 frame.
    const QRectF ring(kRingPadding, kRingPadding, kRingSize, kRingSize);

    QPen track(QColor(0, 0, 0, 26), kRingLineWidth, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    painter.setPen(track);
    painter.drawEllipse(ring);

    const TonerArc arc = tonerArc(toner_);
    if (arc.spanAngle16 != 0) {
        // A soft shadow of the arc, 3 points lower: widening strokes of faint
        // gauge colour stand in for the blur.
        QColor shadow = gaugeColor();
        for (double widen : {6.0, 3.0, 0.0}) {
            shadow.setAlphaF(0.035f);
            painter.setPen(QPen(shadow, kRingLineWidth + widen, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            painter.drawArc(ring.translated(0, 3), arc.startAngle16, arc.spanAngle16);
        }
        painter.setPen(QPen(gaugeColor(), kRingLineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawArc(ring, arc.startAngle16, arc.spanAngle16);
    }

    QFont font = painter.font();
    font.setPixelSize(14);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(rect(), Qt::AlignCenter, arc.text);
}

TonerView::TonerView(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(5);
    caption_ = new QLabel(widgets::localizedText("tonerInfo"), this);
    QFont font = caption_->font();
    font.setPixelSize(10);
    caption_->setFont(font);
    caption_->setContentsMargins(0, 10, 0, 0);
    ring_ = new TonerRing(this);
    layout->addWidget(caption_, 0, Qt::AlignLeft);
    layout->addWidget(ring_, 0, Qt::AlignLeft);
}

void TonerView::setToner(int toner) {
    ring_->setToner(toner);
}

} // namespace tbx::monitorapp
