#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/sim/sim_access_check.h"
#include "platform/sim/sim_change_log.h"
#include "platform/wfp.h"

namespace telvo::platform::sim {

class SimHost;

// The Base Filtering Engine of a simulated host, and the boot it runs in.
// What it assumes of Windows:
// - Sessions (windows-notes 6.6, 11.6): FwpmEngineOpen0 checks OPEN on the
//   engine's descriptor with the caller's token, which the session keeps for
//   every later check. The engine's descriptor is the default of 11.6
//   reduced to what matters here: Administrators all rights, Everyone OPEN
//   and CLASSIFY (LocalSystem holds Administrators). Closing a session aborts
//   its transaction and destroys its enumeration handles. Dynamic sessions
//   are not modelled: their objects stay as static ones do.
// - Transactions (6.6): one per session (FWP_E_TXN_IN_PROGRESS, and
//   FWP_E_NO_TXN_IN_PROGRESS for commit or abort without one); beginning
//   needs BEGIN_WRITE_TXN (BEGIN_READ_TXN with FWPM_TXN_READ_ONLY). A write
//   transaction works on its own copy of the engine's state that commit puts
//   in place whole and abort drops whole; another session's write (explicit
//   or the implicit transaction of a lone call) waits for it for the
//   session's txnWaitTimeoutInMSec (15 s when 0) on the virtual clock and
//   then fails with FWP_E_TIMEOUT. A transaction of another process may end
//   on its own OS thread: real time passes first for that, up to
//   kPeerRealWait. A failing call inside a transaction does
//   not abort it. Writes inside a read-only transaction fail with
//   FWP_E_INCOMPATIBLE_TXN (assumed).
// - Objects (6.3, 6.5, 11.6): keys unique per kind (FWP_E_ALREADY_EXISTS), a
//   zero filter key replaced by a fresh one, a display name required
//   (FWP_E_NULL_DISPLAY_NAME), weights EMPTY, UINT8 0..15 or UINT64
//   (FWP_E_INVALID_WEIGHT), the four ALE authorization layers known
//   (FWP_E_LAYER_NOT_FOUND for others), references to a missing provider or
//   sublayer refused (FWP_E_PROVIDER_NOT_FOUND, FWP_E_SUBLAYER_NOT_FOUND), a
//   persistent object referring to a non-persistent one refused
//   (FWP_E_LIFETIME_MISMATCH), an ALE_PACKAGE_ID condition needs an FWP_SID
//   value (FWP_E_TYPE_MISMATCH), a referenced provider or sublayer cannot be
//   deleted (FWP_E_IN_USE), a missing object is the type's NOT_FOUND code.
//   Adding needs ADD on the engine (the containers are assumed to carry the
//   engine's descriptor) and ADD_LINK on the provider and sublayer referred
//   to; get-by-key READ, get-security READ_CONTROL, delete DELETE on the
//   object; enumeration ENUM on the engine, and it returns only filters the
//   caller can READ. A supplied descriptor is stored as given (whether BFE
//   adds control bits is unconfirmed); a descriptor that does not parse is
//   0x8007053A; none gives the engine's. Filter IDs are runtime IDs, counted
//   up from a value that changes with every boot.
// - Enumeration (6.7): the handle works on a snapshot taken at creation, of
//   the session's own view: inside a write transaction it sees the
//   transaction's uncommitted changes (unconfirmed on Windows). A batch
//   returns up to the number asked; an empty batch returns no array.
// - Reboot (6.5, 6.9, 11.6): persistent objects stay, everything else and
//   every session go; persistent filters come back with new IDs; a
//   provider without a service name, or whose service is not auto-start,
//   comes back disabled with its filters (flags 0x10 and 0x20); the boot
//   identifier changes.
// - Boot identity (6.9): NtQuerySystemInformation class 90 fills the
//   32-byte SYSTEM_BOOT_ENVIRONMENT_INFORMATION (UEFI firmware, no boot
//   flags); a smaller buffer is STATUS_INFO_LENGTH_MISMATCH, another class
//   STATUS_INVALID_INFO_CLASS. A test may make it return the shorter form of
//   earlier Windows builds.
// - Changes: filters that a commit (or a lone call) adds to or deletes from
//   the committed state are recorded in the host's change log.
class SimWfp final : public Wfp {
public:
    explicit SimWfp(SimHost& host);

    SysResult<WfpEngine> FwpmEngineOpen0(std::uint32_t authn_service, const WfpSession& session) override;
    SysResult<void> FwpmEngineClose0(WfpEngine engine) override;
    SysResult<void> FwpmTransactionBegin0(WfpEngine engine, std::uint32_t flags) override;
    SysResult<void> FwpmTransactionCommit0(WfpEngine engine) override;
    SysResult<void> FwpmTransactionAbort0(WfpEngine engine) override;
    SysResult<void> FwpmProviderAdd0(WfpEngine engine, const WfpProvider& provider,
                                     std::span<const std::uint8_t> security_descriptor) override;
    SysResult<void> FwpmSubLayerAdd0(WfpEngine engine, const WfpSublayer& sublayer,
                                     std::span<const std::uint8_t> security_descriptor) override;
    SysResult<std::uint64_t> FwpmFilterAdd0(WfpEngine engine, const WfpFilter& filter,
                                            std::span<const std::uint8_t> security_descriptor) override;
    SysResult<std::optional<WfpProvider>> FwpmProviderGetByKey0(WfpEngine engine, const Guid& key) override;
    SysResult<std::optional<WfpSublayer>> FwpmSubLayerGetByKey0(WfpEngine engine, const Guid& key) override;
    SysResult<void> FwpmProviderDeleteByKey0(WfpEngine engine, const Guid& key) override;
    SysResult<void> FwpmSubLayerDeleteByKey0(WfpEngine engine, const Guid& key) override;
    SysResult<void> FwpmFilterDeleteByKey0(WfpEngine engine, const Guid& key) override;
    SysResult<void> FwpmFilterDeleteById0(WfpEngine engine, std::uint64_t id) override;
    SysResult<WfpEnum> FwpmFilterCreateEnumHandle0(WfpEngine engine) override;
    SysResult<WfpFilterBatch> FwpmFilterEnum0(WfpEngine engine, WfpEnum enum_handle,
                                              std::uint32_t num_entries_requested) override;
    SysResult<void> FwpmFilterDestroyEnumHandle0(WfpEngine engine, WfpEnum enum_handle) override;
    SysResult<std::vector<std::uint8_t>> FwpmProviderGetSecurityInfoByKey0(WfpEngine engine, const Guid& key,
                                                                          std::uint32_t security_info) override;
    SysResult<std::vector<std::uint8_t>> FwpmSubLayerGetSecurityInfoByKey0(WfpEngine engine, const Guid& key,
                                                                          std::uint32_t security_info) override;
    SysResult<std::uint32_t> NtQuerySystemInformation(std::uint32_t information_class,
                                                      std::span<std::uint8_t> buffer) override;

    // Test side: the committed state, changed as another administrator
    // (or a damaged installation) would change it.
    std::vector<WfpFilter> Filters() const;
    std::optional<WfpProvider> Provider(const Guid& key) const;
    std::optional<WfpSublayer> Sublayer(const Guid& key) const;
    // False when no such object exists.
    bool ChangeFilter(const Guid& key, const std::function<void(WfpFilter&)>& change);
    bool EraseFilter(const Guid& key);
    bool ChangeProvider(const Guid& key, const std::function<void(WfpProvider&)>& change);
    bool ChangeSublayer(const Guid& key, const std::function<void(WfpSublayer&)>& change);
    bool SetProviderSecurity(const Guid& key, std::vector<std::uint8_t> descriptor);
    bool SetSublayerSecurity(const Guid& key, std::vector<std::uint8_t> descriptor);
    std::size_t OpenSessions() const;
    bool TransactionOpen() const;
    // The engine restarts as at a reboot (see above), in a new boot.
    void Reboot();
    // A process ended: the engine runs down its sessions, and the
    // transaction one of them held is aborted.
    void EndSessionsOf(std::uint32_t process_id);
    const Guid& BootIdentifier() const { return boot_identifier_; }
    // The boot this engine runs in is `identifier` (a host that was
    // described, not booted here).
    void SetBootIdentifier(const Guid& identifier);
    // The size NtQuerySystemInformation reports and fills (32, or the 0x14
    // bytes of builds before Windows 8).
    void SetBootInformationLength(std::uint32_t length) { boot_information_length_ = length; }

private:
    template <class T>
    struct Stored {
        T value;
        std::vector<std::uint8_t> security_descriptor;
    };
    struct State {
        std::map<Guid, Stored<WfpProvider>> providers;
        std::map<Guid, Stored<WfpSublayer>> sublayers;
        std::map<Guid, Stored<WfpFilter>> filters;
    };
    struct Cursor {
        std::vector<WfpFilter> snapshot;
        std::size_t position = 0;
    };
    struct Session {
        std::uint64_t handle = 0;
        std::uint32_t process_id = 0;  // the process that opened it
        TokenIdentity token;
        std::uint32_t txn_wait_timeout_ms = 0;
        std::optional<State> transaction;
        bool read_only = false;
        std::map<std::uint64_t, Cursor> enums;
    };

    SysResult<Session*> Find(WfpEngine engine);
    const State& View(const Session& session) const;
    // The state a write of `session` changes; waits for another session's
    // write transaction as BFE does.
    SysResult<State*> Writable(std::unique_lock<std::mutex>& lock, Session& session);
    // Whether no other session holds the write transaction, after waiting
    // for it as BFE does; fails when `session` went meanwhile.
    SysResult<bool> WriterGone(std::unique_lock<std::mutex>& lock, Session& session);
    void ReleaseWriter();
    SysResult<void> Check(const Session& session, std::span<const std::uint8_t> descriptor,
                          std::uint32_t access) const;
    // Filters added to or deleted from the committed state go to the host's change log.
    void NoteFilter(SimChange::Kind kind, const WfpFilter& filter);
    void NoteCommit(const State& before, const State& after);
    SysResult<std::vector<std::uint8_t>> DescriptorToStore(std::span<const std::uint8_t> given) const;
    std::uint64_t EngineSession(WfpEngine engine) const { return static_cast<std::uint64_t>(engine); }

    SimHost& host_;
    mutable std::mutex mutex_;
    std::vector<std::uint8_t> engine_descriptor_;
    State committed_;
    std::map<std::uint64_t, Session> sessions_;
    std::optional<std::uint64_t> writer_;  // the session holding the write transaction
    std::condition_variable writer_released_;
    std::uint64_t next_handle_ = 0x3F000;
    std::uint64_t next_filter_id_ = 0;
    std::uint64_t boots_ = 0;
    std::uint64_t generated_keys_ = 0;
    Guid boot_identifier_{};
    std::uint32_t boot_information_length_ = kBootEnvironmentInformationSize;
};

}  // namespace telvo::platform::sim
