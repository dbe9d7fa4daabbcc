#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "platform/processes.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/sim_object.h"
#include "platform/sim/sim_process.h"

namespace telvo::platform::sim {

// Where the sources on Windows' job objects are unsure, the simulated host
// takes one side; each choice is kept here, in one place.
struct JobAssumptions {
    // TerminateJobObject on a job that is already empty leaves it
    // unsignalled in the old kernel sources; whether current Windows still
    // does so is unconfirmed. The run drains every job through this path, so
    // the simulated host signals it, as the run's design expects.
    bool terminating_an_empty_job_signals = true;
};
JobAssumptions& CurrentJobAssumptions();

// A job object: its limits, its processes, and its signalled state. A new
// job is not signalled; processes that exit on their own do not signal it;
// a termination through the job signals it once its last process has
// exited, and it stays signalled.
class SimJob final : public SimWaitable {
public:
    explicit SimJob(SimClock& clock) : clock_(clock) {}

    SysResult<void> SetInformation(std::uint32_t information_class, std::span<const std::uint8_t> information);
    SysResult<std::uint32_t> QueryInformation(std::uint32_t information_class, std::span<std::uint8_t> buffer) const;
    void Terminate(std::uint32_t exit_code);
    // Puts a process in the job; a closed kill-on-close job takes no more.
    SysResult<void> Assign(std::shared_ptr<SimProcess> process);

    std::uint32_t LimitFlags() const;
    std::uint32_t UiRestrictions() const;
    std::size_t ActiveProcesses() const;
    std::size_t TotalProcesses() const;

    std::optional<std::uint32_t> TryWait() override;
    std::optional<std::uint64_t> SignalledAt() const override;
    void OnLastHandleClosed() override;

private:
    SimClock& clock_;
    mutable std::mutex mutex_;
    std::vector<std::uint8_t> extended_limits_ = std::vector<std::uint8_t>(job_layout::kExtendedLimitSize, 0);
    std::uint32_t ui_restrictions_ = 0;
    std::vector<std::shared_ptr<SimProcess>> processes_;
    bool terminated_ = false;
    bool signalled_ = false;
    bool closed_ = false;
};

}  // namespace telvo::platform::sim
