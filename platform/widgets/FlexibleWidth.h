// Stands in for the declarative UI framework's flexible frame around a control
// (`frame(minWidth:idealWidth:maxWidth:)`): the control asks its layout for its
// ideal width, never takes more, and gives way down to its minimum when the
// window is narrow, so the layout never has to lay it over a neighbour. A
// picker narrower than its current item shows the item's text elided ("…");
// its list of items still opens as wide as they need.
// Left out: heights and the frame's alignment.
#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <algorithm>

namespace tbx::widgets {

template <class Control>
class FlexibleWidth : public Control {
public:
    FlexibleWidth(int minimumWidth, int idealWidth, QWidget* parent = nullptr)
        : Control(parent), minimum_(std::min(minimumWidth, idealWidth)), ideal_(idealWidth) {
        this->setMaximumWidth(idealWidth);
        this->setSizePolicy(QSizePolicy::Preferred, this->sizePolicy().verticalPolicy());
    }

    QSize sizeHint() const override { return {ideal_, Control::sizeHint().height()}; }
    QSize minimumSizeHint() const override { return {minimum_, Control::minimumSizeHint().height()}; }

private:
    int minimum_;
    int ideal_;
};

using FlexibleField = FlexibleWidth<QLineEdit>;

class FlexiblePicker : public FlexibleWidth<QComboBox> {
public:
    using FlexibleWidth::FlexibleWidth;

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace tbx::widgets
