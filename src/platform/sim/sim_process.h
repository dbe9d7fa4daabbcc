#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/processes.h"
#include "platform/sim/sim_access_check.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/sim_object.h"

namespace telvo::platform::sim {

class SimJob;
class SimProcess;

// What a simulated process does once its primary thread runs, step by step.
// The steps take no virtual time; a process that reaches the end of its
// script returns from its entry point and exits with code 0.
namespace step {
struct Exit {
    std::uint32_t code = 0;
};
// WriteFile of the text on the process's standard output (or error)
// handle, resolved in the process's own handles; a failure is kept as a
// step failure.
struct WriteOutput {
    std::string text;
    bool to_error = false;
};
// Starts the program scripted for `command_line`, running at once, in every
// job of this process, with this process's token and standard handles.
struct StartChild {
    std::u16string command_line;
};
// From now on a termination takes this long to end the process.
struct SurviveTermination {
    std::uint64_t milliseconds = 0;
};
// Runs until terminated.
struct Hang {};
// The controller of the helper process that started this process's tree
// closes that helper's standard input (the controller went away).
struct CloseControllerInput {};
// A file operation with the process's own token, through the access checks
// of an open; it writes one line on the process's standard output:
// "<action> <path>: ok" or "<action> <path>: error <n>" (n the Win32 error).
// What a hostile command does besides: `create` makes a file (`directory`
// false) or a directory with the descriptor given in SDDL, `attributes` sets
// an object's attributes, `link` adds the name `path` to the file `target`.
struct File {
    enum class Action : std::uint8_t { read, write, mkdir, remove, list, create, attributes, link };
    Action action = Action::read;
    std::u16string path;
    std::string text;       // what `write` writes; the SDDL `create` gives
    bool directory = false;  // `create`: a directory
    std::uint32_t attributes = 0;
    std::u16string target{};  // `link`
};
// What the process does on the host with its own token (opening, reading,
// writing, creating or deleting files): `run` gets the process, whose
// token() the host's checks take. A failure it meets goes to
// SimProcess::RecordStepFailure.
struct HostCall {
    std::function<void(SimProcess&)> run;
};
}  // namespace step
using ProcessStep =
    std::variant<step::Exit, step::WriteOutput, step::StartChild, step::SurviveTermination, step::Hang, step::File,
                 step::CloseControllerInput, step::HostCall>;

// How a process started by StartInJob behaves: it exits with a code at once,
// or keeps running until it is terminated; a terminated process may take a
// while to die.
struct ProcessBehaviour {
    std::optional<std::uint32_t> exits_with;  // nothing: runs until terminated
    std::uint64_t survives_termination_ms = 0;
    // Its token; nothing: the creator's.
    std::optional<TokenIdentity> token{};
};

// What a process starts with.
struct ProcessImage {
    std::uint32_t parent_id = 0;
    std::u16string command_line;
    std::uint32_t creation_flags = 0;
    // The entries "NAME=value" as the process reads its environment block.
    std::vector<std::u16string> environment;
    std::u16string current_directory;
    TokenIdentity token;
    Handle std_input = kNullHandle;
    Handle std_output = kNullHandle;
    Handle std_error = kNullHandle;
    // The handles it inherited, under the values they have in the creator;
    // the process closes them when it exits.
    std::map<Handle, std::shared_ptr<SimObject>> handles;
};

// A simulated process, as its handle and its jobs see it. It is signalled
// once it has exited.
class SimProcess final : public SimWaitable {
public:
    SimProcess(SimClock& clock, std::uint32_t id, ProcessImage image, std::vector<ProcessStep> script);

    std::uint32_t id() const { return id_; }
    std::uint64_t creation_time() const { return creation_time_; }
    // What it started with, but for its handles, which it owns apart.
    const ProcessImage& image() const { return image_; }
    std::uint32_t parent_id() const { return image_.parent_id; }
    const TokenIdentity& token() const { return image_.token; }
    // The object behind one of the process's own handles, if it holds it
    // (an exited process holds none).
    std::shared_ptr<SimObject> FindHandle(Handle handle) const;
    std::map<Handle, std::shared_ptr<SimObject>> Handles() const;

    // STILL_ACTIVE while it runs (also while a termination is under way).
    std::uint32_t ExitCode() const;
    bool Active() const;
    // Running and not being terminated: the state in which it takes steps.
    bool Running() const;
    // Whether its jobs count it among their active processes (windows-notes
    // 5.3): until it is gone, but a termination through a job stops the count
    // as it begins, while the process and its handles last until it is gone.
    bool CountsInJob() const;
    // The process ends itself with `code`, now.
    void Exit(std::uint32_t code);
    // TerminateProcess: the process ends with `code`, at once or after the
    // time it survives termination.
    void Terminate(std::uint32_t code);
    // A job's termination: as Terminate, and its jobs stop counting it now.
    // Nothing for a process whose end has begun already.
    void TerminateThroughJob(std::uint32_t code);
    void SetSurvivesTermination(std::uint64_t milliseconds);
    // The virtual time at which the process has exited or will have.
    std::optional<std::uint64_t> ExitTime() const;

    // The jobs it was put in, in order (those still alive).
    std::vector<std::shared_ptr<SimJob>> Jobs() const;
    void JoinedJob(const std::shared_ptr<SimJob>& job);

    // The script, handed over once, when the primary thread first runs.
    std::vector<ProcessStep> TakeScript();
    void RecordStepFailure(SysError failure);
    std::vector<SysError> StepFailures() const;

    std::optional<std::uint32_t> TryWait() override;
    std::optional<std::uint64_t> SignalledAt() const override;

private:
    void SettleLocked() const;
    void EndLocked(std::uint32_t code, std::uint64_t at);

    SimClock& clock_;
    const std::uint32_t id_;
    const std::uint64_t creation_time_;
    ProcessImage image_;
    mutable std::mutex mutex_;
    mutable std::map<Handle, std::shared_ptr<SimObject>> handles_;
    mutable std::uint32_t exit_code_ = kStillActive;
    std::optional<std::uint64_t> exit_at_;
    std::uint32_t pending_code_ = 0;
    std::uint64_t survives_ms_ = 0;
    bool ended_through_job_ = false;
    std::vector<std::weak_ptr<SimJob>> jobs_;
    std::vector<ProcessStep> script_;
    std::vector<SysError> step_failures_;
};

// A process's primary thread: created with a suspend count of 1 (suspended)
// or 0; signalled once its process has exited.
class SimProcessThread final : public SimWaitable {
public:
    SimProcessThread(std::shared_ptr<SimProcess> process, std::uint32_t id, std::uint32_t suspend_count)
        : process_(std::move(process)), id_(id), suspend_count_(suspend_count) {}

    std::uint32_t id() const { return id_; }
    const std::shared_ptr<SimProcess>& process() const { return process_; }
    std::uint32_t SuspendCount() const;
    // ResumeThread: the previous count; the count drops by one unless it is 0.
    std::uint32_t Resume();

    std::optional<std::uint32_t> TryWait() override;
    std::optional<std::uint64_t> SignalledAt() const override { return process_->ExitTime(); }

private:
    const std::shared_ptr<SimProcess> process_;
    const std::uint32_t id_;
    mutable std::mutex mutex_;
    std::uint32_t suspend_count_;
};

// Where the sources on process creation are unsure, the simulated host takes
// one side; each choice is kept here, in one place.
struct ProcessAssumptions {
    // HANDLE_LIST is documented to need bInheritHandles TRUE; whether
    // CreateProcessW refuses a list without it (ERROR_INVALID_PARAMETER) or
    // ignores the list is unconfirmed. Simulated as refused.
    bool handle_list_without_inheritance_fails = true;
    // A handle in HANDLE_LIST that is not inheritable: documented as not
    // allowed; whether creation fails (ERROR_INVALID_PARAMETER) or skips the
    // handle is unconfirmed (Wine skips it). Simulated as refused.
    bool non_inheritable_listed_handle_fails = true;
    // TerminateProcess on a process that has exited: the kernel sources
    // refuse it (STATUS_PROCESS_IS_TERMINATING, ERROR_ACCESS_DENIED); Wine
    // lets it succeed. Simulated as refused.
    bool terminating_an_exited_process_fails = true;
};
ProcessAssumptions& CurrentProcessAssumptions();

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

}  // namespace telvo::platform::sim
