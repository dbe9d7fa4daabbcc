#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pipes.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/sim_object.h"
#include "platform/sim/sim_token.h"

namespace telvo::platform::sim {

class SimHost;

// Thrown by the simulated RaiseFailFastException once the host has ended the
// calling process. The process is gone: every later seam call of it fails
// with ERROR_PROCESS_ABORTED and changes nothing, and its pending I/O has
// been dropped with its handles, so the memory it named is never written.
// A native test expects this throw where Windows would end the process; it
// derives from nothing, so that no product handler for std::exception takes
// it (the process entry's catch-all would, which only a test driving the
// whole entry meets).
struct SimFailFast {};

// One piece of a scripted server's reply: written `delay_ms` of virtual time
// after the previous piece (the first after the whole request has arrived).
struct PipeChunk {
    std::uint64_t delay_ms = 0;
    std::string bytes;
};

// A scripted server instance of a named pipe, as another process serves it.
// It reads one request frame (a 4-byte little-endian length, then that many
// bytes), writes its reply pieces and, unless told otherwise, disconnects.
struct PipeServerScript {
    std::uint32_t server_process_id = 0;
    // The pipe's self-relative descriptor (owner, group, DACL) as the server
    // created it; opens are access-checked against it with the caller's token.
    std::vector<std::uint8_t> security_descriptor;
    std::vector<PipeChunk> reply;
    // When set, the reply is what it answers to the request's body, in one
    // piece (in place of `reply`).
    std::function<std::string(std::string_view request)> respond;
    // Once a client takes the instance, another with the same script
    // listens: a server that serves every client in turn.
    bool keeps_listening = false;
    bool never_answers = false;
    // A cancelled read never completes (a driver that ignores the
    // cancellation): the operation may still write into the caller's buffer.
    bool ignores_cancellation = false;
};

class SimPipes;
class SimPipeEnd;
class SimEvent;

// How long a server's wait for a client lets real time pass for one.
inline constexpr std::chrono::milliseconds kListenRealWait{20};

// One instance of a named pipe, connected to at most one client: a scripted
// server (PipeServerScript), or one a simulated process created with
// CreateNamedPipeW and serves through its server end. The test reads back
// what the client did.
class SimPipeServer {
public:
    explicit SimPipeServer(PipeServerScript script, bool served = false)
        : script_(std::move(script)), served_(served) {}

    const PipeServerScript& script() const { return script_; }
    bool connected() const;
    // The bytes the client wrote, in order.
    std::string received() const;
    // The desired access and flags of the client's CreateFileW.
    std::uint32_t client_access() const;
    std::uint32_t client_flags() const;

private:
    friend class SimPipes;
    friend class SimPipeEnd;

    PipeServerScript script_;
    // Served by a process's server end rather than by the script.
    const bool served_;
    mutable std::mutex mutex_;
    bool connected_ = false;
    bool client_closed_ = false;
    std::string received_;
    bool answered_ = false;
    std::deque<std::pair<std::uint64_t, std::string>> reply_;  // (available at, bytes)
    std::uint32_t client_access_ = 0;
    std::uint32_t client_flags_ = 0;
    // A served instance: what the client wrote that the server has not
    // read, whether the server has read anything (impersonation needs it),
    // who the client is, and how the server's side ended.
    std::string inbound_;
    bool server_has_read_ = false;
    std::uint32_t client_process_id_ = 0;
    std::shared_ptr<const SimToken> client_token_;
    bool disconnected_ = false;
    bool server_closed_ = false;
    std::shared_ptr<SimEvent> connect_event_;
};

// An unnamed event; a manual-reset one stays signalled until reset.
class SimEvent final : public SimWaitable {
public:
    explicit SimEvent(bool manual_reset, bool signalled) : manual_reset_(manual_reset), signalled_(signalled) {}
    std::optional<std::uint32_t> TryWait() override;
    void Set(bool signalled);
    bool signalled() const;

private:
    mutable std::mutex mutex_;
    const bool manual_reset_;
    bool signalled_;
};

// One end of a pipe instance as a handle sees it: the client end a
// CreateFileW opened, or the server end CreateNamedPipeW made, with the
// overlapped operations started on it that have not been collected yet.
// Closing the last handle (also at process end) cancels and drops them, as
// Windows completes a closed handle's I/O before the process's memory goes
// away. A server end that disconnects takes a fresh instance for its next
// client; the old client end keeps the old one, broken.
class SimPipeEnd final : public SimObject {
public:
    enum class Side { kClient, kServer };
    SimPipeEnd(Side side, std::shared_ptr<SimPipeServer> instance, std::uint32_t access, SimPipes* pipes = nullptr,
               std::u16string key = {})
        : side_(side), instance_(std::move(instance)), access_(access), pipes_(pipes), key_(std::move(key)) {}
    void OnLastHandleClosed() override;

private:
    friend class SimPipes;
    enum class Kind { kRead, kWrite, kConnect };
    struct Operation {
        Kind kind = Kind::kRead;
        std::span<std::byte> buffer;
        std::shared_ptr<SimEvent> event;
        bool done = false;
        bool cancelled = false;
        std::uint32_t moved = 0;
        std::optional<std::uint32_t> error;
    };
    const Side side_;
    std::mutex mutex_;
    std::shared_ptr<SimPipeServer> instance_;
    std::uint32_t access_;
    SimPipes* pipes_;
    std::u16string key_;
    std::map<const Overlapped*, Operation> operations_;
};

// Named pipes of the simulated host, with overlapped I/O on the virtual
// clock. What it assumes of Windows (windows-notes section 7):
// - Names compare ignoring case. An open of a name with no pipe fails with
//   ERROR_FILE_NOT_FOUND; with a pipe but no listening instance, with
//   ERROR_PIPE_BUSY. An open is access-checked against the instance's
//   descriptor with the caller's token (ERROR_ACCESS_DENIED).
// - Byte mode only: a read returns what has arrived, at most the buffer; a
//   read with nothing there stays pending until the server's next piece
//   arrives on the virtual clock. After the server has disconnected, a read
//   with nothing left fails with ERROR_BROKEN_PIPE and a write with
//   ERROR_NO_DATA. Writes complete at once (the pipe's buffer takes them).
// - ReadFile/WriteFile reset the OVERLAPPED's event as they start and set it
//   when the operation completes; GetOverlappedResultEx waits on the virtual
//   clock: what completes within the wait advances the clock to that moment;
//   what does not advances it by the whole wait and fails with WAIT_TIMEOUT
//   (ERROR_IO_INCOMPLETE for a wait of 0 ms). An operation is collected once.
// - CancelIoEx of a pending operation makes it complete with
//   ERROR_OPERATION_ABORTED (unless the server ignores cancellation); of a
//   completed or unknown one fails with ERROR_NOT_FOUND.
// - WaitNamedPipeW waits on the virtual clock for a listening instance; a
//   time-out fails with ERROR_SEM_TIMEOUT; 0 ms is the pipe's default
//   time-out of 50 ms. While a process serves the pipe (between two clients
//   its instance listens again once it calls ConnectNamedPipe), real time
//   passes first, up to kPeerRealWait. A contended pipe has an instance
//   listen every period, which another client takes before the caller's
//   next open.
// - GetSecurityInfo(SE_KERNEL_OBJECT) of a client end needs READ_CONTROL on
//   the handle and reads the instance's descriptor.
// The server side (windows-notes section 7.1, 7.3):
// - CreateNamedPipeW: a limit above 255 or of 0 fails with
//   ERROR_INVALID_PARAMETER; FILE_FLAG_FIRST_PIPE_INSTANCE on a name that
//   exists, or a later instance whose modes or limit differ from the first's,
//   with ERROR_ACCESS_DENIED; one more instance than the limit with
//   ERROR_PIPE_BUSY. Without a descriptor the pipe gets the default one:
//   full control for LocalSystem, Administrators and the creator, read for
//   Everyone and Anonymous. Every client is local, so
//   PIPE_REJECT_REMOTE_CLIENTS changes nothing here (the call log keeps it).
//   A new instance listens at once.
// - ConnectNamedPipe: ERROR_PIPE_CONNECTED when a client came first, else
//   ERROR_IO_PENDING until one opens (its event is set then).
// - A read on the server end returns what the client wrote; once the client
//   has closed its end, ERROR_BROKEN_PIPE. A write after that fails with
//   ERROR_NO_DATA. DisconnectNamedPipe discards what either side has not
//   read; the client end's later reads and writes fail with
//   ERROR_PIPE_NOT_CONNECTED. Closing the server end breaks the client's
//   (ERROR_BROKEN_PIPE once it has read what was written), and the name
//   goes away with its last instance: opens fail at once with
//   ERROR_FILE_NOT_FOUND.
// - GetNamedPipeClientProcessId: the process that opened the client end.
//   ImpersonateNamedPipeClient: ERROR_CANNOT_IMPERSONATE until the server
//   has read something; then the calling thread impersonates the client's
//   token at the level its CreateFileW asked for (SECURITY_SQOS_PRESENT),
//   or at impersonation level without it.
// - When the other end of a served instance belongs to a simulated process
//   running on another OS thread, a wait for it lets real time pass (up to
//   kPeerRealWait) before the virtual clock gives up the whole wait. A
//   service control delivered meanwhile ends the real waits of the service's
//   process early (it would see the control within its own wait on
//   Windows); the waits of other processes go on.
// - A server's wait for a client (a pending ConnectNamedPipe) lets up to
//   kListenRealWait of real time pass for a client on another OS thread;
//   when none came it times out without moving the virtual clock. A
//   service's idle serve loop runs beside the processes it serves, and its
//   waits would otherwise add to their time and expire their deadlines.
class SimPipes final : public Pipes {
public:
    explicit SimPipes(SimHost& host) : host_(host) {}

    // Ends the real-time part of the waits of process `process_id` now in
    // progress (a service control was delivered to it).
    void InterruptRealWaits(std::uint32_t process_id);

    SysResult<Handle> CreateEventW(bool manual_reset, bool initial_state) override;
    SysResult<void> ReadFile(Handle file, std::span<std::byte> buffer, Overlapped& overlapped) override;
    SysResult<void> WriteFile(Handle file, std::span<const std::byte> bytes, Overlapped& overlapped) override;
    SysResult<std::uint32_t> GetOverlappedResultEx(Handle file, Overlapped& overlapped, std::uint32_t milliseconds,
                                                   bool alertable) override;
    SysResult<void> CancelIoEx(Handle file, Overlapped& overlapped) override;
    SysResult<void> WaitNamedPipeW(const std::u16string& name, std::uint32_t milliseconds) override;
    SysResult<std::uint32_t> GetNamedPipeServerProcessId(Handle pipe) override;
    SysResult<Handle> CreateNamedPipeW(const std::u16string& name, std::uint32_t open_mode, std::uint32_t pipe_mode,
                                       std::uint32_t max_instances, std::uint32_t out_buffer_size,
                                       std::uint32_t in_buffer_size, std::uint32_t default_timeout_ms,
                                       std::span<const std::uint8_t> security_descriptor) override;
    SysResult<void> ConnectNamedPipe(Handle pipe, Overlapped& overlapped) override;
    SysResult<void> DisconnectNamedPipe(Handle pipe) override;
    SysResult<std::uint32_t> GetNamedPipeClientProcessId(Handle pipe) override;
    SysResult<void> ImpersonateNamedPipeClient(Handle pipe) override;
    [[noreturn]] void RaiseFailFastException() override;

    // Files::CreateFileW of a name under \\.\pipe\ comes here (after the
    // call has been entered and counted).
    static bool IsPipeName(const std::u16string& path);
    SysResult<Handle> OpenClientEnd(const std::u16string& name, std::uint32_t desired_access,
                                    std::uint32_t creation_disposition, std::uint32_t flags);
    // GetSecurityInfo(SE_KERNEL_OBJECT) of a handle (after the call has been entered).
    SysResult<std::vector<std::uint8_t>> KernelObjectSecurity(Handle handle, std::uint32_t security_information);

    // Test side: a server instance listens on `name` and behaves as scripted.
    std::shared_ptr<SimPipeServer> Listen(const std::u16string& name, PipeServerScript script);
    // Test side: a pipe whose one instance serves another client. With a
    // period, an instance listens every `period_ms` and is taken by another
    // client before the caller's next open; without, the pipe never frees.
    void AddBusyPipe(const std::u16string& name, std::optional<std::uint64_t> period_ms);

private:
    friend class SimPipeEnd;
    struct NamedPipe {
        std::vector<std::shared_ptr<SimPipeServer>> listening;
        std::optional<std::uint64_t> busy_period_ms;
        std::uint64_t busy_since = 0;
        // Server ends that processes hold, and what the first one fixed.
        std::size_t served_instances = 0;
        std::uint32_t max_instances = 0;
        std::uint32_t open_mode = 0;
        std::uint32_t pipe_mode = 0;
    };
    static std::u16string Key(const std::u16string& name);
    std::shared_ptr<SimPipeEnd> FindEnd(Handle handle) const;
    // Moves what has arrived into a pending operation; true when it completed.
    bool Progress(const SimPipeEnd& end, SimPipeEnd::Operation& operation);
    bool FillClientRead(SimPipeServer& server, SimPipeEnd::Operation& operation);
    bool FillServerRead(SimPipeServer& server, SimPipeEnd::Operation& operation);
    // Whether a process may still act on the instance's other side.
    static bool PeerMayAct(const SimPipeEnd& end);
    std::shared_ptr<SimPipeEnd> FindServerEnd(Handle pipe) const;
    // Full control for LocalSystem, Administrators and the creator; read for
    // Everyone and Anonymous.
    std::vector<std::uint8_t> DefaultPipeDescriptor() const;
    // A server end's last handle closed.
    void ServerEndClosed(const std::u16string& key, const std::shared_ptr<SimPipeServer>& instance);

    SimHost& host_;
    mutable std::mutex mutex_;
    // Interruptions so far, by process.
    std::uint64_t InterruptsOf(std::uint32_t process_id) const;
    mutable std::mutex interrupts_mutex_;
    std::map<std::uint32_t, std::uint64_t> interrupts_;
    // Signalled when an instance of a server process starts listening.
    std::condition_variable listening_;
    std::map<std::u16string, NamedPipe> pipes_;
};

}  // namespace telvo::platform::sim
