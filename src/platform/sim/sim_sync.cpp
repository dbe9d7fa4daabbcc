#include "platform/sim/sim_sync.h"

#include "platform/sim/sim_host.h"
#include "winformat/security_descriptor.h"

namespace telvo::platform::sim {

namespace {

// A new object's descriptor takes the creator's token user as owner (and
// primary group) where the caller gave none, as the object manager does.
std::vector<std::uint8_t> WithDefaultOwner(std::span<const std::uint8_t> requested, const winformat::Sid& user) {
    winformat::SecurityDescriptor descriptor;
    if (!requested.empty()) {
        auto parsed = winformat::SecurityDescriptor::ParseSelfRelative(requested);
        if (!parsed) return {requested.begin(), requested.end()};
        descriptor = std::move(*parsed);
    }
    if (!descriptor.owner) descriptor.owner = user;
    if (!descriptor.group) descriptor.group = user;
    return descriptor.ToSelfRelative();
}

}  // namespace

std::u16string SimSync::Key(const std::u16string& name) {
    std::u16string key = name;
    for (auto& c : key) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return key;
}

SysResult<CreatedObject> SimSync::Create(std::span<const std::uint8_t> security_descriptor, bool initial_owner,
                                         const std::u16string& name) {
    std::shared_ptr<SimMutex> mutex;
    bool existed = false;
    {
        std::lock_guard lock(mutex_);
        auto& slot = named_[Key(name)];
        mutex = slot.lock();
        existed = mutex != nullptr;
        if (!mutex) {
            mutex = std::make_shared<SimMutex>(name);
            mutex->security_descriptor = WithDefaultOwner(security_descriptor, host_.security().ProcessToken().owner);
            slot = mutex;
        }
    }
    // An existing mutex keeps its descriptor, and the initial ownership is
    // not granted to a caller that merely opened it.
    if (initial_owner && !existed) (void)mutex->TryWait();
    return CreatedObject{host_.handles().Add(mutex), existed};
}

SysResult<CreatedObject> SimSync::CreateMutexExW(std::span<const std::uint8_t> security_descriptor, bool,
                                                 const std::u16string& name, std::uint32_t flags,
                                                 std::uint32_t desired_access) {
    TELVO_SIM_ENTER(host_, "CreateMutexExW", {flags, desired_access});
    return Create(security_descriptor, (flags & mutex_flag::kInitialOwner) != 0, name);
}

SysResult<CreatedObject> SimSync::CreateMutexW(std::span<const std::uint8_t> security_descriptor, bool,
                                               bool initial_owner, const std::u16string& name) {
    TELVO_SIM_ENTER(host_, "CreateMutexW", {initial_owner});
    return Create(security_descriptor, initial_owner, name);
}

SysResult<Handle> SimSync::OpenMutexW(std::uint32_t, bool, const std::u16string& name) {
    TELVO_SIM_ENTER(host_, "OpenMutexW");
    auto mutex = FindMutex(name);
    if (!mutex) return std::unexpected(SysError::Win32(win32_error::kFileNotFound));
    return host_.handles().Add(mutex);
}

SysResult<void> SimSync::ReleaseMutex(Handle handle) {
    TELVO_SIM_ENTER(host_, "ReleaseMutex");
    auto mutex = host_.handles().FindAs<SimMutex>(handle);
    if (!mutex) return std::unexpected(SysError::Win32(win32_error::kInvalidHandle));
    if (!mutex->Release()) return std::unexpected(SysError::Win32(win32_error::kNotOwner));
    return {};
}

std::shared_ptr<SimMutex> SimSync::PlantMutex(const std::u16string& name,
                                              std::vector<std::uint8_t> security_descriptor) {
    std::lock_guard lock(mutex_);
    auto mutex = std::make_shared<SimMutex>(name);
    mutex->security_descriptor = std::move(security_descriptor);
    named_[Key(name)] = mutex;
    return mutex;
}

void SimSync::AbandonOwnedMutexes() {
    std::lock_guard lock(mutex_);
    for (auto& [name, weak] : named_) {
        if (auto mutex = weak.lock()) mutex->AbandonByOwnProcess();
    }
}

std::shared_ptr<SimMutex> SimSync::FindMutex(const std::u16string& name) const {
    std::lock_guard lock(mutex_);
    auto it = named_.find(Key(name));
    return it == named_.end() ? nullptr : it->second.lock();
}

}  // namespace telvo::platform::sim
