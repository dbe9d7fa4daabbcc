#include "platform/sim/handle_table.h"

namespace telvo::platform::sim {

// One lock for the handle counts of all objects, since an object can be in
// the tables of several processes.
std::mutex& HandleTable::HandleCountMutex() {
    static std::mutex mutex;
    return mutex;
}

Handle HandleTable::Add(std::shared_ptr<SimObject> object, std::uint32_t granted_access) {
    std::lock_guard lock(mutex_);
    const Handle handle{next_};
    next_ += 4;  // Windows hands out multiples of four
    Retain(*object);
    objects_.emplace(handle, Entry{std::move(object), 0, granted_access});
    if (objects_.size() > peak_) peak_ = objects_.size();
    return handle;
}

std::shared_ptr<SimObject> HandleTable::Find(Handle handle) const {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second.object;
}

std::optional<std::uint32_t> HandleTable::GrantedAccess(Handle handle) const {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(handle);
    if (it == objects_.end()) return std::nullopt;
    return it->second.granted_access;
}

bool HandleTable::Holds(Handle handle, std::uint32_t rights) const {
    return (GrantedAccess(handle).value_or(0) & rights) == rights;
}

bool HandleTable::HoldsAnyOf(Handle handle, std::uint32_t any) const {
    return (GrantedAccess(handle).value_or(0) & any) != 0;
}

void HandleTable::Retain(SimObject& object) {
    std::lock_guard count(HandleCountMutex());
    ++object.open_handles_;
}

void HandleTable::Release(const std::shared_ptr<SimObject>& object) {
    bool last = false;
    {
        std::lock_guard count(HandleCountMutex());
        last = --object->open_handles_ == 0;
    }
    if (last) object->OnLastHandleClosed();
}

std::optional<std::uint32_t> HandleTable::Flags(Handle handle) const {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(handle);
    if (it == objects_.end()) return std::nullopt;
    return it->second.flags;
}

bool HandleTable::SetFlags(Handle handle, std::uint32_t mask, std::uint32_t flags) {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(handle);
    if (it == objects_.end()) return false;
    it->second.flags = (it->second.flags & ~mask) | (flags & mask);
    return true;
}

std::map<Handle, std::shared_ptr<SimObject>> HandleTable::WithFlag(std::uint32_t flag) const {
    std::lock_guard lock(mutex_);
    std::map<Handle, std::shared_ptr<SimObject>> found;
    for (const auto& [handle, entry] : objects_) {
        if (entry.flags & flag) found.emplace(handle, entry.object);
    }
    return found;
}

bool HandleTable::Remove(Handle handle) {
    std::shared_ptr<SimObject> released;
    {
        std::lock_guard lock(mutex_);
        auto it = objects_.find(handle);
        if (it == objects_.end()) return false;
        released = std::move(it->second.object);
        objects_.erase(it);
    }
    // Outside the table's lock: the object may act on other objects.
    Release(released);
    return true;
}

void HandleTable::CloseAll() {
    std::vector<Handle> open;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        for (const auto& [handle, object] : objects_) open.push_back(handle);
    }
    for (const Handle handle : open) Remove(handle);
}

bool HandleTable::Closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

std::size_t HandleTable::OpenCount() const {
    std::lock_guard lock(mutex_);
    return objects_.size();
}

std::size_t HandleTable::PeakCount() const {
    std::lock_guard lock(mutex_);
    return peak_;
}

void HandleTable::ResetPeak() {
    std::lock_guard lock(mutex_);
    peak_ = objects_.size();
}

}  // namespace telvo::platform::sim
