#pragma once

// A simulated host with the offline-network service installed as its
// installer leaves it, running as process kServicePid and serving the
// broker pipe with a reply a test chooses.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "network_broker/broker_call.h"
#include "network_broker/broker_message.h"
#include "platform/sim/sim_host.h"
#include "winformat/security_descriptor.h"

namespace telvo::network_broker::testing {

using platform::sim::PipeChunk;
using platform::sim::PipeServerScript;
using platform::sim::SimHost;
using platform::sim::SimPipeServer;
using winformat::Ace;
using winformat::Sid;
namespace wk = winformat::well_known;

inline constexpr std::uint32_t kServicePid = 812;
inline constexpr char16_t kProgramFiles[] = u"C:\\Program Files";
inline constexpr char16_t kServiceDirectory[] = u"C:\\Program Files\\TelvoOfflineNetwork";
inline constexpr char16_t kImagePath[] = u"C:\\Program Files\\TelvoOfflineNetwork\\telvo-windows-sandbox.exe";
inline constexpr char16_t kCommandLine[] =
    u"\"C:\\Program Files\\TelvoOfflineNetwork\\telvo-windows-sandbox.exe\" --network-service";

inline Sid TrustedInstallerSid() {
    return Sid::Make(winformat::sid_authority::kNt, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464});
}
inline Sid OtherUser() { return Sid::Make(winformat::sid_authority::kNt, {21, 1, 2, 3, 1013}); }
inline Sid InteractiveSid() { return Sid::Make(winformat::sid_authority::kNt, {4}); }
inline Sid CreatorOwner() { return Sid::Make(winformat::sid_authority::kCreator, {0}); }

inline std::vector<std::uint8_t> Descriptor(const Sid& owner, std::vector<Ace> aces) {
    winformat::SecurityDescriptor descriptor;
    descriptor.owner = owner;
    descriptor.group = wk::LocalSystem();
    descriptor.dacl = winformat::AclSlot(*winformat::Acl::Fitted(winformat::acl_revision::kRevision, std::move(aces)));
    return descriptor.ToSelfRelative();
}

// As Program Files hands it down: TrustedInstaller, LocalSystem and
// Administrators change it; Users read and run; CREATOR OWNER on children only.
inline std::vector<std::uint8_t> ProgramFilesDescriptor(const Sid& owner = wk::Administrators()) {
    return Descriptor(owner, {Ace::Allowed(0x001F01FF, TrustedInstallerSid()), Ace::Allowed(0x001F01FF, wk::LocalSystem()),
                              Ace::Allowed(0x001F01FF, wk::Administrators()), Ace::Allowed(0x001200A9, wk::Users()),
                              Ace::Allowed(0x10000000, CreatorOwner(), winformat::ace_flag::kInheritOnly |
                                                                           winformat::ace_flag::kObjectInherit |
                                                                           winformat::ace_flag::kContainerInherit)});
}

// The service object as the installer narrows it: interactive users may
// query it but not control it.
inline std::vector<std::uint8_t> ServiceDescriptor() {
    return Descriptor(wk::LocalSystem(), {Ace::Allowed(0x000201FD, wk::LocalSystem()),
                                          Ace::Allowed(0x000F01FF, wk::Administrators()),
                                          Ace::Allowed(0x0002008D, InteractiveSid()),
                                          Ace::Allowed(0x0002008D, wk::AuthenticatedUsers())});
}

// The broker pipe's descriptor with `owner` in place of LocalSystem.
inline std::vector<std::uint8_t> PipeDescriptor(const Sid& owner = wk::LocalSystem()) {
    return Descriptor(owner, {Ace::Allowed(0x001F01FF, wk::LocalSystem()), Ace::Allowed(0x0012019B, wk::AuthenticatedUsers())});
}

inline std::string Frame(std::string_view text) {
    const auto length = static_cast<std::uint32_t>(text.size());
    std::string frame{static_cast<char>(length & 0xFF), static_cast<char>((length >> 8) & 0xFF),
                      static_cast<char>((length >> 16) & 0xFF), static_cast<char>((length >> 24) & 0xFF)};
    return frame + std::string(text);
}

inline std::string ReplyText(BrokerResult result, std::uint32_t service_pid = kServicePid,
                             std::uint32_t policy_version = kPolicyVersion) {
    return EncodeBrokerReply(BrokerReply{kProtocolVersion, policy_version, service_pid, std::move(result)}).value();
}

// The offline-network service as its installer leaves it, running as
// kServicePid: its image under Program Files, the registry value that
// locates Program Files, and the service with its narrowed descriptor.
inline void InstallOfflineService(SimHost& host) {
    (void)host.files().MakeDirectory(kProgramFiles);
    (void)host.files().MakeDirectory(kServiceDirectory);
    (void)host.files().MakeFile(kImagePath, "MZ");
    (void)host.files().SetSecurityDescriptor(kServiceDirectory, ProgramFilesDescriptor());
    (void)host.files().SetSecurityDescriptor(kImagePath, ProgramFilesDescriptor());
    host.system().registry().Set(u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", u"ProgramFilesDir",
                                 platform::registry_type::kSz,
                                 platform::sim::RegistryStringBytes(std::u16string(kProgramFiles) + u'\0'));
    platform::sim::SimInstalledService service;
    service.config.service_type = platform::service_type::kWin32OwnProcess;
    service.config.start_type = platform::service_start::kAutoStart;
    service.config.binary_path_name = kCommandLine;
    service.config.service_start_name = u"LocalSystem";
    service.config.display_name = u"Telvo offline network";
    service.status.service_type = platform::service_type::kWin32OwnProcess;
    service.status.current_state = platform::service_state::kRunning;
    service.status.process_id = kServicePid;
    service.security_descriptor = ServiceDescriptor();
    host.service().Install(u"TelvoOfflineNetwork", std::move(service));
}

// A broker pipe instance of the service that answers with `chunks`.
inline std::shared_ptr<SimPipeServer> ServeBroker(SimHost& host, std::vector<PipeChunk> chunks,
                                                  PipeServerScript script = {}) {
    if (script.server_process_id == 0) script.server_process_id = kServicePid;
    if (script.security_descriptor.empty()) script.security_descriptor = PipeDescriptor();
    script.reply = std::move(chunks);
    return host.pipes().Listen(kBrokerPipeName, std::move(script));
}

// One that answers with `result` in one piece.
inline std::shared_ptr<SimPipeServer> ServeBrokerResult(SimHost& host, BrokerResult result) {
    return ServeBroker(host, {PipeChunk{0, Frame(ReplyText(std::move(result)))}});
}

// The broker as the running service serves every client: a lease for each
// registration, and "released", "recovered" and an empty status for the rest.
inline void ServeBrokerAlways(SimHost& host) {
    PipeServerScript script;
    script.keeps_listening = true;
    script.respond = [](std::string_view request) -> std::string {
        auto decoded = DecodeBrokerRequest(request);
        if (!decoded) return Frame(ReplyText(ErrorResult{decoded.error().Display()}));
        if (std::holds_alternative<RegisterRequest>(*decoded)) {
            return Frame(ReplyText(RegisteredResult{"6f1c0a52-8c1e-4d4e-9a1b-0c2d3e4f5a6b", {1, 2, 3, 4}}));
        }
        if (std::holds_alternative<ReleaseRequest>(*decoded)) return Frame(ReplyText(ReleasedResult{}));
        if (std::holds_alternative<RecoverRequest>(*decoded)) return Frame(ReplyText(RecoveredResult{}));
        return Frame(ReplyText(StatusResult{0, 0}));
    };
    ServeBroker(host, {}, std::move(script));
}

class BrokerTestHost {
public:
    BrokerTestHost() {
        host.files().AddVolume({});
        InstallOfflineService(host);
    }

    platform::Platform& platform() { return host.platform(); }
    platform::sim::SimInstalledService& service() { return *host.service().Find(u"TelvoOfflineNetwork"); }

    // A server instance that answers with `reply` in one piece.
    std::shared_ptr<SimPipeServer> Serve(std::string reply, PipeServerScript script = {}) {
        return ServeChunks({PipeChunk{0, std::move(reply)}}, std::move(script));
    }
    std::shared_ptr<SimPipeServer> ServeResult(BrokerResult result) { return ServeBrokerResult(host, std::move(result)); }
    std::shared_ptr<SimPipeServer> ServeChunks(std::vector<PipeChunk> chunks, PipeServerScript script = {}) {
        return ServeBroker(host, std::move(chunks), std::move(script));
    }

    // Open kernel and service handles together.
    std::size_t OpenHandles() { return host.handles().OpenCount() + host.service().OpenHandleCount(); }

    SimHost host;
};

}  // namespace telvo::network_broker::testing
