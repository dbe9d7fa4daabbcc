#include "platform/sim/sim_kernel.h"

#include <chrono>
#include <thread>

#include "platform/sim/sim_host.h"
#include "platform/system.h"
#include "platform/sim/sim_null_device.h"

namespace telvo::platform::sim {

SysResult<void> SimKernel::CloseHandle(Handle handle) {
    TELVO_SIM_ENTER(host_, "CloseHandle", {static_cast<std::uint64_t>(handle)});
    if (!host_.handles().Remove(handle)) return Win32Failure(win32_error::kInvalidHandle);
    return {};
}

SysResult<std::uint32_t> SimKernel::ReadFile(Handle handle, std::span<std::byte> buffer) {
    TELVO_SIM_ENTER(host_, "ReadFile");
    if (auto file = host_.handles().FindAs<SimFileObject>(handle)) return file->Read(buffer.data(), buffer.size());
    if (auto device = host_.handles().FindAs<SimNullDevice>(handle)) return device->Read(buffer.size());
    auto input = host_.handles().FindAs<SimInputStream>(handle);
    if (!input) return Win32Failure(win32_error::kInvalidHandle);
    return input->Read(buffer.data(), buffer.size());
}

SysResult<std::uint32_t> SimKernel::WriteFile(Handle handle, std::span<const std::byte> bytes) {
    TELVO_SIM_ENTER(host_, "WriteFile");
    if (auto file = host_.handles().FindAs<SimFileObject>(handle)) return file->Write(bytes.data(), bytes.size());
    if (auto device = host_.handles().FindAs<SimNullDevice>(handle)) return device->Write(bytes.size());
    auto output = host_.handles().FindAs<SimOutputStream>(handle);
    if (!output) return Win32Failure(win32_error::kInvalidHandle);
    return output->Write(bytes.data(), bytes.size());
}

namespace {
constexpr auto kInfiniteWaitRealLimit = std::chrono::seconds(60);
}  // namespace

SysResult<std::uint32_t> SimKernel::WaitForSingleObject(Handle handle, std::uint32_t milliseconds) {
    TELVO_SIM_ENTER(host_, "WaitForSingleObject");
    auto waitable = host_.handles().FindAs<SimWaitable>(handle);
    if (!waitable) return Win32Failure(win32_error::kInvalidHandle);
    // A wait needs SYNCHRONIZE on the handle (windows-notes 10.3, 11.3).
    if (!host_.handles().Holds(handle, file_access::kSynchronize)) return Win32Failure(win32_error::kAccessDenied);
    if (auto satisfied = waitable->TryWait()) return *satisfied;
    if (auto thread = std::dynamic_pointer_cast<SimThread>(waitable)) {
        if (auto ended = thread->WaitFor(milliseconds)) return *ended;
        host_.clock().Advance(milliseconds);
        return wait_result::kTimeout;
    }
    // Nothing else runs on the virtual clock while this thread waits: the
    // object stays unsignalled for the whole limit, unless it signals itself
    // within it (a terminated process that takes a while to die).
    const std::uint64_t start = host_.clock().Now();
    const auto signalled_in_time = [&]() -> std::optional<std::uint32_t> {
        if (auto at = waitable->SignalledAt(); at && (milliseconds == kInfinite || *at <= start + milliseconds)) {
            if (*at > host_.clock().Now()) host_.clock().Advance(*at - host_.clock().Now());
            return waitable->TryWait();
        }
        return std::nullopt;
    };
    if (auto satisfied = signalled_in_time()) return *satisfied;
    if (milliseconds == kInfinite) {
        // Such a wait never times out on Windows: only another OS thread (a
        // process's controller going away, a test) can end it here. A real
        // minute without that is a deadlock in the caller.
        const auto deadline = std::chrono::steady_clock::now() + kInfiniteWaitRealLimit;
        while (std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (auto satisfied = signalled_in_time()) return *satisfied;
        }
    }
    host_.clock().Advance(milliseconds);
    return wait_result::kTimeout;
}

SysResult<ObjectBasicInformation> SimKernel::NtQueryObject(Handle handle) {
    TELVO_SIM_ENTER(host_, "NtQueryObject");
    auto granted = host_.handles().GrantedAccess(handle);
    if (!granted) return std::unexpected(SysError::NtStatus(ntstatus::kInvalidHandle));
    return ObjectBasicInformation{0, *granted, 1};
}

bool SimKernel::CompareObjectHandles(Handle first, Handle second) {
    if (host_.Enter("CompareObjectHandles").failure()) return false;
    auto one = host_.handles().Find(first);
    return one != nullptr && one == host_.handles().Find(second);
}

void SimKernel::Sleep(std::uint32_t milliseconds) {
    (void)host_.Enter("Sleep");
    host_.clock().Advance(milliseconds);
    if (sleep_hook_) sleep_hook_(milliseconds);
}

std::uint64_t SimKernel::GetTickCount64() {
    (void)host_.Enter("GetTickCount64");
    return host_.clock().Now();
}

}  // namespace telvo::platform::sim
