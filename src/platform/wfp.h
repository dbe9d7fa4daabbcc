#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/error.h"

namespace telvo::platform {

// A GUID as its 16 bytes are laid out in memory (Data1, Data2 and Data3
// little-endian, then Data4).
using Guid = std::array<std::uint8_t, 16>;

// The engine handle of a WFP session (FwpmEngineOpen0) and a filter
// enumeration handle; neither is a kernel handle.
enum class WfpEngine : std::uint64_t {};
enum class WfpEnum : std::uint64_t {};
inline constexpr WfpEngine kNullWfpEngine{0};
inline constexpr WfpEnum kNullWfpEnum{0};

// FWPM_DISPLAY_DATA0: either pointer may be null.
struct WfpDisplayData {
    std::optional<std::u16string> name;
    std::optional<std::u16string> description;
    bool operator==(const WfpDisplayData&) const = default;
};

// FWP_VALUE0 and FWP_CONDITION_VALUE0, for the types the system uses: the
// integers (`uint64` holds UINT8 to UINT64) and FWP_SID (`sid` holds the
// SID's bytes).
struct WfpValue {
    std::uint32_t type = 0;  // FWP_EMPTY
    std::uint64_t uint64 = 0;
    std::vector<std::uint8_t> sid;
    bool operator==(const WfpValue&) const = default;
};

// FWPM_SESSION0 as the caller fills it.
struct WfpSession {
    Guid session_key{};
    WfpDisplayData display_data;
    std::uint32_t flags = 0;
    std::uint32_t txn_wait_timeout_ms = 0;  // 0: BFE's default
};

// FWPM_PROVIDER0. `provider_data` is the FWP_BYTE_BLOB (empty: size 0, no data).
struct WfpProvider {
    Guid provider_key{};
    WfpDisplayData display_data;
    std::uint32_t flags = 0;
    std::vector<std::uint8_t> provider_data;
    std::optional<std::u16string> service_name;
    bool operator==(const WfpProvider&) const = default;
};

// FWPM_SUBLAYER0.
struct WfpSublayer {
    Guid sublayer_key{};
    WfpDisplayData display_data;
    std::uint16_t flags = 0;
    std::optional<Guid> provider_key;
    std::vector<std::uint8_t> provider_data;
    std::uint16_t weight = 0;
    bool operator==(const WfpSublayer&) const = default;
};

// FWPM_FILTER_CONDITION0.
struct WfpCondition {
    Guid field_key{};
    std::uint32_t match_type = 0;
    WfpValue condition_value;
    bool operator==(const WfpCondition&) const = default;
};

// FWPM_FILTER0. `num_filter_conditions` is the count as BFE states it;
// `filter_condition` is the array, absent where the pointer was null (then
// nothing of it is read).
struct WfpFilter {
    Guid filter_key{};
    WfpDisplayData display_data;
    std::uint32_t flags = 0;
    std::optional<Guid> provider_key;
    std::vector<std::uint8_t> provider_data;
    Guid layer_key{};
    Guid sublayer_key{};
    WfpValue weight;
    std::uint32_t num_filter_conditions = 0;
    std::optional<std::vector<WfpCondition>> filter_condition;
    std::uint32_t action_type = 0;
    Guid action_filter_type{};  // the union's filterType / calloutKey
    std::uint64_t raw_context = 0;
    std::uint64_t filter_id = 0;  // out
    WfpValue effective_weight;    // out
    bool operator==(const WfpFilter&) const = default;
};

// One FwpmFilterEnum0 batch as BFE returned it: the count it reported and
// the array of pointers (absent where BFE returned none; an entry is empty
// where the array held a null pointer).
struct WfpFilterBatch {
    std::uint32_t num_entries_returned = 0;
    std::optional<std::vector<std::optional<WfpFilter>>> entries;
};

// Windows Filtering Platform management (fwpuclnt). Every call returns the
// DWORD status that BFE returned, as the HRESULT kind: FWP_E_* codes, and
// ERROR_ACCESS_DENIED (5) for refused access. Objects are handed back as
// copies; the backend frees BFE's memory (FwpmFreeMemory0) before it returns.
class Wfp {
public:
    virtual ~Wfp() = default;

    // FwpmEngineOpen0(NULL server, authn_service, NULL auth identity, session, &engine).
    virtual SysResult<WfpEngine> FwpmEngineOpen0(std::uint32_t authn_service, const WfpSession& session) = 0;
    virtual SysResult<void> FwpmEngineClose0(WfpEngine engine) = 0;

    virtual SysResult<void> FwpmTransactionBegin0(WfpEngine engine, std::uint32_t flags) = 0;
    virtual SysResult<void> FwpmTransactionCommit0(WfpEngine engine) = 0;
    virtual SysResult<void> FwpmTransactionAbort0(WfpEngine engine) = 0;

    // The add calls take a self-relative security descriptor; an empty span
    // passes NULL (BFE's default descriptor).
    virtual SysResult<void> FwpmProviderAdd0(WfpEngine engine, const WfpProvider& provider,
                                             std::span<const std::uint8_t> security_descriptor) = 0;
    virtual SysResult<void> FwpmSubLayerAdd0(WfpEngine engine, const WfpSublayer& sublayer,
                                             std::span<const std::uint8_t> security_descriptor) = 0;
    // Returns the filter's runtime ID (the id out parameter).
    virtual SysResult<std::uint64_t> FwpmFilterAdd0(WfpEngine engine, const WfpFilter& filter,
                                                    std::span<const std::uint8_t> security_descriptor) = 0;

    // The object, or nothing where BFE returned success with a null pointer.
    virtual SysResult<std::optional<WfpProvider>> FwpmProviderGetByKey0(WfpEngine engine, const Guid& key) = 0;
    virtual SysResult<std::optional<WfpSublayer>> FwpmSubLayerGetByKey0(WfpEngine engine, const Guid& key) = 0;

    virtual SysResult<void> FwpmProviderDeleteByKey0(WfpEngine engine, const Guid& key) = 0;
    virtual SysResult<void> FwpmSubLayerDeleteByKey0(WfpEngine engine, const Guid& key) = 0;
    virtual SysResult<void> FwpmFilterDeleteByKey0(WfpEngine engine, const Guid& key) = 0;
    virtual SysResult<void> FwpmFilterDeleteById0(WfpEngine engine, std::uint64_t id) = 0;

    // FwpmFilterCreateEnumHandle0 with a NULL template: every filter.
    virtual SysResult<WfpEnum> FwpmFilterCreateEnumHandle0(WfpEngine engine) = 0;
    virtual SysResult<WfpFilterBatch> FwpmFilterEnum0(WfpEngine engine, WfpEnum enum_handle,
                                                      std::uint32_t num_entries_requested) = 0;
    virtual SysResult<void> FwpmFilterDestroyEnumHandle0(WfpEngine engine, WfpEnum enum_handle) = 0;

    // Fwpm*GetSecurityInfoByKey0 with the SECURITY_INFORMATION bits asked
    // for: the parts returned, as one self-relative descriptor (empty where
    // BFE returned none).
    virtual SysResult<std::vector<std::uint8_t>> FwpmProviderGetSecurityInfoByKey0(WfpEngine engine, const Guid& key,
                                                                                  std::uint32_t security_info) = 0;
    virtual SysResult<std::vector<std::uint8_t>> FwpmSubLayerGetSecurityInfoByKey0(WfpEngine engine, const Guid& key,
                                                                                  std::uint32_t security_info) = 0;

    // NtQuerySystemInformation(information class, buffer, size, &return
    // length) (ntdll), NTSTATUS kind: the return length. Here for the boot
    // identity that leases are tied to.
    virtual SysResult<std::uint32_t> NtQuerySystemInformation(std::uint32_t information_class,
                                                              std::span<std::uint8_t> buffer) = 0;
};

// Owns one engine handle and closes it (FwpmEngineClose0) on every path;
// closing aborts a transaction still open.
class UniqueWfpEngine {
public:
    UniqueWfpEngine(Wfp& wfp, WfpEngine engine) : wfp_(&wfp), engine_(engine) {}
    UniqueWfpEngine(UniqueWfpEngine&& other) noexcept
        : wfp_(other.wfp_), engine_(std::exchange(other.engine_, kNullWfpEngine)) {}
    UniqueWfpEngine& operator=(UniqueWfpEngine&&) = delete;
    UniqueWfpEngine(const UniqueWfpEngine&) = delete;
    UniqueWfpEngine& operator=(const UniqueWfpEngine&) = delete;
    ~UniqueWfpEngine() {
        // A failed close leaves nothing to undo.
        if (engine_ != kNullWfpEngine) (void)wfp_->FwpmEngineClose0(engine_);
    }

    WfpEngine get() const { return engine_; }

private:
    Wfp* wfp_;
    WfpEngine engine_;
};

// SYSTEM_INFORMATION_CLASS SystemBootEnvironmentInformation and the size of
// SYSTEM_BOOT_ENVIRONMENT_INFORMATION (BootIdentifier GUID at offset 0).
inline constexpr std::uint32_t kSystemBootEnvironmentInformation = 90;
inline constexpr std::uint32_t kBootEnvironmentInformationSize = 32;

// RPC_C_AUTHN_* for FwpmEngineOpen0.
namespace rpc_authn {
inline constexpr std::uint32_t kWinNt = 10;    // RPC_C_AUTHN_WINNT
inline constexpr std::uint32_t kDefault = 0xFFFFFFFF;  // RPC_C_AUTHN_DEFAULT
}  // namespace rpc_authn

// FWP_DATA_TYPE values.
namespace wfp_type {
inline constexpr std::uint32_t kEmpty = 0;
inline constexpr std::uint32_t kUint8 = 1;
inline constexpr std::uint32_t kUint16 = 2;
inline constexpr std::uint32_t kUint32 = 3;
inline constexpr std::uint32_t kUint64 = 4;
inline constexpr std::uint32_t kSid = 13;
}  // namespace wfp_type

namespace wfp_flag {
inline constexpr std::uint32_t kProviderPersistent = 0x01;  // FWPM_PROVIDER_FLAG_PERSISTENT
inline constexpr std::uint32_t kProviderDisabled = 0x10;    // FWPM_PROVIDER_FLAG_DISABLED (BFE sets it)
inline constexpr std::uint16_t kSublayerPersistent = 0x01;  // FWPM_SUBLAYER_FLAG_PERSISTENT
inline constexpr std::uint32_t kFilterPersistent = 0x01;    // FWPM_FILTER_FLAG_PERSISTENT
inline constexpr std::uint32_t kFilterBoottime = 0x02;      // FWPM_FILTER_FLAG_BOOTTIME
inline constexpr std::uint32_t kFilterDisabled = 0x20;      // FWPM_FILTER_FLAG_DISABLED (BFE sets it)
inline constexpr std::uint32_t kFilterIndexed = 0x40;       // FWPM_FILTER_FLAG_INDEXED
inline constexpr std::uint32_t kSessionDynamic = 0x01;      // FWPM_SESSION_FLAG_DYNAMIC
inline constexpr std::uint32_t kTxnReadOnly = 0x01;         // FWPM_TXN_READ_ONLY
}  // namespace wfp_flag

namespace wfp_action {
inline constexpr std::uint32_t kBlock = 0x1001;   // FWP_ACTION_BLOCK (terminating)
inline constexpr std::uint32_t kPermit = 0x1002;  // FWP_ACTION_PERMIT
}  // namespace wfp_action

inline constexpr std::uint32_t kFwpMatchEqual = 0;  // FWP_MATCH_EQUAL

// FWPM_ACTRL_* rights on the engine and its objects.
namespace wfp_access {
inline constexpr std::uint32_t kAdd = 0x0001;
inline constexpr std::uint32_t kAddLink = 0x0002;
inline constexpr std::uint32_t kBeginReadTxn = 0x0004;
inline constexpr std::uint32_t kBeginWriteTxn = 0x0008;
inline constexpr std::uint32_t kClassify = 0x0010;
inline constexpr std::uint32_t kEnum = 0x0020;
inline constexpr std::uint32_t kOpen = 0x0040;
inline constexpr std::uint32_t kRead = 0x0080;
inline constexpr std::uint32_t kReadStats = 0x0100;
inline constexpr std::uint32_t kSubscribe = 0x0200;
inline constexpr std::uint32_t kWrite = 0x0400;
inline constexpr std::uint32_t kAll = 0x000F07FF;       // STANDARD_RIGHTS_REQUIRED and every FWPM_ACTRL_*
inline constexpr std::uint32_t kReadOnly = 0x00020080;  // READ_CONTROL | FWPM_ACTRL_READ
}  // namespace wfp_access

// The WFP status codes the system and the simulated engine use.
namespace wfp_error {
inline constexpr std::uint32_t kFilterNotFound = 0x80320003;
inline constexpr std::uint32_t kLayerNotFound = 0x80320004;
inline constexpr std::uint32_t kProviderNotFound = 0x80320005;
inline constexpr std::uint32_t kSublayerNotFound = 0x80320007;
inline constexpr std::uint32_t kNotFound = 0x80320008;
inline constexpr std::uint32_t kAlreadyExists = 0x80320009;
inline constexpr std::uint32_t kInUse = 0x8032000A;
inline constexpr std::uint32_t kNoTxnInProgress = 0x8032000D;
inline constexpr std::uint32_t kTxnInProgress = 0x8032000E;
inline constexpr std::uint32_t kTxnAborted = 0x8032000F;
inline constexpr std::uint32_t kSessionAborted = 0x80320010;
inline constexpr std::uint32_t kIncompatibleTxn = 0x80320011;
inline constexpr std::uint32_t kTimeout = 0x80320012;
inline constexpr std::uint32_t kLifetimeMismatch = 0x80320016;
inline constexpr std::uint32_t kBuiltinObject = 0x80320017;
inline constexpr std::uint32_t kNullDisplayName = 0x80320023;
inline constexpr std::uint32_t kInvalidWeight = 0x80320025;
inline constexpr std::uint32_t kTypeMismatch = 0x80320027;
inline constexpr std::uint32_t kAccessDenied = 5;                    // ERROR_ACCESS_DENIED
inline constexpr std::uint32_t kInvalidSecurityDescr = 0x8007053A;  // HRESULT_FROM_WIN32(1338)
inline constexpr std::uint32_t kInvalidHandle = 6;                   // ERROR_INVALID_HANDLE
}  // namespace wfp_error

// Filtering layers and condition fields (windows-notes 6.1).
namespace wfp_guid {
// c38d57d1-05a7-4c33-904f-7fbceee60e82
inline constexpr Guid kLayerAleAuthConnectV4 = {0xd1, 0x57, 0x8d, 0xc3, 0xa7, 0x05, 0x33, 0x4c,
                                               0x90, 0x4f, 0x7f, 0xbc, 0xee, 0xe6, 0x0e, 0x82};
// 4a72393b-319f-44bc-84c3-ba54dcb3b6b4
inline constexpr Guid kLayerAleAuthConnectV6 = {0x3b, 0x39, 0x72, 0x4a, 0x9f, 0x31, 0xbc, 0x44,
                                               0x84, 0xc3, 0xba, 0x54, 0xdc, 0xb3, 0xb6, 0xb4};
// e1cd9fe7-f4b5-4273-96c0-592e487b8650
inline constexpr Guid kLayerAleAuthRecvAcceptV4 = {0xe7, 0x9f, 0xcd, 0xe1, 0xb5, 0xf4, 0x73, 0x42,
                                                  0x96, 0xc0, 0x59, 0x2e, 0x48, 0x7b, 0x86, 0x50};
// a3b42c97-9f04-4672-b87e-cee9c483257f
inline constexpr Guid kLayerAleAuthRecvAcceptV6 = {0x97, 0x2c, 0xb4, 0xa3, 0x04, 0x9f, 0x72, 0x46,
                                                  0xb8, 0x7e, 0xce, 0xe9, 0xc4, 0x83, 0x25, 0x7f};
// 71bc78fa-f17c-4997-a602-6abb261f351c
inline constexpr Guid kConditionAlePackageId = {0xfa, 0x78, 0xbc, 0x71, 0x7c, 0xf1, 0x97, 0x49,
                                               0xa6, 0x02, 0x6a, 0xbb, 0x26, 0x1f, 0x35, 0x1c};
}  // namespace wfp_guid

}  // namespace telvo::platform
