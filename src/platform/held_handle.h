#pragma once

#include <utility>

#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace telvo::platform {

// Owns a handle that holds something (a mutex, a locked byte range) and gives
// it back through the seam: dropping the guard calls `Release` on the handle,
// then closes it. A moved-from or empty guard releases nothing.
template <SysResult<void> (*Release)(Platform&, Handle)>
class HeldHandle {
public:
    HeldHandle(Platform& platform, UniqueHandle handle) : platform_(&platform), handle_(std::move(handle)) {}
    HeldHandle(HeldHandle&&) noexcept = default;
    HeldHandle& operator=(HeldHandle&&) = delete;
    HeldHandle(const HeldHandle&) = delete;
    HeldHandle& operator=(const HeldHandle&) = delete;
    ~HeldHandle() {
        // A failed release is not retried: a guard being dropped has no one
        // to report to.
        if (handle_) (void)Release(*platform_, handle_.get());
    }

    Handle get() const { return handle_.get(); }

private:
    Platform* platform_;
    UniqueHandle handle_;
};

}  // namespace telvo::platform
