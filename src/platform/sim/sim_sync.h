#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "platform/sim/sim_mutex.h"
#include "platform/sync.h"

namespace telvo::platform::sim {

class SimHost;

// Named mutexes in the object namespace. A mutex exists while some handle to
// it is open, in this process or, for mutexes a test plants, in another one.
// Assumed: names compare case-insensitively (the Win32 calls open names with
// OBJ_CASE_INSENSITIVE). Opening an existing mutex, by OpenMutexW or by a
// create call that finds the name taken, checks the access asked for
// (MUTEX_ALL_ACCESS for CreateMutexW) against the existing descriptor with
// the caller's token: ERROR_ACCESS_DENIED and no handle when refused. A new
// mutex takes the caller's owner, primary group and default DACL where its
// descriptor has none; an owner the token may not assign is
// ERROR_INVALID_OWNER.
class SimSync final : public Sync {
public:
    explicit SimSync(SimHost& host) : host_(host) {}

    SysResult<CreatedObject> CreateMutexExW(std::span<const std::uint8_t> security_descriptor, bool inherit_handle,
                                            const std::u16string& name, std::uint32_t flags,
                                            std::uint32_t desired_access) override;
    SysResult<CreatedObject> CreateMutexW(std::span<const std::uint8_t> security_descriptor, bool inherit_handle,
                                          bool initial_owner, const std::u16string& name) override;
    SysResult<Handle> OpenMutexW(std::uint32_t desired_access, bool inherit_handle,
                                 const std::u16string& name) override;
    SysResult<void> ReleaseMutex(Handle mutex) override;

    // Test side. A planted mutex stands for one that another process created
    // and keeps open while the test holds the returned reference.
    std::shared_ptr<SimMutex> PlantMutex(const std::u16string& name, std::vector<std::uint8_t> security_descriptor);
    std::shared_ptr<SimMutex> FindMutex(const std::u16string& name) const;
    // Every named mutex that exists (some handle to it is open), ordered by name ignoring case.
    std::vector<std::shared_ptr<SimMutex>> Mutexes() const;
    // The helper process `process_id` died: every mutex its threads owned is abandoned.
    void AbandonMutexesOf(std::uint32_t process_id);

private:
    SysResult<CreatedObject> Create(std::span<const std::uint8_t> security_descriptor, bool initial_owner,
                                    const std::u16string& name, std::uint32_t desired_access);
    static std::u16string Key(const std::u16string& name);

    SimHost& host_;
    mutable std::mutex mutex_;
    std::map<std::u16string, std::weak_ptr<SimMutex>> named_;
};

}  // namespace telvo::platform::sim
