#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace telvo::platform::sim {

// Counts every seam call by name and makes chosen calls fail: "make call X
// fail with error E on its n-th use". It also keeps a log of the calls a test
// watches, with their arguments, and runs a test's action as a chosen call
// begins (another process or thread acting at that very moment).
// The kind of code a seam call fails with: an HRESULT, an NTSTATUS or (the
// rest) a Win32 error.
SysError::Kind ErrorKindOfCall(std::string_view call);

class FaultPlan {
public:
    // One use of a watched call and the arguments that the sim passed along
    // (flags, masks and handles, as integers, in the call's parameter order).
    struct Call {
        std::string call;
        std::vector<std::uint64_t> arguments;
        bool operator==(const Call&) const = default;
    };

    // The nth use (1-based, counted over the host's whole life) of `call` fails with `error`.
    void FailOn(std::string call, std::uint64_t nth, SysError error);
    // Every use of `call` from now on fails with `error`.
    void FailAlways(std::string call, SysError error);
    void Clear();

    // Uses of `call` from now on are logged with their arguments.
    void Watch(std::string call);
    // Every call from now on is logged: the sequence a sweep replays.
    void WatchAll();
    // The watched uses so far, in order.
    std::vector<Call> Log() const;
    // The nth use of `call` runs `action` before the call does anything.
    void OnCall(std::string call, std::uint64_t nth, std::function<void()> action);

    // Records one use of `call` by the process `process_id`; the error it
    // must fail with, if any.
    std::optional<SysError> Enter(std::string_view call, std::initializer_list<std::uint64_t> arguments,
                                  std::uint32_t process_id);

    // Crash injection: the process that makes the seam call after the nth
    // one (counted from now) dies right there. Every call it makes from then
    // on fails at once with ERROR_PROCESS_ABORTED and changes nothing; other
    // processes go on.
    void CrashAfter(std::uint64_t calls);
    // The same for the calls of one process alone: it dies right after its
    // own nth call from now, however other processes interleave theirs.
    void CrashAfterCallsOf(std::uint32_t process_id, std::uint64_t calls);
    bool Crashed() const;
    bool IsDead(std::uint32_t process_id) const;
    // The process dies now (ended from outside: killed, or its host went down).
    void Kill(std::uint32_t process_id);
    // Once, for the call that met the crash point: the process the host must
    // end as Windows ends a dead one.
    std::optional<std::uint32_t> TakeCrash();
    // No crash pending any more (the dead stay dead).
    void ClearCrash();

    std::uint64_t Count(std::string_view call) const;
    std::uint64_t Total() const;
    // The calls one process has made.
    std::uint64_t TotalOf(std::uint32_t process_id) const;
    std::map<std::string, std::uint64_t, std::less<>> Counts() const;

private:
    struct Planned {
        std::string call;
        std::uint64_t nth;  // 0: always
        SysError error;
    };
    mutable std::mutex mutex_;
    std::map<std::string, std::uint64_t, std::less<>> counts_;
    struct Action {
        std::string call;
        std::uint64_t nth;
        std::function<void()> run;
    };
    std::vector<Planned> planned_;
    std::vector<std::string> watched_;
    bool watch_all_ = false;
    std::vector<Call> log_;
    std::vector<Action> actions_;
    std::uint64_t total_ = 0;
    std::map<std::uint32_t, std::uint64_t> process_totals_;
    // The total (of crash_process_'s calls, when set) after which the calling process dies.
    std::optional<std::uint64_t> crash_at_;
    std::optional<std::uint32_t> crash_process_;
    std::set<std::uint32_t> dead_;
    std::optional<std::uint32_t> to_end_;
};

}  // namespace telvo::platform::sim
