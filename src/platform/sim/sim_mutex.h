#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/sim/sim_object.h"

namespace telvo::platform::sim {

// A named mutex. It is owned by one thread of the simulated process, or by a
// thread of another process that a test stands in for; the owner may take it
// again (recursion). A mutex whose owner died is abandoned: the next wait
// takes it and reports WAIT_ABANDONED.
class SimMutex final : public SimWaitable, public SimSecured {
public:
    explicit SimMutex(std::u16string name) : name_(std::move(name)) {}

    const std::u16string& name() const { return name_; }

    std::optional<std::uint32_t> TryWait() override;
    // ReleaseMutex by the calling thread; false when it does not own the mutex.
    bool Release();

    // Test side: another process takes the mutex, or dies holding it.
    void HoldByOtherProcess();
    void AbandonByOtherProcess();
    // The simulated process died: a mutex it owned is abandoned.
    void AbandonByOwnProcess();
    bool IsOwnedByCallingThread() const;
    bool IsOwned() const;

private:
    struct Owner {
        std::thread::id thread;
        bool other_process = false;
    };
    mutable std::mutex mutex_;
    std::u16string name_;
    std::optional<Owner> owner_;
    std::uint32_t recursion_ = 0;
    bool abandoned_ = false;
};

}  // namespace telvo::platform::sim
