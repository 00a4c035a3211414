// The owner of one reference to a platform object reached through a function
// table (a plug-in, a device or an interface user client): a pointer to a
// pointer to the table whose `AddRef` and `Release` entries count references.
// It is move-only; its destructor gives the reference back, and `release()`
// does so early (a second call, or one on an empty owner, does nothing). A
// handle whose table pointer is absent makes no call into it.
#pragma once

#include <utility>

namespace tbx {

template <class Table>
class OwnedHandle {
public:
    using Handle = Table**;

    OwnedHandle() = default;
    // Takes over one reference the caller holds.
    explicit OwnedHandle(Handle adopted) noexcept : handle_(adopted) {}
    OwnedHandle(OwnedHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            release();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { release(); }

    Handle handle() const { return handle_; }
    // False for an empty owner (never given a handle, moved from or released).
    explicit operator bool() const { return handle_ != nullptr; }

    // Gives the reference back (the table's `Release`); the owner is empty after.
    void release() noexcept {
        Handle handle = std::exchange(handle_, nullptr);
        if (handle != nullptr && *handle != nullptr) {
            (*handle)->Release(handle);
        }
    }

protected:
    bool hasTable() const { return handle_ != nullptr && *handle_ != nullptr; }
    // One more reference to the same object (the table's `AddRef`), for a second owner.
    Handle addReference() const {
        if (hasTable()) {
            (*handle_)->AddRef(handle_);
        }
        return handle_;
    }

    Handle handle_ = nullptr;
};

} // namespace tbx
