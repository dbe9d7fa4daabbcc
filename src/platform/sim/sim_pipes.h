#pragma once

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
#include "platform/sim/sim_object.h"

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

// What the test reads back of one server instance.
class SimPipeServer {
public:
    explicit SimPipeServer(PipeServerScript script) : script_(std::move(script)) {}

    const PipeServerScript& script() const { return script_; }
    bool connected() const;
    // The bytes the client wrote, in order.
    std::string received() const;
    // The desired access and flags of the client's CreateFileW.
    std::uint32_t client_access() const;
    std::uint32_t client_flags() const;

private:
    friend class SimPipes;
    friend class SimPipeClientEnd;

    PipeServerScript script_;
    mutable std::mutex mutex_;
    bool connected_ = false;
    bool client_closed_ = false;
    std::string received_;
    bool answered_ = false;
    std::deque<std::pair<std::uint64_t, std::string>> reply_;  // (available at, bytes)
    std::uint32_t client_access_ = 0;
    std::uint32_t client_flags_ = 0;
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

// The client end of a connected pipe instance, with the overlapped
// operations started on it that have not been collected yet. Closing the
// last handle (also at process end) cancels and drops them, as Windows
// completes a closed handle's I/O before the process's memory goes away.
class SimPipeClientEnd final : public SimObject {
public:
    SimPipeClientEnd(std::shared_ptr<SimPipeServer> server, std::uint32_t access)
        : server_(std::move(server)), access_(access) {}
    void OnLastHandleClosed() override;

private:
    friend class SimPipes;
    struct Operation {
        bool read = true;
        std::span<std::byte> buffer;
        std::shared_ptr<SimEvent> event;
        bool done = false;
        bool cancelled = false;
        std::uint32_t moved = 0;
        std::optional<std::uint32_t> error;
    };
    std::shared_ptr<SimPipeServer> server_;
    std::uint32_t access_;
    std::mutex mutex_;
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
//   time-out of 50 ms. A contended pipe has an instance listen every period,
//   which another client takes before the caller's next open.
// - GetSecurityInfo(SE_KERNEL_OBJECT) of a client end needs READ_CONTROL on
//   the handle and reads the instance's descriptor.
class SimPipes final : public Pipes {
public:
    explicit SimPipes(SimHost& host) : host_(host) {}

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
    struct NamedPipe {
        std::vector<std::shared_ptr<SimPipeServer>> listening;
        std::optional<std::uint64_t> busy_period_ms;
        std::uint64_t busy_since = 0;
    };
    static std::u16string Key(const std::u16string& name);
    std::shared_ptr<SimPipeClientEnd> FindEnd(Handle handle) const;
    // Moves whatever has arrived into a pending read; true when it completed.
    bool FillRead(SimPipeServer& server, SimPipeClientEnd::Operation& operation);

    SimHost& host_;
    mutable std::mutex mutex_;
    std::map<std::u16string, NamedPipe> pipes_;
};

}  // namespace telvo::platform::sim
