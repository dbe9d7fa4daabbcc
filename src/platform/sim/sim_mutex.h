#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/sim/sim_object.h"

namespace telvo::platform::sim {

class SimHost;

// A named mutex. It is owned by one simulated thread (an OS thread acting for
// one of the host's helper processes), or by a process a test stands in for;
// the owner may take it again (recursion). A mutex whose owner died is
// abandoned: the next wait takes it and reports WAIT_ABANDONED. Its name
// exists from its construction until its last reference (a handle, or a
// process a test stands in for) goes; both are host changes.
class SimMutex final : public SimWaitable, public SimSecured {
public:
    SimMutex(SimHost& host, std::u16string name);
    ~SimMutex() override;
    SimMutex(const SimMutex&) = delete;
    SimMutex& operator=(const SimMutex&) = delete;

    const std::u16string& name() const { return name_; }

    std::optional<std::uint32_t> TryWait() override;
    // ReleaseMutex by the calling thread; false when it does not own the mutex.
    bool Release();

    // Test side: another process takes the mutex, or dies holding it; one
    // that holds it until a virtual time releases it then.
    void HoldByOtherProcess();
    void HoldByOtherProcessUntil(std::uint64_t release_at);
    std::optional<std::uint64_t> SignalledAt() const override;
    void AbandonByOtherProcess();
    // The helper process `process_id` died: a mutex one of its threads owned is abandoned.
    void AbandonByProcess(std::uint32_t process_id);
    bool IsOwnedByCallingThread() const;
    bool IsOwned() const;
    // Its owner died and no wait has taken it since.
    bool IsAbandoned() const;

private:
    // A simulated thread: the process it acts for (0: a process a test
    // stands in for) and the OS thread.
    struct Owner {
        std::uint32_t process_id = 0;
        std::thread::id thread;
        bool operator==(const Owner&) const = default;
    };
    static constexpr std::uint32_t kOtherProcess = 0;
    Owner Caller() const;
    // The other process's timed hold ends once its time has come.
    void SettleLocked();

    SimHost& host_;
    mutable std::mutex mutex_;
    std::u16string name_;
    std::optional<Owner> owner_;
    std::uint32_t recursion_ = 0;
    bool abandoned_ = false;
    std::optional<std::uint64_t> release_at_;  // of the other process's hold
};

}  // namespace telvo::platform::sim
