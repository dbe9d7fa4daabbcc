#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/sim/sim_access_check.h"
#include "platform/sim/sim_object.h"

namespace telvo::platform::sim {

// The device object \Device\Null (windows-notes 1.5, 11.5). Its security
// descriptor lives in memory only: a change lasts until the next reboot,
// which puts the stock descriptor back.
//
// Assumed, where no source gives it: the stock descriptor is a fixture
// (owner Administrators, group SYSTEM, a low no-write-up label in the SACL,
// read and write for Everyone and RESTRICTED, everything for SYSTEM and
// Administrators, and no AppContainer entry), so an AppContainer token is
// refused unless an Administrator added an entry for it. Every open is a full
// access check of the mask asked for against that descriptor.
class SimNullDeviceObject {
public:
    SimNullDeviceObject();

    static std::vector<std::uint8_t> StockDescriptor();

    std::vector<std::uint8_t> Descriptor() const;
    void SetDescriptor(std::vector<std::uint8_t> self_relative);
    bool IsStock() const;
    void Reboot();

    // The access check of an open: the granted mask, or ERROR_ACCESS_DENIED.
    SysResult<std::uint32_t> CheckOpen(const TokenIdentity& token, std::uint32_t desired_access) const;

    // GetSecurityInfo / SetSecurityInfo (SE_KERNEL_OBJECT) through a handle
    // opened with `access`: reading needs READ_CONTROL, writing (the DACL
    // only, replaced as passed) WRITE_DAC.
    SysResult<std::vector<std::uint8_t>> Query(std::uint32_t access, std::uint32_t security_information) const;
    SysResult<void> SetDacl(std::uint32_t access, std::uint32_t security_information,
                            std::span<const std::uint8_t> dacl);

private:
    mutable std::mutex mutex_;
    std::vector<std::uint8_t> descriptor_;
};

// One open of the null device. A read ends at once (0 bytes, end of input)
// and a write consumes everything, each only with the matching data right
// on the open (ERROR_ACCESS_DENIED otherwise).
class SimNullDevice final : public SimObject {
public:
    SimNullDevice(std::uint32_t access, std::shared_ptr<SimNullDeviceObject> device)
        : access_(access), device_(std::move(device)) {}

    std::uint32_t access() const { return access_; }
    SimNullDeviceObject& device() const { return *device_; }
    SysResult<std::uint32_t> Read(std::size_t capacity);
    SysResult<std::uint32_t> Write(std::size_t count);

    // The names CreateFileW takes for it: "NUL" and "\\.\NUL", any case.
    static bool Names(std::u16string_view path);
    // The NT name NtOpenFile takes for it: "\Device\Null", any case.
    static bool NamesDevice(std::u16string_view nt_name);

private:
    std::uint32_t access_;
    std::shared_ptr<SimNullDeviceObject> device_;
};

}  // namespace telvo::platform::sim
