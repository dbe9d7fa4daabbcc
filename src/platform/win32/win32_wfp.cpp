#include "platform/win32/win32_wfp.h"

#include "common/try.h"
#include "platform/win32/win32_common.h"

#include <fwpmu.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

extern "C" {
LONG NTAPI NtQuerySystemInformation(ULONG information_class, PVOID information, ULONG length, PULONG return_length);
}

namespace telvo::platform::win32 {

namespace {

HANDLE Native(WfpEngine engine) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(engine)); }
HANDLE Native(WfpEnum handle) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle)); }

GUID ToGuid(const Guid& bytes) {
    GUID guid;
    std::memcpy(&guid, bytes.data(), sizeof guid);
    return guid;
}

Guid FromGuid(const GUID& guid) {
    Guid bytes;
    std::memcpy(bytes.data(), &guid, sizeof guid);
    return bytes;
}

SysResult<void> Status(DWORD status) {
    if (status != ERROR_SUCCESS) return std::unexpected(SysError::HResult(status));
    return {};
}

std::optional<std::u16string> Text(const wchar_t* text) {
    if (text == nullptr) return std::nullopt;
    return FromWide(text);
}

std::vector<std::uint8_t> Blob(const FWP_BYTE_BLOB& blob) {
    if (blob.data == nullptr) return {};
    return std::vector<std::uint8_t>(blob.data, blob.data + blob.size);
}

WfpValue Value(FWP_DATA_TYPE type, UINT8 uint8, UINT16 uint16, UINT32 uint32, const UINT64* uint64, SID* sid) {
    WfpValue value;
    value.type = static_cast<std::uint32_t>(type);
    switch (type) {
        case FWP_UINT8: value.uint64 = uint8; break;
        case FWP_UINT16: value.uint64 = uint16; break;
        case FWP_UINT32: value.uint64 = uint32; break;
        case FWP_UINT64: value.uint64 = uint64 != nullptr ? *uint64 : 0; break;
        case FWP_SID: value.sid = ReturnedSidBytes(sid); break;
        default: break;
    }
    return value;
}

WfpValue FromValue(const FWP_VALUE0& v) { return Value(v.type, v.uint8, v.uint16, v.uint32, v.uint64, v.sid); }
WfpValue FromValue(const FWP_CONDITION_VALUE0& v) {
    return Value(v.type, v.uint8, v.uint16, v.uint32, v.uint64, v.sid);
}

// The native structures of one call and the storage their pointers point to.
class NativeObjects {
public:
    FWPM_DISPLAY_DATA0 Display(const WfpDisplayData& display) {
        return FWPM_DISPLAY_DATA0{String(display.name), String(display.description)};
    }
    wchar_t* String(const std::optional<std::u16string>& text) {
        if (!text) return nullptr;
        return strings_.emplace_back(std::make_unique<std::wstring>(text->begin(), text->end()))->data();
    }
    GUID* GuidPointer(const std::optional<Guid>& key) {
        if (!key) return nullptr;
        return guids_.emplace_back(std::make_unique<GUID>(ToGuid(*key))).get();
    }
    FWP_BYTE_BLOB Blob(const std::vector<std::uint8_t>& bytes) {
        // BFE only reads the blob; the cast keeps the caller's bytes.
        return FWP_BYTE_BLOB{static_cast<UINT32>(bytes.size()),
                             bytes.empty() ? nullptr : const_cast<UINT8*>(bytes.data())};
    }
    template <class Native>
    void Fill(Native& native, const WfpValue& value) {
        native.type = static_cast<FWP_DATA_TYPE>(value.type);
        switch (value.type) {
            case wfp_type::kUint8: native.uint8 = static_cast<UINT8>(value.uint64); break;
            case wfp_type::kUint16: native.uint16 = static_cast<UINT16>(value.uint64); break;
            case wfp_type::kUint32: native.uint32 = static_cast<UINT32>(value.uint64); break;
            case wfp_type::kUint64: native.uint64 = uint64s_.emplace_back(std::make_unique<UINT64>(value.uint64)).get(); break;
            case wfp_type::kSid:
                native.sid = reinterpret_cast<SID*>(const_cast<std::uint8_t*>(value.sid.data()));
                break;
            default: break;
        }
    }
    std::vector<FWPM_FILTER_CONDITION0>& Conditions() { return conditions_; }

private:
    std::vector<std::unique_ptr<std::wstring>> strings_;
    std::vector<std::unique_ptr<GUID>> guids_;
    std::vector<std::unique_ptr<UINT64>> uint64s_;
    std::vector<FWPM_FILTER_CONDITION0> conditions_;
};

PSECURITY_DESCRIPTOR Descriptor(std::span<const std::uint8_t> bytes) {
    return bytes.empty() ? nullptr : const_cast<std::uint8_t*>(bytes.data());
}

WfpFilter FromFilter(const FWPM_FILTER0& native) {
    WfpFilter filter;
    filter.filter_key = FromGuid(native.filterKey);
    filter.display_data = {Text(native.displayData.name), Text(native.displayData.description)};
    filter.flags = native.flags;
    if (native.providerKey != nullptr) filter.provider_key = FromGuid(*native.providerKey);
    filter.provider_data = Blob(native.providerData);
    filter.layer_key = FromGuid(native.layerKey);
    filter.sublayer_key = FromGuid(native.subLayerKey);
    filter.weight = FromValue(native.weight);
    filter.num_filter_conditions = native.numFilterConditions;
    if (native.filterCondition != nullptr) {
        filter.filter_condition.emplace();
        for (UINT32 i = 0; i < native.numFilterConditions; ++i) {
            const FWPM_FILTER_CONDITION0& condition = native.filterCondition[i];
            filter.filter_condition->push_back(WfpCondition{FromGuid(condition.fieldKey),
                                                            static_cast<std::uint32_t>(condition.matchType),
                                                            FromValue(condition.conditionValue)});
        }
    }
    filter.action_type = native.action.type;
    filter.action_filter_type = FromGuid(native.action.filterType);
    filter.raw_context = native.rawContext;
    filter.filter_id = native.filterId;
    filter.effective_weight = FromValue(native.effectiveWeight);
    return filter;
}

// Frees what BFE allocated, on every path.
template <class T>
struct BfeMemory {
    T* pointer = nullptr;
    ~BfeMemory() {
        if (pointer != nullptr) ::FwpmFreeMemory0(reinterpret_cast<void**>(&pointer));
    }
};

// Fwpm*GetSecurityInfoByKey0: the parts asked for, copied out of the one
// self-relative descriptor BFE allocates (the other out pointers point into it).
using GetSecurityInfoByKey = DWORD(WINAPI*)(HANDLE, const GUID*, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                                            PSECURITY_DESCRIPTOR*);

SysResult<std::vector<std::uint8_t>> SecurityInfo(GetSecurityInfoByKey call, HANDLE engine, const Guid& key,
                                                  std::uint32_t security_info) {
    const GUID native_key = ToGuid(key);
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL dacl = nullptr;
    PACL sacl = nullptr;
    BfeMemory<void> descriptor;
    TELVO_TRY(Status(call(engine, &native_key, security_info, &owner, &group, &dacl, &sacl, &descriptor.pointer)));
    if (descriptor.pointer == nullptr) return std::vector<std::uint8_t>();
    const auto* bytes = static_cast<const std::uint8_t*>(descriptor.pointer);
    return std::vector<std::uint8_t>(bytes, bytes + ::GetSecurityDescriptorLength(descriptor.pointer));
}

}  // namespace

SysResult<WfpEngine> Win32Wfp::FwpmEngineOpen0(std::uint32_t authn_service, const WfpSession& session) {
    NativeObjects objects;
    FWPM_SESSION0 native{};
    native.sessionKey = ToGuid(session.session_key);
    native.displayData = objects.Display(session.display_data);
    native.flags = session.flags;
    native.txnWaitTimeoutInMSec = session.txn_wait_timeout_ms;
    HANDLE engine = nullptr;
    TELVO_TRY(Status(::FwpmEngineOpen0(nullptr, authn_service, nullptr, &native, &engine)));
    return WfpEngine{static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(engine))};
}

SysResult<void> Win32Wfp::FwpmEngineClose0(WfpEngine engine) { return Status(::FwpmEngineClose0(Native(engine))); }

SysResult<void> Win32Wfp::FwpmTransactionBegin0(WfpEngine engine, std::uint32_t flags) {
    return Status(::FwpmTransactionBegin0(Native(engine), flags));
}

SysResult<void> Win32Wfp::FwpmTransactionCommit0(WfpEngine engine) {
    return Status(::FwpmTransactionCommit0(Native(engine)));
}

SysResult<void> Win32Wfp::FwpmTransactionAbort0(WfpEngine engine) {
    return Status(::FwpmTransactionAbort0(Native(engine)));
}

SysResult<void> Win32Wfp::FwpmProviderAdd0(WfpEngine engine, const WfpProvider& provider,
                                           std::span<const std::uint8_t> security_descriptor) {
    NativeObjects objects;
    FWPM_PROVIDER0 native{};
    native.providerKey = ToGuid(provider.provider_key);
    native.displayData = objects.Display(provider.display_data);
    native.flags = provider.flags;
    native.providerData = objects.Blob(provider.provider_data);
    native.serviceName = objects.String(provider.service_name);
    return Status(::FwpmProviderAdd0(Native(engine), &native, Descriptor(security_descriptor)));
}

SysResult<void> Win32Wfp::FwpmSubLayerAdd0(WfpEngine engine, const WfpSublayer& sublayer,
                                           std::span<const std::uint8_t> security_descriptor) {
    NativeObjects objects;
    FWPM_SUBLAYER0 native{};
    native.subLayerKey = ToGuid(sublayer.sublayer_key);
    native.displayData = objects.Display(sublayer.display_data);
    native.flags = sublayer.flags;
    native.providerKey = objects.GuidPointer(sublayer.provider_key);
    native.providerData = objects.Blob(sublayer.provider_data);
    native.weight = sublayer.weight;
    return Status(::FwpmSubLayerAdd0(Native(engine), &native, Descriptor(security_descriptor)));
}

SysResult<std::uint64_t> Win32Wfp::FwpmFilterAdd0(WfpEngine engine, const WfpFilter& filter,
                                                  std::span<const std::uint8_t> security_descriptor) {
    NativeObjects objects;
    FWPM_FILTER0 native{};
    native.filterKey = ToGuid(filter.filter_key);
    native.displayData = objects.Display(filter.display_data);
    native.flags = filter.flags;
    native.providerKey = objects.GuidPointer(filter.provider_key);
    native.providerData = objects.Blob(filter.provider_data);
    native.layerKey = ToGuid(filter.layer_key);
    native.subLayerKey = ToGuid(filter.sublayer_key);
    objects.Fill(native.weight, filter.weight);
    native.numFilterConditions = filter.num_filter_conditions;
    if (filter.filter_condition) {
        auto& conditions = objects.Conditions();
        conditions.resize(filter.filter_condition->size());
        for (std::size_t i = 0; i < conditions.size(); ++i) {
            const WfpCondition& condition = (*filter.filter_condition)[i];
            conditions[i].fieldKey = ToGuid(condition.field_key);
            conditions[i].matchType = static_cast<FWP_MATCH_TYPE>(condition.match_type);
            objects.Fill(conditions[i].conditionValue, condition.condition_value);
        }
        native.filterCondition = conditions.data();
    }
    native.action.type = filter.action_type;
    native.action.filterType = ToGuid(filter.action_filter_type);
    native.rawContext = filter.raw_context;
    UINT64 id = 0;
    TELVO_TRY(Status(::FwpmFilterAdd0(Native(engine), &native, Descriptor(security_descriptor), &id)));
    return id;
}

SysResult<std::optional<WfpProvider>> Win32Wfp::FwpmProviderGetByKey0(WfpEngine engine, const Guid& key) {
    const GUID native_key = ToGuid(key);
    BfeMemory<FWPM_PROVIDER0> provider;
    TELVO_TRY(Status(::FwpmProviderGetByKey0(Native(engine), &native_key, &provider.pointer)));
    if (provider.pointer == nullptr) return std::optional<WfpProvider>();
    const FWPM_PROVIDER0& native = *provider.pointer;
    return WfpProvider{FromGuid(native.providerKey),
                       {Text(native.displayData.name), Text(native.displayData.description)},
                       native.flags,
                       Blob(native.providerData),
                       Text(native.serviceName)};
}

SysResult<std::optional<WfpSublayer>> Win32Wfp::FwpmSubLayerGetByKey0(WfpEngine engine, const Guid& key) {
    const GUID native_key = ToGuid(key);
    BfeMemory<FWPM_SUBLAYER0> sublayer;
    TELVO_TRY(Status(::FwpmSubLayerGetByKey0(Native(engine), &native_key, &sublayer.pointer)));
    if (sublayer.pointer == nullptr) return std::optional<WfpSublayer>();
    const FWPM_SUBLAYER0& native = *sublayer.pointer;
    WfpSublayer copy{FromGuid(native.subLayerKey),
                     {Text(native.displayData.name), Text(native.displayData.description)},
                     native.flags,
                     std::nullopt,
                     Blob(native.providerData),
                     native.weight};
    if (native.providerKey != nullptr) copy.provider_key = FromGuid(*native.providerKey);
    return copy;
}

SysResult<void> Win32Wfp::FwpmProviderDeleteByKey0(WfpEngine engine, const Guid& key) {
    const GUID native_key = ToGuid(key);
    return Status(::FwpmProviderDeleteByKey0(Native(engine), &native_key));
}

SysResult<void> Win32Wfp::FwpmSubLayerDeleteByKey0(WfpEngine engine, const Guid& key) {
    const GUID native_key = ToGuid(key);
    return Status(::FwpmSubLayerDeleteByKey0(Native(engine), &native_key));
}

SysResult<void> Win32Wfp::FwpmFilterDeleteByKey0(WfpEngine engine, const Guid& key) {
    const GUID native_key = ToGuid(key);
    return Status(::FwpmFilterDeleteByKey0(Native(engine), &native_key));
}

SysResult<void> Win32Wfp::FwpmFilterDeleteById0(WfpEngine engine, std::uint64_t id) {
    return Status(::FwpmFilterDeleteById0(Native(engine), id));
}

SysResult<WfpEnum> Win32Wfp::FwpmFilterCreateEnumHandle0(WfpEngine engine) {
    HANDLE handle = nullptr;
    TELVO_TRY(Status(::FwpmFilterCreateEnumHandle0(Native(engine), nullptr, &handle)));
    return WfpEnum{static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle))};
}

SysResult<WfpFilterBatch> Win32Wfp::FwpmFilterEnum0(WfpEngine engine, WfpEnum enum_handle,
                                                    std::uint32_t num_entries_requested) {
    BfeMemory<FWPM_FILTER0*> entries;
    UINT32 returned = 0;
    TELVO_TRY(Status(
        ::FwpmFilterEnum0(Native(engine), Native(enum_handle), num_entries_requested, &entries.pointer, &returned)));
    WfpFilterBatch batch;
    batch.num_entries_returned = returned;
    // BFE sized the array by the count it returned; nothing beyond what was
    // asked for is read.
    if (entries.pointer != nullptr) {
        batch.entries.emplace();
        const UINT32 readable = std::min(returned, num_entries_requested);
        for (UINT32 i = 0; i < readable; ++i) {
            if (entries.pointer[i] == nullptr) {
                batch.entries->emplace_back();
            } else {
                batch.entries->emplace_back(FromFilter(*entries.pointer[i]));
            }
        }
    }
    return batch;
}

SysResult<void> Win32Wfp::FwpmFilterDestroyEnumHandle0(WfpEngine engine, WfpEnum enum_handle) {
    return Status(::FwpmFilterDestroyEnumHandle0(Native(engine), Native(enum_handle)));
}

SysResult<std::vector<std::uint8_t>> Win32Wfp::FwpmProviderGetSecurityInfoByKey0(WfpEngine engine, const Guid& key,
                                                                                std::uint32_t security_info) {
    return SecurityInfo(::FwpmProviderGetSecurityInfoByKey0, Native(engine), key, security_info);
}

SysResult<std::vector<std::uint8_t>> Win32Wfp::FwpmSubLayerGetSecurityInfoByKey0(WfpEngine engine, const Guid& key,
                                                                                std::uint32_t security_info) {
    return SecurityInfo(::FwpmSubLayerGetSecurityInfoByKey0, Native(engine), key, security_info);
}

SysResult<std::uint32_t> Win32Wfp::NtQuerySystemInformation(std::uint32_t information_class,
                                                            std::span<std::uint8_t> buffer) {
    if (buffer.size() > std::numeric_limits<ULONG>::max()) return std::unexpected(SysError::NtStatus(0xC000000D));
    ULONG returned = 0;
    const LONG status = ::NtQuerySystemInformation(information_class, buffer.empty() ? nullptr : buffer.data(),
                                                   static_cast<ULONG>(buffer.size()), &returned);
    if (status < 0) return std::unexpected(SysError::NtStatus(static_cast<std::uint32_t>(status)));
    return static_cast<std::uint32_t>(returned);
}

}  // namespace telvo::platform::win32
