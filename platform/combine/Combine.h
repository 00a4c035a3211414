// Stands in for Combine's observable objects: `ObservableObject` with its
// `objectWillChange` publisher, `Published` fields with their `$field`
// publishers, and `AnyCancellable` subscriptions. Plain C++ callbacks, no Qt:
// a model built on it can be observed by any view technology (a Qt view
// subscribes and schedules its repaint).
// As on the platform, a published field announces every assignment, equal
// values included, BEFORE the new value is stored: first the owner's
// objectWillChange, then the field's own subscribers with the new value.
// Everything runs on the thread that assigns (the main thread for models); no
// locks. Left out: schedulers, operators, back-pressure, completion.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace tbx::combine {

// Ends its subscription when cancelled or destroyed (AnyCancellable).
class AnyCancellable {
public:
    AnyCancellable() = default;
    explicit AnyCancellable(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    AnyCancellable(AnyCancellable&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}
    AnyCancellable& operator=(AnyCancellable&& other) noexcept {
        if (this != &other) {
            cancel();
            cancel_ = std::exchange(other.cancel_, nullptr);
        }
        return *this;
    }
    AnyCancellable(const AnyCancellable&) = delete;
    AnyCancellable& operator=(const AnyCancellable&) = delete;
    ~AnyCancellable() { cancel(); }

    void cancel() {
        if (auto c = std::exchange(cancel_, nullptr)) {
            c();
        }
    }

private:
    std::function<void()> cancel_;
};

// A publisher that hands each value to its subscribers (PassthroughSubject).
// Subscribers may subscribe or cancel from inside a callback; a subscriber
// cancelled during a send is not called afterwards. The subject may die
// before its subscriptions.
template <typename... Values>
class PassthroughSubject {
public:
    using Handler = std::function<void(const Values&...)>;

    PassthroughSubject() = default;
    PassthroughSubject(const PassthroughSubject&) = delete;
    PassthroughSubject& operator=(const PassthroughSubject&) = delete;

    [[nodiscard]] AnyCancellable sink(Handler handler) {
        auto entry = std::make_shared<Entry>(Entry{std::move(handler), true});
        state_->entries.push_back(entry);
        std::weak_ptr<State> weakState = state_;
        std::weak_ptr<Entry> weakEntry = entry;
        return AnyCancellable([weakState, weakEntry] {
            auto e = weakEntry.lock();
            if (!e) {
                return;
            }
            e->active = false;
            if (auto s = weakState.lock()) {
                std::erase_if(s->entries, [&](const auto& x) { return x == e; });
            }
        });
    }

    void send(const Values&... values) {
        auto keep = state_; // a handler may destroy the subject's owner
        const auto snapshot = keep->entries;
        for (const auto& entry : snapshot) {
            if (entry->active) {
                entry->handler(values...);
            }
        }
    }

    std::size_t subscriberCount() const { return state_->entries.size(); }

private:
    struct Entry {
        Handler handler;
        bool active;
    };
    struct State {
        std::vector<std::shared_ptr<Entry>> entries;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

class ObservableObject {
public:
    ObservableObject() = default;
    ObservableObject(const ObservableObject&) = delete;
    ObservableObject& operator=(const ObservableObject&) = delete;
    virtual ~ObservableObject() = default;

    // Sent before any published field of the object changes.
    PassthroughSubject<> objectWillChange;
};

// A published field of an ObservableObject.
template <typename T>
class Published {
public:
    Published(ObservableObject& owner, T initial) : owner_(owner), value_(std::move(initial)) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& get() const { return value_; }
    operator const T&() const { return value_; }
    const T* operator->() const { return &value_; }

    Published& operator=(T value) {
        owner_.objectWillChange.send();
        subject_.send(value);
        value_ = std::move(value);
        return *this;
    }

    // The `$field` publisher: the handler gets the current value at once, then
    // every newly assigned value (before it is stored).
    [[nodiscard]] AnyCancellable sink(std::function<void(const T&)> handler) {
        handler(value_);
        return subject_.sink(std::move(handler));
    }

private:
    ObservableObject& owner_;
    T value_;
    PassthroughSubject<T> subject_;
};

} // namespace tbx::combine
