#include "network_broker/lease_table.h"

#include "network_broker/broker_requests.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "common/try.h"
#include "identity/identifier_text.h"
#include "identity/profile.h"
#include "network_broker/client_job.h"
#include "network_broker/client_token.h"
#include "offline_network/offline_leases.h"
#include "platform/file_constants.h"
#include "winformat/sddl.h"
#include "winformat/text.h"

namespace telvo::network_broker {

namespace {

using namespace platform;
using offline_network::LeaseRecord;

constexpr std::uint32_t kProbeAccess = 0x1;
constexpr char kAllApplicationPackages[] = "S-1-15-2-1";
constexpr std::uint32_t kMaxPrivilegeSetBytes = 64 * 1024;
constexpr int kSizeProbeCalls = 3;

bool HasProfile(const BrokerState& state, const std::string& profile) {
    return std::any_of(state.active.begin(), state.active.end(),
                       [&](const ActiveLease& lease) { return lease.record.profile_name == profile; }) ||
           std::any_of(state.retained.begin(), state.retained.end(),
                       [&](const LeaseRecord& record) { return record.profile_name == profile; });
}

// AccessCheck of the probe right for the child's token against a descriptor
// that grants it to Authenticated Users and to `package`, nobody else.
Result<bool> ProbeGranted(Platform& platform, Handle token, const std::string& package) {
    auto descriptor = winformat::ParseSddl("O:SYG:SYD:P(A;;0x1;;;AU)(A;;0x1;;;" + package + ")");
    if (!descriptor) return Fail(std::move(descriptor.error()).Context("synthetic LPAC descriptor"));
    const std::vector<std::uint8_t> bytes = descriptor->ToSelfRelative();
    std::uint32_t privilege_set = kPrivilegeSetMinimumSize;
    for (int call = 0; call < kSizeProbeCalls; ++call) {
        std::uint32_t needed = 0;
        auto checked = platform.security.AccessCheck(bytes, token, kProbeAccess, kFileGenericMapping, privilege_set,
                                                     needed);
        if (checked) return checked->access_status && (checked->granted_access & kProbeAccess) != 0;
        if (checked.error() != SysError::Win32(win32_error::kInsufficientBuffer) || needed == 0 ||
            needed > kMaxPrivilegeSetBytes) {
            return Fail("AccessCheck(LPAC package restriction) failed with Win32 " + std::to_string(checked.error().code));
        }
        privilege_set = needed;
    }
    return Fail("AccessCheck(LPAC package restriction) failed with Win32 " +
                std::to_string(win32_error::kInsufficientBuffer));
}

// The child's token: an AppContainer of the caller's user for exactly the
// profile's package, less-privileged (ALL APPLICATION PACKAGES does not let
// it in where its package does).
Result<void> VerifyChildToken(Platform& platform, Handle child, const std::string& caller_user,
                              const std::string& profile) {
    TELVO_TRY_ASSIGN(const Handle opened,
                     Lift("OpenProcessToken(verified offline child)",
                          platform.security.OpenProcessToken(child, token_access::kQuery | token_access::kDuplicate)));
    const UniqueHandle token(platform.kernel, opened);
    TELVO_TRY_ASSIGN(const bool app_container, ReadTokenFlag(platform, token.get(), token_information::kIsAppContainer,
                                                             "GetTokenInformation(TokenIsAppContainer)"));
    TELVO_TRY_ASSIGN(const winformat::Sid user,
                     ReadTokenSid(platform, token.get(), token_information::kUser, "GetTokenInformation(TokenUser)"));
    if (!app_container || user.ToString() != caller_user) {
        return Fail("sandbox child must be an AppContainer owned by the authenticated caller");
    }
    TELVO_TRY_ASSIGN(const winformat::Sid package,
                     ReadTokenSid(platform, token.get(), token_information::kAppContainerSid,
                                  "GetTokenInformation(TokenAppContainerSid)"));
    TELVO_TRY_ASSIGN(const winformat::Sid expected, identity::DeriveProfileSid(platform.appcontainer, profile));
    if (package != expected) return Fail("actual sandbox package SID differs from the requested Telvo profile");

    TELVO_TRY_ASSIGN(const Handle duplicated,
                     Lift("DuplicateTokenEx(LPAC package verification)",
                          platform.security.DuplicateTokenEx(token.get(), token_access::kQuery,
                                                             impersonation_level::kIdentification,
                                                             token_type::kImpersonation)));
    const UniqueHandle probe(platform.kernel, duplicated);
    TELVO_TRY_ASSIGN(const bool exact, ProbeGranted(platform, probe.get(), package.ToString()));
    if (!exact) return Fail("sandbox token failed the exact-package positive access control");
    TELVO_TRY_ASSIGN(const bool any_package, ProbeGranted(platform, probe.get(), kAllApplicationPackages));
    if (any_package) return Fail("sandbox token accepts ALL APPLICATION PACKAGES; LPAC restriction required");
    return {};
}

Result<LeaseRecord> NewLeaseRecord(Platform& platform, const BrokerState& state, const AuthenticatedClient& client,
                                   const std::string& profile) {
    LeaseRecord record;
    record.profile_name = profile;
    TELVO_TRY_ASSIGN(const winformat::Sid package, identity::DeriveProfileSid(platform.appcontainer, profile));
    record.package_sid = package.ToString();
    record.owner_sid = client.user_sid;
    record.caller_pid = client.process_id;
    record.caller_creation = client.creation;
    record.boot_id = state.boot_id;
    TELVO_TRY_ASSIGN(record.lease_id, identity::NewUuidText(platform.system));
    for (std::string& key : record.filter_keys) {
        TELVO_TRY_ASSIGN(key, identity::NewUuidText(platform.system));
    }
    return record;
}

// The live marker of a run, opened as the service. Only "no such name"
// proves it gone: the marker lets its own user alone wait on it, so the
// service is refused (Win32 error 5) by a marker that exists, and anything
// else it meets may be one too.
Result<bool> LiveMarkerGone(Platform& platform, const std::string& profile) {
    TELVO_TRY_ASSIGN(const std::u16string name, winformat::Utf8ToUtf16("Global\\" + profile));
    auto opened = platform.sync.OpenMutexW(file_access::kSynchronize, false, name);
    if (opened) {
        (void)platform.kernel.CloseHandle(*opened);
        return false;
    }
    if (opened.error() == SysError::Win32(win32_error::kFileNotFound)) return true;
    if (opened.error() == SysError::Win32(win32_error::kAccessDenied)) return false;
    return FailSys("OpenMutexW(run live marker)", opened.error());
}

// Ends what runs in the lease's Job, removes its filters, and drops it.
Result<void> RetireLease(Platform& platform, BrokerState& state, std::size_t index) {
    ActiveLease& lease = state.active[index];
    TELVO_TRY(EmptyLeaseJob(platform, lease.job.get()));
    TELVO_TRY(offline_network::RemoveOfflineLease(platform, lease.record));
    state.active.erase(state.active.begin() + static_cast<std::ptrdiff_t>(index));
    StoreLeaseCount(state);
    return {};
}

}  // namespace

void StoreLeaseCount(BrokerState& state) { state.lease_count = state.active.size() + state.retained.size(); }

StatusResult LeaseStatus(const BrokerState& state) { return StatusResult{state.active.size(), state.retained.size()}; }

Result<BrokerResult> RegisterLease(Platform& platform, BrokerState& state, AuthenticatedClient& client,
                                   const RegisterRequest& request) {
    if (!state.accepting) return Fail("network broker is stopping; command must not resume");
    TELVO_TRY(identity::ValidateProfileName(request.profile_name));
    if (state.active.size() + state.retained.size() >= kMaxBrokerLeases) {
        return Fail("offline-network lease capacity reached; refusing unprotected execution");
    }
    if (HasProfile(state, request.profile_name)) return Fail("this sandbox profile already has an offline lease");

    TELVO_TRY_ASSIGN(UniqueHandle job, DuplicateClientJob(platform, client.process.get(), request.job_handle));
    TELVO_TRY_ASSIGN(const Handle opened_child,
                     Lift("OpenProcess(sandbox child)",
                          platform.processes.OpenProcess(process_access::kQueryLimitedInformation, request.process_id)));
    const UniqueHandle child(platform.kernel, opened_child);
    TELVO_TRY_ASSIGN(const bool in_job, Lift("IsProcessInJob(sandbox child)",
                                             platform.processes.IsProcessInJob(child.get(), job.get())));
    if (!in_job) return Fail("sandbox child does not belong to the authenticated client's job");
    TELVO_TRY(VerifyChildToken(platform, child.get(), client.user_sid, request.profile_name));

    TELVO_TRY_ASSIGN(LeaseRecord record, NewLeaseRecord(platform, state, client, request.profile_name));
    TELVO_TRY_ASSIGN(const auto filter_ids, offline_network::InstallOfflineLease(platform, record));
    RegisteredResult registered{record.lease_id, filter_ids};
    state.active.push_back(ActiveLease{std::move(record), std::move(job), std::move(client.process)});
    StoreLeaseCount(state);
    return registered;
}

Result<BrokerResult> ReleaseLease(Platform& platform, BrokerState& state, const AuthenticatedClient& client,
                                  const ReleaseRequest& request) {
    const auto found = std::find_if(state.active.begin(), state.active.end(), [&](const ActiveLease& lease) {
        return lease.record.profile_name == request.profile_name && lease.record.lease_id == request.lease_id &&
               lease.record.caller_pid == client.process_id && lease.record.caller_creation == client.creation;
    });
    if (found == state.active.end()) {
        return Fail("matching live offline lease not found; any same-boot orphan protection is retained until reboot");
    }
    TELVO_TRY_ASSIGN(const UniqueHandle job, DuplicateClientJob(platform, client.process.get(), request.job_handle));
    if (!platform.kernel.CompareObjectHandles(job.get(), found->job.get())) {
        return Fail("release job differs from the originally registered job");
    }
    TELVO_TRY_ASSIGN(const std::uint32_t active,
                     JobActiveProcesses(platform, found->job.get(), "QueryInformationJobObject(lease accounting)"));
    if (active != 0) return Fail("cannot release network protection while job processes remain");
    TELVO_TRY(offline_network::RemoveOfflineLease(platform, found->record));
    state.active.erase(found);
    StoreLeaseCount(state);
    return ReleasedResult{};
}

Result<BrokerResult> RecoverLease(Platform& platform, BrokerState& state, const AuthenticatedClient& client,
                                  const RecoverRequest& request) {
    constexpr char kOtherAccount[] = "recovery profile belongs to a different account";
    const auto active = std::find_if(state.active.begin(), state.active.end(), [&](const ActiveLease& lease) {
        return lease.record.profile_name == request.profile_name;
    });
    if (active != state.active.end()) {
        if (active->record.owner_sid != client.user_sid) return Fail(kOtherAccount);
        auto waited = platform.kernel.WaitForSingleObject(active->client_process.get(), 0);
        if (!waited || *waited != wait_result::kObject0) {
            return Fail("original sandbox helper is still alive or its death cannot be proved; recovery refused");
        }
        TELVO_TRY(RetireLease(platform, state, static_cast<std::size_t>(active - state.active.begin())));
        return RecoveredResult{};
    }
    const auto retained = std::find_if(state.retained.begin(), state.retained.end(), [&](const LeaseRecord& record) {
        return record.profile_name == request.profile_name;
    });
    if (retained != state.retained.end()) {
        if (retained->owner_sid != client.user_sid) return Fail(kOtherAccount);
        return Fail(
            "same-boot orphan has no provable original Job; network protection and filesystem recovery are retained "
            "until reboot");
    }
    TELVO_TRY(identity::ValidateProfileName(request.profile_name));
    TELVO_TRY_ASSIGN(const bool gone, LiveMarkerGone(platform, request.profile_name));
    if (!gone) return Fail("original helper marker is still live; recovery refused");
    return RecoveredResult{};
}

Result<void> SweepLeaseOwners(Platform& platform, BrokerState& state, bool final_sweep) {
    const PoisonableMutex::Guard guard(state.lock);
    if (guard.poisoned()) return Fail("broker admission lock poisoned");
    FailureList undetermined;
    Result<void> outcome;
    for (std::size_t index = state.active.size(); index-- > 0;) {
        auto waited = platform.kernel.WaitForSingleObject(state.active[index].client_process.get(), 0);
        if (waited && *waited == wait_result::kTimeout && !final_sweep) continue;
        if (final_sweep || (waited && *waited == wait_result::kObject0)) {
            outcome = RetireLease(platform, state, index);
            if (!outcome) break;
            continue;
        }
        undetermined.Add(Error("cannot determine lease owner liveness; filters retained"));
    }
    StoreLeaseCount(state);
    if (!outcome) return outcome;
    return std::move(undetermined).Finish();
}

}  // namespace telvo::network_broker
