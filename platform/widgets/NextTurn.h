// Stands in for the declarative UI framework's redraw after a published change:
// the models announce a change before they store it, so a view draws on the
// next turn of the event loop, once however many changes came before it.
// Left out: anything but one action per owner.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <utility>

namespace tbx::widgets {

class NextTurn {
public:
    // `action` runs in the event loop of `owner`'s thread, never after `owner` is gone.
    NextTurn(QObject* owner, std::function<void()> action) : owner_(owner), action_(std::move(action)) {}

    void request() {
        if (pending_) {
            return;
        }
        pending_ = true;
        QTimer::singleShot(0, owner_, [this] {
            pending_ = false;
            action_();
        });
    }

private:
    QObject* owner_;
    std::function<void()> action_;
    bool pending_ = false;
};

} // namespace tbx::widgets
