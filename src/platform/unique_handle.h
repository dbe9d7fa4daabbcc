#pragma once

#include <utility>

#include "platform/kernel.h"

namespace telvo::platform {

// Owns one kernel handle and closes it with CloseHandle on every path.
class UniqueHandle {
public:
    UniqueHandle() = default;
    UniqueHandle(Kernel& kernel, Handle handle) : kernel_(&kernel), handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept
        : kernel_(other.kernel_), handle_(std::exchange(other.handle_, kNullHandle)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset();
            kernel_ = other.kernel_;
            handle_ = std::exchange(other.handle_, kNullHandle);
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Handle get() const { return handle_; }
    explicit operator bool() const { return IsUsable(handle_); }

    // Gives the handle up without closing it: the process keeps it until it ends.
    Handle release() { return std::exchange(handle_, kNullHandle); }

    void reset() {
        if (kernel_ != nullptr && IsUsable(handle_)) {
            // A failed close leaves nothing to undo; the handle is gone either way.
            (void)kernel_->CloseHandle(handle_);
        }
        handle_ = kNullHandle;
    }

private:
    Kernel* kernel_ = nullptr;
    Handle handle_ = kNullHandle;
};

}  // namespace telvo::platform
