#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/processes.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/sim_object.h"

namespace telvo::platform::sim {

class SimHost;

// How a simulated process behaves once it runs: it exits with a code, or
// keeps running until it is terminated; a terminated process may take a
// while to die.
struct ProcessBehaviour {
    std::optional<std::uint32_t> exits_with;  // nothing: runs until terminated
    std::uint64_t survives_termination_ms = 0;
};

// A simulated process, as its handle and its job see it. It is signalled
// once it has exited.
class SimProcess final : public SimWaitable {
public:
    SimProcess(SimClock& clock, std::uint32_t id, ProcessBehaviour behaviour);

    std::uint32_t id() const { return id_; }
    // STILL_ACTIVE while it runs.
    std::uint32_t ExitCode() const;
    bool Active() const;
    // TerminateProcess or a job's termination: the process ends with `code`,
    // at once or after the time it survives termination.
    void Terminate(std::uint32_t code);
    // The virtual time at which a terminated process will have exited.
    std::optional<std::uint64_t> ExitTime() const;

    std::optional<std::uint32_t> TryWait() override;
    std::optional<std::uint64_t> SignalledAt() const override;

private:
    void SettleLocked() const;

    SimClock& clock_;
    const std::uint32_t id_;
    mutable std::mutex mutex_;
    mutable std::uint32_t exit_code_;
    mutable std::optional<std::uint64_t> exit_at_;
    std::uint32_t pending_code_ = 0;
    std::uint64_t survives_ms_;
};

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

// A thread started through the seam: a real thread that runs the start
// routine; its handle is signalled when the routine has returned. Being a
// real thread, a wait for it blocks in real time (bounded by the wait's limit).
class SimThread final : public SimWaitable {
public:
    std::optional<std::uint32_t> TryWait() override;
    std::optional<std::uint32_t> WaitFor(std::uint32_t milliseconds);
    void MarkEnded();
    std::u16string description() const;
    void SetDescription(std::u16string description);

private:
    mutable std::mutex mutex_;
    std::condition_variable ended_signal_;
    bool ended_ = false;
    std::u16string description_;
};

class SimProcesses final : public Processes {
public:
    explicit SimProcesses(SimHost& host) : host_(host) {}
    ~SimProcesses() override;

    SysResult<Handle> CreateJobObjectW() override;
    SysResult<void> SetInformationJobObject(Handle job, std::uint32_t information_class,
                                            std::span<const std::uint8_t> information) override;
    SysResult<std::uint32_t> QueryInformationJobObject(Handle job, std::uint32_t information_class,
                                                       std::span<std::uint8_t> buffer) override;
    SysResult<void> TerminateJobObject(Handle job, std::uint32_t exit_code) override;
    SysResult<Handle> CreateThread(std::function<void()> start) override;
    SysResult<void> SetThreadDescription(Handle thread, const std::u16string& description) override;

    // Test side: a process that runs as `behaviour` says, in the job behind
    // `job` (a handle of the simulated process).
    std::shared_ptr<SimProcess> StartInJob(Handle job, ProcessBehaviour behaviour);
    // Waits (in real time) until every thread started through the seam has
    // returned.
    void JoinThreads();

private:
    SimHost& host_;
    std::mutex mutex_;
    std::vector<std::thread> threads_;
    std::uint32_t next_process_id_ = 7000;
};

}  // namespace telvo::platform::sim
