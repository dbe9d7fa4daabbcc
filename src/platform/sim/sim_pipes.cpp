#include "platform/sim/sim_pipes.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "platform/file_constants.h"
#include "platform/kernel.h"
#include "platform/sim/descriptor_parts.h"
#include "platform/sim/sim_host.h"
#include "winformat/ordinal_case.h"
#include "winformat/sddl.h"
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

void SimPipeEnd::OnLastHandleClosed() {
    std::shared_ptr<SimPipeServer> instance;
    {
        std::lock_guard lock(mutex_);
        operations_.clear();
        instance = instance_;
    }
    if (side_ == Side::kClient) {
        std::lock_guard lock(instance->mutex_);
        instance->client_closed_ = true;
    } else if (pipes_ != nullptr) {
        pipes_->ServerEndClosed(key_, instance);
    }
}

std::u16string SimPipes::Key(const std::u16string& name) { return winformat::Upcased(name); }

bool SimPipes::IsPipeName(const std::u16string& path) {
    return path.size() > kPipePrefixLength &&
           winformat::EqualIgnoringCase(std::u16string_view(path).substr(0, kPipePrefixLength), kPipePrefix);
}

std::shared_ptr<SimPipeEnd> SimPipes::FindEnd(Handle handle) const {
    return host_.handles().FindAs<SimPipeEnd>(handle);
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
        // Connected before the pipes' lock goes: a server that listens again
        // meanwhile must see that this instance is taken.
        std::lock_guard instance_lock(server->mutex_);
        server->connected_ = true;
        server->client_access_ = desired_access;
        server->client_flags_ = flags;
        server->client_process_id_ = host_.caller().id();
        server->client_token_ = host_.caller().shared_token();
        if (server->connect_event_) server->connect_event_->Set(true);
    }
    return host_.handles().Add(std::make_shared<SimPipeEnd>(SimPipeEnd::Side::kClient, server,
                                                            MapGenericBits(desired_access, kFileGenericMapping)));
}

bool SimPipes::FillClientRead(SimPipeServer& server, SimPipeEnd::Operation& operation) {
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
    } else if (server.disconnected_) {
        operation.done = true;
        operation.error = win32_error::kPipeNotConnected;
    } else if ((server.answered_ || server.server_closed_) && server.reply_.empty()) {
        // The server wrote its reply and went away.
        operation.done = true;
        operation.error = win32_error::kBrokenPipe;
    }
    if (operation.done && operation.event) operation.event->Set(true);
    return operation.done;
}

bool SimPipes::FillServerRead(SimPipeServer& server, SimPipeEnd::Operation& operation) {
    std::lock_guard lock(server.mutex_);
    if (!server.inbound_.empty()) {
        const std::size_t count = std::min(server.inbound_.size(), operation.buffer.size());
        std::memcpy(operation.buffer.data(), server.inbound_.data(), count);
        server.inbound_.erase(0, count);
        operation.moved = static_cast<std::uint32_t>(count);
        operation.done = true;
        server.server_has_read_ = true;
    } else if (server.client_closed_) {
        operation.done = true;
        operation.error = win32_error::kBrokenPipe;
    }
    if (operation.done && operation.event) operation.event->Set(true);
    return operation.done;
}

bool SimPipes::Progress(const SimPipeEnd& end, SimPipeEnd::Operation& operation) {
    SimPipeServer& instance = *end.instance_;
    switch (operation.kind) {
        case SimPipeEnd::Kind::kWrite:
            return operation.done;
        case SimPipeEnd::Kind::kConnect: {
            std::lock_guard lock(instance.mutex_);
            if (instance.connected_) {
                operation.done = true;
                if (operation.event) operation.event->Set(true);
            }
            return operation.done;
        }
        case SimPipeEnd::Kind::kRead:
            break;
    }
    return end.side_ == SimPipeEnd::Side::kClient ? FillClientRead(instance, operation)
                                                   : FillServerRead(instance, operation);
}

bool SimPipes::PeerMayAct(const SimPipeEnd& end) {
    SimPipeServer& instance = *end.instance_;
    if (!instance.served_) return false;
    std::lock_guard lock(instance.mutex_);
    if (end.side_ == SimPipeEnd::Side::kClient) return !instance.server_closed_ && !instance.disconnected_;
    return !instance.client_closed_;
}

SysResult<void> SimPipes::ReadFile(Handle file, std::span<std::byte> buffer, Overlapped& overlapped) {
    TELVO_SIM_ENTER(host_, "ReadFile(overlapped)", {buffer.size()});
    auto end = FindEnd(file);
    if (!end) return Win32Failure(win32_error::kInvalidHandle);
    SimPipeEnd::Operation operation;
    operation.buffer = buffer;
    operation.event = host_.handles().FindAs<SimEvent>(overlapped.event);
    if (operation.event) operation.event->Set(false);
    std::lock_guard lock(end->mutex_);
    if (end->side_ == SimPipeEnd::Side::kServer) {
        std::lock_guard instance_lock(end->instance_->mutex_);
        if (!end->instance_->connected_) return Win32Failure(win32_error::kPipeNotConnected);
    }
    if (Progress(*end, operation)) {
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
    std::lock_guard end_lock(end->mutex_);
    SimPipeServer& server = *end->instance_;
    if (end->side_ == SimPipeEnd::Side::kServer) {
        std::lock_guard lock(server.mutex_);
        if (!server.connected_) return Win32Failure(win32_error::kPipeNotConnected);
        if (server.client_closed_) return Win32Failure(win32_error::kNoData);
        server.reply_.emplace_back(host_.clock().Now(),
                                   std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    } else {
        std::lock_guard lock(server.mutex_);
        if (server.disconnected_) return Win32Failure(win32_error::kPipeNotConnected);
        if (server.server_closed_) return Win32Failure(win32_error::kNoData);
        if (server.answered_ && server.reply_.empty()) return Win32Failure(win32_error::kNoData);
        server.received_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        if (server.served_) server.inbound_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        const std::string& received = server.received_;
        if (!server.served_ && !server.answered_ && !server.script_.never_answers && received.size() >= 4 &&
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
    SimPipeEnd::Operation operation;
    operation.kind = SimPipeEnd::Kind::kWrite;
    operation.event = host_.handles().FindAs<SimEvent>(overlapped.event);
    operation.done = true;
    operation.moved = static_cast<std::uint32_t>(bytes.size());
    if (operation.event) operation.event->Set(true);
    end->operations_[&overlapped] = operation;
    return {};
}

SysResult<std::uint32_t> SimPipes::GetOverlappedResultEx(Handle file, Overlapped& overlapped,
                                                         std::uint32_t milliseconds, bool alertable) {
    TELVO_SIM_ENTER(host_, "GetOverlappedResultEx", {milliseconds, alertable ? 1u : 0u});
    auto end = FindEnd(file);
    if (!end) return Win32Failure(win32_error::kInvalidHandle);
    std::unique_lock lock(end->mutex_);
    auto it = end->operations_.find(&overlapped);
    if (it == end->operations_.end()) return Win32Failure(win32_error::kInvalidParameter);
    // A cancellation the driver ignores leaves the operation pending for good.
    const auto settled = [&] { return it->second.done || (!it->second.cancelled && Progress(*end, it->second)); };
    bool idle_listen = false;
    if (!settled()) {
        const bool may_complete = !it->second.cancelled;
        std::optional<std::uint64_t> next;
        if (may_complete && end->side_ == SimPipeEnd::Side::kClient) {
            std::lock_guard server_lock(end->instance_->mutex_);
            if (!end->instance_->reply_.empty()) next = end->instance_->reply_.front().first;
        }
        const std::uint64_t now = host_.clock().Now();
        if (next && (milliseconds == kInfinite || *next <= now + milliseconds)) {
            host_.clock().Advance(*next - now);
            (void)settled();
        } else if (milliseconds == 0) {
            return Win32Failure(win32_error::kIoIncomplete);
        } else if (may_complete && (it->second.kind == SimPipeEnd::Kind::kConnect || PeerMayAct(*end))) {
            // A server waiting for a client: a client process on another OS
            // thread may come; an idle wait does not move the virtual clock.
            // Otherwise the other end is a simulated process on another OS
            // thread: let it act, unless a service control comes first.
            idle_listen = it->second.kind == SimPipeEnd::Kind::kConnect;
            const auto deadline = std::chrono::steady_clock::now() + (idle_listen ? kListenRealWait : kPeerRealWait);
            const std::uint32_t waiter = host_.caller().id();
            const std::uint64_t interrupts = InterruptsOf(waiter);
            bool completed = false;
            while (!completed && std::chrono::steady_clock::now() < deadline &&
                   (idle_listen || InterruptsOf(waiter) == interrupts)) {
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                lock.lock();
                it = end->operations_.find(&overlapped);
                if (it == end->operations_.end()) return Win32Failure(win32_error::kInvalidParameter);
                completed = settled();
            }
            if (completed) idle_listen = false;
        }
    }
    SimPipeEnd::Operation& operation = it->second;
    if (!operation.done) {
        if (milliseconds == kInfinite) {
            throw InternalFault("an unbounded wait for a pipe operation that nothing completes");
        }
        if (!idle_listen) host_.clock().Advance(milliseconds);
        return Win32Failure(win32_error::kWaitTimeout);
    }
    const SimPipeEnd::Operation collected = operation;
    end->operations_.erase(it);
    if (collected.error) return Win32Failure(*collected.error);
    return collected.moved;
}

void SimPipes::InterruptRealWaits(std::uint32_t process_id) {
    std::lock_guard lock(interrupts_mutex_);
    ++interrupts_[process_id];
}

std::uint64_t SimPipes::InterruptsOf(std::uint32_t process_id) const {
    std::lock_guard lock(interrupts_mutex_);
    auto it = interrupts_.find(process_id);
    return it == interrupts_.end() ? 0 : it->second;
}

SysResult<void> SimPipes::CancelIoEx(Handle file, Overlapped& overlapped) {
    TELVO_SIM_ENTER(host_, "CancelIoEx");
    auto end = FindEnd(file);
    if (!end) return Win32Failure(win32_error::kInvalidHandle);
    std::lock_guard lock(end->mutex_);
    auto it = end->operations_.find(&overlapped);
    if (it == end->operations_.end() || it->second.done) return Win32Failure(win32_error::kNotFound);
    SimPipeEnd::Operation& operation = it->second;
    operation.cancelled = true;
    if (!end->instance_->script_.ignores_cancellation) {
        operation.done = true;
        operation.error = win32_error::kOperationAborted;
        if (operation.event) operation.event->Set(true);
    }
    return {};
}

SysResult<void> SimPipes::WaitNamedPipeW(const std::u16string& name, std::uint32_t milliseconds) {
    TELVO_SIM_ENTER(host_, "WaitNamedPipeW", {milliseconds});
    std::unique_lock lock(mutex_);
    auto it = pipes_.find(Key(name));
    if (it == pipes_.end()) return Win32Failure(win32_error::kFileNotFound);
    if (it->second.listening.empty() && it->second.served_instances > 0) {
        const std::u16string key = Key(name);
        // A process serves the pipe on another OS thread: real time passes
        // (up to kPeerRealWait) for it to listen again before the virtual wait.
        listening_.wait_for(lock, kPeerRealWait, [&] {
            auto found = pipes_.find(key);
            return found == pipes_.end() || !found->second.listening.empty() || found->second.served_instances == 0;
        });
        it = pipes_.find(key);
        if (it == pipes_.end()) return Win32Failure(win32_error::kFileNotFound);
    }
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
    if (end->side_ != SimPipeEnd::Side::kClient) return Win32Failure(win32_error::kInvalidParameter);
    return end->instance_->script_.server_process_id;
}

SysResult<std::vector<std::uint8_t>> SimPipes::KernelObjectSecurity(Handle handle,
                                                                   std::uint32_t security_information) {
    auto end = FindEnd(handle);
    if (!end) return Win32Failure(win32_error::kInvalidHandle);
    if ((end->access_ & file_access::kReadControl) == 0) return Win32Failure(win32_error::kAccessDenied);
    auto parts = SelectDescriptorParts(end->instance_->script_.security_descriptor, security_information);
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


std::vector<std::uint8_t> SimPipes::DefaultPipeDescriptor() const {
    const std::string owner = winformat::WriteSddlSid(host_.security().ProcessToken().owner);
    const std::string group = winformat::WriteSddlSid(host_.security().ProcessToken().primary_group);
    auto descriptor = winformat::ParseSddl("O:" + owner + "G:" + group + "D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" +
                                           owner + ")(A;;FR;;;WD)(A;;FR;;;AN)");
    if (!descriptor) throw InternalFault("the default pipe descriptor does not parse");
    return descriptor->ToSelfRelative();
}

SysResult<Handle> SimPipes::CreateNamedPipeW(const std::u16string& name, std::uint32_t open_mode,
                                             std::uint32_t pipe_mode, std::uint32_t max_instances,
                                             std::uint32_t out_buffer_size, std::uint32_t in_buffer_size,
                                             std::uint32_t default_timeout_ms,
                                             std::span<const std::uint8_t> security_descriptor) {
    TELVO_SIM_ENTER(host_, "CreateNamedPipeW",
                    {open_mode, pipe_mode, max_instances, out_buffer_size, in_buffer_size, default_timeout_ms});
    if (!IsPipeName(name) || max_instances == 0 || max_instances > pipe_mode::kUnlimitedInstances) {
        return Win32Failure(win32_error::kInvalidParameter);
    }
    PipeServerScript script;
    script.server_process_id = host_.caller().id();
    if (security_descriptor.empty()) {
        script.security_descriptor = DefaultPipeDescriptor();
    } else {
        if (!winformat::SecurityDescriptor::ParseSelfRelative(security_descriptor)) {
            return Win32Failure(win32_error::kInvalidSecurityDescr);
        }
        script.security_descriptor.assign(security_descriptor.begin(), security_descriptor.end());
    }
    auto instance = std::make_shared<SimPipeServer>(std::move(script), true);
    const std::u16string key = Key(name);
    {
        std::lock_guard lock(mutex_);
        auto it = pipes_.find(key);
        if (it != pipes_.end()) {
            const NamedPipe& pipe = it->second;
            if ((open_mode & pipe_open_mode::kFirstPipeInstance) != 0) return Win32Failure(win32_error::kAccessDenied);
            const std::uint32_t modes = pipe_open_mode::kAccessDuplex;
            if (pipe.served_instances == 0 || pipe.max_instances != max_instances ||
                (pipe.open_mode & modes) != (open_mode & modes) || pipe.pipe_mode != pipe_mode) {
                return Win32Failure(win32_error::kAccessDenied);
            }
            if (pipe.served_instances >= max_instances) return Win32Failure(win32_error::kPipeBusy);
        }
        NamedPipe& pipe = pipes_[key];
        if (pipe.served_instances == 0) {
            pipe.max_instances = max_instances;
            pipe.open_mode = open_mode;
            pipe.pipe_mode = pipe_mode;
        }
        ++pipe.served_instances;
        pipe.listening.push_back(instance);
        listening_.notify_all();
    }
    return host_.handles().Add(std::make_shared<SimPipeEnd>(SimPipeEnd::Side::kServer, instance,
                                                            HandleTable::kEveryRight, this, key));
}

void SimPipes::ServerEndClosed(const std::u16string& key, const std::shared_ptr<SimPipeServer>& instance) {
    {
        std::lock_guard lock(instance->mutex_);
        instance->server_closed_ = true;
    }
    std::lock_guard lock(mutex_);
    auto it = pipes_.find(key);
    if (it == pipes_.end()) return;
    NamedPipe& pipe = it->second;
    std::erase(pipe.listening, instance);
    if (pipe.served_instances > 0) --pipe.served_instances;
    if (pipe.served_instances == 0 && pipe.listening.empty() && !pipe.busy_period_ms) pipes_.erase(it);
}

std::shared_ptr<SimPipeEnd> SimPipes::FindServerEnd(Handle pipe) const {
    auto end = FindEnd(pipe);
    if (!end || end->side_ != SimPipeEnd::Side::kServer) return nullptr;
    return end;
}

SysResult<void> SimPipes::ConnectNamedPipe(Handle pipe, Overlapped& overlapped) {
    TELVO_SIM_ENTER(host_, "ConnectNamedPipe");
    auto end = FindServerEnd(pipe);
    if (!end) return Win32Failure(win32_error::kInvalidHandle);
    SimPipeEnd::Operation operation;
    operation.kind = SimPipeEnd::Kind::kConnect;
    operation.event = host_.handles().FindAs<SimEvent>(overlapped.event);
    if (operation.event) operation.event->Set(false);
    std::lock_guard lock(end->mutex_);
    std::shared_ptr<SimPipeServer> instance = end->instance_;
    {
        // Under the pipes' lock, as a client takes an instance: one that a
        // client took is never listed again.
        std::lock_guard pipes_lock(mutex_);
        std::lock_guard instance_lock(instance->mutex_);
        if (instance->connected_) {
            if (operation.event) operation.event->Set(true);
            return Win32Failure(win32_error::kPipeConnected);
        }
        instance->connect_event_ = operation.event;
        // A disconnected server end listens again with its fresh instance.
        auto& listening = pipes_[end->key_].listening;
        if (std::find(listening.begin(), listening.end(), instance) == listening.end()) listening.push_back(instance);
        listening_.notify_all();
    }
    end->operations_[&overlapped] = operation;
    return Win32Failure(win32_error::kIoPending);
}

SysResult<void> SimPipes::DisconnectNamedPipe(Handle pipe) {
    TELVO_SIM_ENTER(host_, "DisconnectNamedPipe");
    auto end = FindServerEnd(pipe);
    if (!end) return Win32Failure(win32_error::kInvalidHandle);
    std::lock_guard lock(end->mutex_);
    std::shared_ptr<SimPipeServer> old = end->instance_;
    {
        std::lock_guard instance_lock(old->mutex_);
        if (!old->connected_) return Win32Failure(win32_error::kPipeNotConnected);
        old->disconnected_ = true;
        old->reply_.clear();
        old->inbound_.clear();
    }
    end->operations_.clear();
    end->instance_ = std::make_shared<SimPipeServer>(old->script_, true);
    return {};
}

SysResult<std::uint32_t> SimPipes::GetNamedPipeClientProcessId(Handle pipe) {
    TELVO_SIM_ENTER(host_, "GetNamedPipeClientProcessId");
    auto end = FindServerEnd(pipe);
    if (!end) return Win32Failure(win32_error::kInvalidHandle);
    std::lock_guard lock(end->mutex_);
    std::lock_guard instance_lock(end->instance_->mutex_);
    if (!end->instance_->connected_) return Win32Failure(win32_error::kPipeNotConnected);
    return end->instance_->client_process_id_;
}

SysResult<void> SimPipes::ImpersonateNamedPipeClient(Handle pipe) {
    TELVO_SIM_ENTER(host_, "ImpersonateNamedPipeClient");
    auto end = FindServerEnd(pipe);
    if (!end) return Win32Failure(win32_error::kInvalidHandle);
    SimToken token;
    {
        std::lock_guard lock(end->mutex_);
        std::lock_guard instance_lock(end->instance_->mutex_);
        const SimPipeServer& instance = *end->instance_;
        if (!instance.connected_ || !instance.server_has_read_ || !instance.client_token_) {
            return Win32Failure(win32_error::kCannotImpersonate);
        }
        token = *instance.client_token_;
        const std::uint32_t flags = instance.client_flags_;
        token.type = token_type::kImpersonation;
        token.impersonation_level = (flags & security_qos::kSqosPresent) != 0
                                        ? (flags & security_qos::kLevelMask) >> 16
                                        : impersonation_level::kImpersonation;
    }
    host_.security().ImpersonateOnThread(std::make_shared<const SimToken>(std::move(token)));
    return {};
}

}  // namespace telvo::platform::sim
