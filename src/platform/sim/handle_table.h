#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/sim/sim_object.h"
#include "platform/types.h"

namespace telvo::platform::sim {

// A simulated process's handle table: each handle's object and its
// HANDLE_FLAG_* bits. Tests read the number of open handles to prove that
// every path closes what it opened.
class HandleTable {
public:
    // A handle with the access its open was granted; objects whose calls
    // do not check it take every right.
    Handle Add(std::shared_ptr<SimObject> object, std::uint32_t granted_access = kEveryRight);
    std::shared_ptr<SimObject> Find(Handle handle) const;
    // The access an open handle was granted (nothing when it is not open).
    std::optional<std::uint32_t> GrantedAccess(Handle handle) const;
    // Whether the open handle was granted every right of `rights`, or one
    // of `any`: what a call that needs them checks (ERROR_ACCESS_DENIED).
    bool Holds(Handle handle, std::uint32_t rights) const;
    bool HoldsAnyOf(Handle handle, std::uint32_t any) const;
    // A handle to `object` held outside any handle table (a simulated
    // process's inherited handles) counts as one of its handles from
    // Retain to Release: the object's last handle may be such a one.
    static void Retain(SimObject& object);
    static void Release(const std::shared_ptr<SimObject>& object);
    // HANDLE_FLAG_* of an open handle (nothing when it is not open).
    std::optional<std::uint32_t> Flags(Handle handle) const;
    bool SetFlags(Handle handle, std::uint32_t mask, std::uint32_t flags);
    // The open handles whose flags hold `flag`, with their objects.
    std::map<Handle, std::shared_ptr<SimObject>> WithFlag(std::uint32_t flag) const;
    template <class T>
    std::shared_ptr<T> FindAs(Handle handle) const {
        return std::dynamic_pointer_cast<T>(Find(handle));
    }
    bool Remove(Handle handle);
    // Every handle closes, as when the process ends. The table stays closed:
    // a handle a call adds later is still held, and closes when that call
    // returns (SimCall), since on Windows no thread of an ended process runs on.
    void CloseAll();
    bool Closed() const;
    std::size_t OpenCount() const;
    std::size_t PeakCount() const;
    void ResetPeak();

    static constexpr std::uint32_t kEveryRight = 0xFFFFFFFF;

private:
    static std::mutex& HandleCountMutex();

    mutable std::mutex mutex_;
    struct Entry {
        std::shared_ptr<SimObject> object;
        std::uint32_t flags = 0;
        std::uint32_t granted_access = kEveryRight;
    };
    std::map<Handle, Entry> objects_;
    std::uint64_t next_ = 0x100;
    std::size_t peak_ = 0;
    bool closed_ = false;
};

}  // namespace telvo::platform::sim
