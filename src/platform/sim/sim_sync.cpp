#include "platform/sim/sim_sync.h"

#include "common/try.h"
#include "platform/sim/sim_host.h"
#include "winformat/security_descriptor.h"

namespace telvo::platform::sim {

namespace {

// A new mutex's descriptor: what the creator gave, with the token's owner,
// primary group and default DACL for what it left out. A named object's
// directory has nothing to inherit, so the default DACL is all there is.
SysResult<std::vector<std::uint8_t>> NewMutexDescriptor(std::span<const std::uint8_t> requested,
                                                        const SimToken& token) {
    winformat::SecurityDescriptor descriptor;
    if (!requested.empty()) {
        auto parsed = winformat::SecurityDescriptor::ParseSelfRelative(requested);
        if (!parsed) return Win32Failure(win32_error::kInvalidSecurityDescr);
        descriptor = std::move(*parsed);
    }
    if (descriptor.owner && !token.MayAssignOwner(*descriptor.owner)) {
        return Win32Failure(win32_error::kInvalidOwner);
    }
    if (!descriptor.owner) descriptor.owner = token.owner;
    if (!descriptor.group) descriptor.group = token.primary_group;
    if (!descriptor.dacl.present() && !token.default_dacl.empty()) {
        auto dacl = winformat::Acl::Parse(token.default_dacl);
        if (!dacl) return Win32Failure(win32_error::kInvalidAcl);
        descriptor.dacl = winformat::AclSlot(std::move(*dacl));
    }
    return descriptor.ToSelfRelative();
}

// Opening an existing mutex: the access asked for against its descriptor.
// One planted without any descriptor has no security: anyone may open it.
SysResult<void> CheckMutexAccess(const SimMutex& mutex, const SimToken& token, std::uint32_t desired_access) {
    if (mutex.security_descriptor.empty()) return {};
    auto descriptor = winformat::SecurityDescriptor::ParseSelfRelative(mutex.security_descriptor);
    if (!descriptor) return Win32Failure(win32_error::kAccessDenied);
    auto decision = EvaluateObjectAccess(*descriptor, token.identity, MapGenericBits(desired_access, kMutexGenericMapping),
                                   kMutexGenericMapping);
    if (!decision || !decision->granted) return Win32Failure(win32_error::kAccessDenied);
    return {};
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
                                         const std::u16string& name, std::uint32_t desired_access) {
    const SimToken& token = host_.security().ProcessToken();
    std::shared_ptr<SimMutex> mutex;
    bool existed = false;
    {
        std::lock_guard lock(mutex_);
        auto& slot = named_[Key(name)];
        mutex = slot.lock();
        existed = mutex != nullptr;
        if (existed) {
            // The caller's descriptor is ignored; the existing one decides.
            TELVO_TRY(CheckMutexAccess(*mutex, token, desired_access));
        } else {
            TELVO_TRY_ASSIGN(auto descriptor, NewMutexDescriptor(security_descriptor, token));
            mutex = std::make_shared<SimMutex>(host_, name);
            mutex->security_descriptor = std::move(descriptor);
            slot = mutex;
        }
    }
    // The initial ownership is not granted to a caller that merely opened it.
    if (initial_owner && !existed) (void)mutex->TryWait();
    // A new object's creator gets what it asked for; an existing one was checked.
    return CreatedObject{host_.handles().Add(mutex, MapGenericBits(desired_access, kMutexGenericMapping)), existed};
}

SysResult<CreatedObject> SimSync::CreateMutexExW(std::span<const std::uint8_t> security_descriptor, bool,
                                                 const std::u16string& name, std::uint32_t flags,
                                                 std::uint32_t desired_access) {
    TELVO_SIM_ENTER(host_, "CreateMutexExW", {flags, desired_access});
    return Create(security_descriptor, (flags & mutex_flag::kInitialOwner) != 0, name, desired_access);
}

SysResult<CreatedObject> SimSync::CreateMutexW(std::span<const std::uint8_t> security_descriptor, bool,
                                               bool initial_owner, const std::u16string& name) {
    TELVO_SIM_ENTER(host_, "CreateMutexW", {initial_owner});
    return Create(security_descriptor, initial_owner, name, kMutexAllAccess);
}

SysResult<Handle> SimSync::OpenMutexW(std::uint32_t desired_access, bool, const std::u16string& name) {
    TELVO_SIM_ENTER(host_, "OpenMutexW", {desired_access});
    auto mutex = FindMutex(name);
    if (!mutex) return std::unexpected(SysError::Win32(win32_error::kFileNotFound));
    TELVO_TRY(CheckMutexAccess(*mutex, host_.security().ProcessToken(), desired_access));
    return host_.handles().Add(mutex, MapGenericBits(desired_access, kMutexGenericMapping));
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
    auto mutex = std::make_shared<SimMutex>(host_, name);
    mutex->security_descriptor = std::move(security_descriptor);
    named_[Key(name)] = mutex;
    return mutex;
}

void SimSync::AbandonMutexesOf(std::uint32_t process_id) {
    std::lock_guard lock(mutex_);
    for (auto& [name, weak] : named_) {
        if (auto mutex = weak.lock()) mutex->AbandonByProcess(process_id);
    }
}

std::vector<std::shared_ptr<SimMutex>> SimSync::Mutexes() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<SimMutex>> alive;
    for (const auto& [key, weak] : named_) {
        if (auto mutex = weak.lock()) alive.push_back(std::move(mutex));
    }
    return alive;
}

std::shared_ptr<SimMutex> SimSync::FindMutex(const std::u16string& name) const {
    std::lock_guard lock(mutex_);
    auto it = named_.find(Key(name));
    return it == named_.end() ? nullptr : it->second.lock();
}

}  // namespace telvo::platform::sim
