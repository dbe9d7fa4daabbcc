#include "platform/sim/sim_pipes.h"

#include <algorithm>
#include <cstring>

#include "platform/file_constants.h"
#include "platform/kernel.h"
#include "platform/sim/descriptor_parts.h"
#include "platform/sim/sim_host.h"
#include "winformat/ordinal_case.h"
#include "winformat/security_descriptor.h"

namespace telvo::platform::sim {

namespace {


constexpr char16_t kPipePrefix[] = u"\\\\.\\pipe\\";
constexpr std::size_t kPipePrefixLength = 9;
// nDefaultTimeOut of 0 at creation: the pipe's default time-out is 50 ms.
constexpr std::uint32_t kDefaultPipeTimeoutMs = 50;
constexpr std::uint32_t kNmpWaitUseDefault = 0;

std::uint32_t FrameLength(const std::string& bytes) {
    return static_cast<std::uint8_t>(bytes[0]) | static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[1])) << 8 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[2])) << 16 |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[3])) << 24;
}

}  // namespace

bool SimPipeServer::connected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

std::string SimPipeServer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::uint32_t SimPipeServer::client_access() const {
    std::lock_guard lock(mutex_);
    return client_access_;
}

std::uint32_t SimPipeServer::client_flags() const {
    std::lock_guard lock(mutex_);
    return client_flags_;
}

std::optional<std::uint32_t> SimEvent::TryWait() {
    std::lock_guard lock(mutex_);
    if (!signalled_) return std::nullopt;
    if (!manual_reset_) signalled_ = false;
    return wait_result::kObject0;
}

void SimEvent::Set(bool signalled) {
    std::lock_guard lock(mutex_);
    signalled_ = signalled;
}

bool SimEvent::signalled() const {
    std::lock_guard lock(mutex_);
    return signalled_;
}

void SimPipeClientEnd::OnLastHandleClosed() {
    {
        std::lock_guard lock(mutex_);
        operations_.clear();
    }
    std::lock_guard lock(server_->mutex_);
    server_->client_closed_ = true;
}

std::u16string SimPipes::Key(const std::u16string& name) { return winformat::Upcased(name); }

bool SimPipes::IsPipeName(const std::u16string& path) {
    return path.size() > kPipePrefixLength &&
           winformat::EqualIgnoringCase(std::u16string_view(path).substr(0, kPipePrefixLength), kPipePrefix);
}

std::shared_ptr<SimPipeClientEnd> SimPipes::FindEnd(Handle handle) const {
    return host_.handles().FindAs<SimPipeClientEnd>(handle);
}

std::shared_ptr<SimPipeServer> SimPipes::Listen(const std::u16string& name, PipeServerScript script) {
    auto server = std::make_shared<SimPipeServer>(std::move(script));
    std::lock_guard lock(mutex_);
    pipes_[Key(name)].listening.push_back(server);
    return server;
}

void SimPipes::AddBusyPipe(const std::u16string& name, std::optional<std::uint64_t> period_ms) {
    std::lock_guard lock(mutex_);
    NamedPipe& pipe = pipes_[Key(name)];
    pipe.busy_period_ms = period_ms;
    pipe.busy_since = host_.clock().Now();
}

SysResult<Handle> SimPipes::CreateEventW(bool manual_reset, bool initial_state) {
    TELVO_SIM_ENTER(host_, "CreateEventW", {manual_reset ? 1u : 0u, initial_state ? 1u : 0u});
    return host_.handles().Add(std::make_shared<SimEvent>(manual_reset, initial_state));
}

SysResult<Handle> SimPipes::OpenClientEnd(const std::u16string& name, std::uint32_t desired_access,
                                          std::uint32_t creation_disposition, std::uint32_t flags) {
    // Only opening an existing pipe is modelled.
    if (creation_disposition != creation_disposition::kOpenExisting) {
        return Win32Failure(win32_error::kInvalidParameter);
    }
    std::shared_ptr<SimPipeServer> server;
    {
        std::lock_guard lock(mutex_);
        auto it = pipes_.find(Key(name));
        if (it == pipes_.end()) return Win32Failure(win32_error::kFileNotFound);
        if (it->second.listening.empty()) return Win32Failure(win32_error::kPipeBusy);
        server = it->second.listening.front();
        auto descriptor = winformat::SecurityDescriptor::ParseSelfRelative(server->script_.security_descriptor);
        if (!descriptor) return Win32Failure(win32_error::kInvalidSecurityDescr);
        const std::uint32_t access = MapGenericBits(desired_access, kFileGenericMapping);
        auto decision = EvaluateAccess(*descriptor, host_.security().ProcessToken().identity, access,
                                       kFileGenericMapping);
        if (!decision) return std::unexpected(decision.error());
        if (!decision->granted) return Win32Failure(win32_error::kAccessDenied);
        it->second.listening.erase(it->second.listening.begin());
        if (server->script_.keeps_listening) {
            it->second.listening.push_back(std::make_shared<SimPipeServer>(server->script_));
        }
    }
    {
        std::lock_guard lock(server->mutex_);
        server->connected_ = true;
        server->client_access_ = desired_access;
        server->client_flags_ = flags;
    }
    return host_.handles().Add(
        std::make_shared<SimPipeClientEnd>(server, MapGenericBits(desired_access, kFileGenericMapping)));
}

bool SimPipes::FillRead(SimPipeServer& server, SimPipeClientEnd::Operation& operation) {
    std::lock_guard lock(server.mutex_);
    const std::uint64_t now = host_.clock().Now();
    while (!server.reply_.empty() && server.reply_.front().first <= now && operation.moved < operation.buffer.size()) {
        std::string& piece = server.reply_.front().second;
        const std::size_t count = std::min<std::size_t>(piece.size(), operation.buffer.size() - operation.moved);
        std::memcpy(operation.buffer.data() + operation.moved, piece.data(), count);
        operation.moved += static_cast<std::uint32_t>(count);
        piece.erase(0, count);
        if (piece.empty()) server.reply_.pop_front();
    }
    if (operation.moved > 0) {
        operation.done = true;
    } else if (server.answered_ && server.reply_.empty()) {
        // The server wrote its reply and disconnected.
        operation.done = true;
        operation.error = win32_error::kBrokenPipe;
    }
    if (operation.done && operation.event) operation.event->Set(true);
    return operation.done;
}

SysResult<void> SimPipes::ReadFile(Handle file, std::span<std::byte> buffer, Overlapped& overlapped) {
    TELVO_SIM_ENTER(host_, "ReadFile(overlapped)", {buffer.size()});
    auto end = FindEnd(file);
    if (!end) return Win32Failure(win32_error::kInvalidHandle);
    SimPipeClientEnd::Operation operation;
    operation.buffer = buffer;
    operation.event = host_.handles().FindAs<SimEvent>(overlapped.event);
    if (operation.event) operation.event->Set(false);
    std::lock_guard lock(end->mutex_);
    if (FillRead(*end->server_, operation)) {
        if (operation.error) return Win32Failure(*operation.error);
        end->operations_[&overlapped] = operation;
        return {};
    }
    end->operations_[&overlapped] = operation;
    return Win32Failure(win32_error::kIoPending);
}

SysResult<void> SimPipes::WriteFile(Handle file, std::span<const std::byte> bytes, Overlapped& overlapped) {
    TELVO_SIM_ENTER(host_, "WriteFile(overlapped)", {bytes.size()});
    auto end = FindEnd(file);
    if (!end) return Win32Failure(win32_error::kInvalidHandle);
    SimPipeServer& server = *end->server_;
    {
        std::lock_guard lock(server.mutex_);
        if (server.answered_ && server.reply_.empty()) return Win32Failure(win32_error::kNoData);
        server.received_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        const std::string& received = server.received_;
        if (!server.answered_ && !server.script_.never_answers && received.size() >= 4 &&
            received.size() - 4 >= FrameLength(received)) {
            server.answered_ = true;
            std::uint64_t at = host_.clock().Now();
            if (server.script_.respond) {
                server.reply_.emplace_back(at, server.script_.respond(std::string_view(received).substr(4)));
            }
            for (const PipeChunk& chunk : server.script_.respond ? std::vector<PipeChunk>{} : server.script_.reply) {
                at += chunk.delay_ms;
                server.reply_.emplace_back(at, chunk.bytes);
            }
        }
    }
    SimPipeClientEnd::Operation operation;
    operation.read = false;
    operation.event = host_.handles().FindAs<SimEvent>(overlapped.event);
    operation.done = true;
    operation.moved = static_cast<std::uint32_t>(bytes.size());
    if (operation.event) operation.event->Set(true);
    std::lock_guard lock(end->mutex_);
    end->operations_[&overlapped] = operation;
    return {};
}

SysResult<std::uint32_t> SimPipes::GetOverlappedResultEx(Handle file, Overlapped& overlapped,
                                                         std::uint32_t milliseconds, bool alertable) {
    TELVO_SIM_ENTER(host_, "GetOverlappedResultEx", {milliseconds, alertable ? 1u : 0u});
    auto end = FindEnd(file);
    if (!end) return Win32Failure(win32_error::kInvalidHandle);
    std::lock_guard lock(end->mutex_);
    auto it = end->operations_.find(&overlapped);
    if (it == end->operations_.end()) return Win32Failure(win32_error::kInvalidParameter);
    SimPipeClientEnd::Operation& operation = it->second;
    SimPipeServer& server = *end->server_;
    const bool may_complete = !operation.cancelled;
    if (!operation.done && may_complete) FillRead(server, operation);
    if (!operation.done) {
        std::optional<std::uint64_t> next;
        if (may_complete) {
            std::lock_guard server_lock(server.mutex_);
            if (!server.reply_.empty()) next = server.reply_.front().first;
        }
        const std::uint64_t now = host_.clock().Now();
        if (next && (milliseconds == kInfinite || *next <= now + milliseconds)) {
            host_.clock().Advance(*next - now);
            FillRead(server, operation);
        } else if (milliseconds == 0) {
            return Win32Failure(win32_error::kIoIncomplete);
        } else if (milliseconds == kInfinite) {
            throw InternalFault("an unbounded wait for a pipe operation that nothing completes");
        } else {
            host_.clock().Advance(milliseconds);
            return Win32Failure(win32_error::kWaitTimeout);
        }
    }
    const SimPipeClientEnd::Operation collected = operation;
    end->operations_.erase(it);
    if (collected.error) return Win32Failure(*collected.error);
    return collected.moved;
}

SysResult<void> SimPipes::CancelIoEx(Handle file, Overlapped& overlapped) {
    TELVO_SIM_ENTER(host_, "CancelIoEx");
    auto end = FindEnd(file);
    if (!end) return Win32Failure(win32_error::kInvalidHandle);
    std::lock_guard lock(end->mutex_);
    auto it = end->operations_.find(&overlapped);
    if (it == end->operations_.end() || it->second.done) return Win32Failure(win32_error::kNotFound);
    SimPipeClientEnd::Operation& operation = it->second;
    operation.cancelled = true;
    if (!end->server_->script_.ignores_cancellation) {
        operation.done = true;
        operation.error = win32_error::kOperationAborted;
        if (operation.event) operation.event->Set(true);
    }
    return {};
}

SysResult<void> SimPipes::WaitNamedPipeW(const std::u16string& name, std::uint32_t milliseconds) {
    TELVO_SIM_ENTER(host_, "WaitNamedPipeW", {milliseconds});
    std::lock_guard lock(mutex_);
    auto it = pipes_.find(Key(name));
    if (it == pipes_.end()) return Win32Failure(win32_error::kFileNotFound);
    const NamedPipe& pipe = it->second;
    if (!pipe.listening.empty()) return {};
    const std::uint32_t limit = milliseconds == kNmpWaitUseDefault ? kDefaultPipeTimeoutMs : milliseconds;
    const std::uint64_t now = host_.clock().Now();
    if (pipe.busy_period_ms && *pipe.busy_period_ms > 0) {
        const std::uint64_t period = *pipe.busy_period_ms;
        const std::uint64_t next = now + period - (now - pipe.busy_since) % period;
        if (limit == kInfinite || next - now <= limit) {
            host_.clock().Advance(next - now);
            return {};
        }
    } else if (limit == kInfinite) {
        throw InternalFault("an unbounded wait for a pipe that never frees");
    }
    host_.clock().Advance(limit);
    return Win32Failure(win32_error::kSemTimeout);
}

SysResult<std::uint32_t> SimPipes::GetNamedPipeServerProcessId(Handle pipe) {
    TELVO_SIM_ENTER(host_, "GetNamedPipeServerProcessId");
    auto end = FindEnd(pipe);
    if (!end) return Win32Failure(win32_error::kInvalidHandle);
    return end->server_->script_.server_process_id;
}

SysResult<std::vector<std::uint8_t>> SimPipes::KernelObjectSecurity(Handle handle,
                                                                   std::uint32_t security_information) {
    auto end = FindEnd(handle);
    if (!end) return Win32Failure(win32_error::kInvalidHandle);
    if ((end->access_ & file_access::kReadControl) == 0) return Win32Failure(win32_error::kAccessDenied);
    auto parts = SelectDescriptorParts(end->server_->script_.security_descriptor, security_information);
    if (!parts) return std::unexpected(*parts.error().sys());
    return std::move(*parts);
}

void SimPipes::RaiseFailFastException() {
    (void)host_.Enter("RaiseFailFastException");
    // The process ends here: the next entry finds it dead, and the host
    // closes its handles (dropping its pending I/O) as Windows ends it.
    host_.faults().CrashAfter(0);
    (void)host_.Enter("RaiseFailFastException");
    throw SimFailFast{};
}


// The server side is being built; until then every call is refused.
SysResult<Handle> SimPipes::CreateNamedPipeW(const std::u16string&, std::uint32_t, std::uint32_t, std::uint32_t,
                                             std::uint32_t, std::uint32_t, std::uint32_t,
                                             std::span<const std::uint8_t>) {
    return std::unexpected(SysError::Win32(120));
}
SysResult<void> SimPipes::ConnectNamedPipe(Handle, Overlapped&) { return std::unexpected(SysError::Win32(120)); }
SysResult<void> SimPipes::DisconnectNamedPipe(Handle) { return std::unexpected(SysError::Win32(120)); }
SysResult<std::uint32_t> SimPipes::GetNamedPipeClientProcessId(Handle) { return std::unexpected(SysError::Win32(120)); }
SysResult<void> SimPipes::ImpersonateNamedPipeClient(Handle) { return std::unexpected(SysError::Win32(120)); }

}  // namespace telvo::platform::sim
