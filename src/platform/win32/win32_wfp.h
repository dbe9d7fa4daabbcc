#pragma once

#include "platform/wfp.h"

namespace telvo::platform::win32 {

class Win32Wfp final : public Wfp {
public:
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
};

}  // namespace telvo::platform::win32
