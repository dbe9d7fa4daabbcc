#include "platform/win32/win32_appcontainer.h"

#include <memory>
#include <vector>

#include "common/try.h"
#include "platform/win32/win32_common.h"

#include <objbase.h>
#include <sddl.h>
#include <userenv.h>

namespace telvo::platform::win32 {

namespace {

struct FreeSidDeleter {
    void operator()(void* sid) const { ::FreeSid(sid); }
};
struct LocalFreeDeleter {
    void operator()(void* memory) const { ::LocalFree(memory); }
};
struct CoTaskMemFreeDeleter {
    void operator()(void* memory) const { ::CoTaskMemFree(memory); }
};

// A LocalAlloc'd array of LocalAlloc'd SIDs, as DeriveCapabilitySidsFromName
// returns them: every entry and the array are released together.
class LocalSidArray {
public:
    LocalSidArray() = default;
    LocalSidArray(const LocalSidArray&) = delete;
    LocalSidArray& operator=(const LocalSidArray&) = delete;
    ~LocalSidArray() {
        if (sids_ == nullptr) return;
        for (DWORD i = 0; i < count_; ++i) ::LocalFree(sids_[i]);
        ::LocalFree(sids_);
    }

    PSID** array() { return &sids_; }
    DWORD* count() { return &count_; }
    std::span<PSID> entries() const {
        return sids_ == nullptr ? std::span<PSID>() : std::span<PSID>(sids_, count_);
    }

private:
    PSID* sids_ = nullptr;
    DWORD count_ = 0;
};

PSID ToNativeSid(const winformat::Sid& sid) { return const_cast<std::uint8_t*>(sid.bytes().data()); }

// A copy of a SID that Windows returned; nothing when its bytes are not a SID.
std::optional<winformat::Sid> CopyNativeSid(PSID sid) {
    if (!::IsValidSid(sid)) return std::nullopt;
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    auto copy = winformat::Sid::FromBytes({bytes, ::GetLengthSid(sid)});
    if (!copy) return std::nullopt;
    return std::move(*copy);
}

std::unexpected<SysError> HResultFailure(HRESULT result) {
    return std::unexpected(SysError::HResult(static_cast<std::uint32_t>(result)));
}

// The SID of a profile call, copied as it came; the system's SID is freed
// with FreeSid on every path.
SysResult<ReturnedSid> TakeProfileSid(HRESULT result, PSID sid) {
    const std::unique_ptr<void, FreeSidDeleter> owned(sid);
    if (FAILED(result)) return HResultFailure(result);
    return ReturnedSid{static_cast<std::uint32_t>(result), ReturnedSidBytes(sid)};
}

SysResult<std::vector<std::optional<winformat::Sid>>> CopySidArray(const LocalSidArray& array) {
    std::vector<std::optional<winformat::Sid>> copies;
    for (const PSID sid : array.entries()) {
        if (sid == nullptr) {
            copies.emplace_back();
            continue;
        }
        auto copy = CopyNativeSid(sid);
        if (!copy) return std::unexpected(SysError::Win32(ERROR_INVALID_SID));
        copies.push_back(std::move(copy));
    }
    return copies;
}

// DeriveCapabilitySidsFromName has no import library in the MinGW toolchain;
// it is looked up in kernelbase.dll once per process.
using DeriveCapabilitySidsFromNameFunction = BOOL(WINAPI*)(LPCWSTR, PSID**, DWORD*, PSID**, DWORD*);

struct ResolvedExport {
    DeriveCapabilitySidsFromNameFunction function = nullptr;
    DWORD error = ERROR_SUCCESS;  // why `function` is missing
};

const ResolvedExport& DeriveCapabilitySidsFromNameExport() {
    static const ResolvedExport resolved = [] {
        const HMODULE module = ::GetModuleHandleW(L"kernelbase.dll");
        if (module == nullptr) return ResolvedExport{nullptr, ::GetLastError()};
        const FARPROC address = ::GetProcAddress(module, "DeriveCapabilitySidsFromName");
        if (address == nullptr) return ResolvedExport{nullptr, ::GetLastError()};
        return ResolvedExport{reinterpret_cast<DeriveCapabilitySidsFromNameFunction>(
                                  reinterpret_cast<void (*)()>(address)),
                              ERROR_SUCCESS};
    }();
    return resolved;
}

}  // namespace

SysResult<ReturnedSid> Win32AppContainer::CreateAppContainerProfile(
    const std::u16string& name, const std::u16string& display_name, const std::u16string& description,
    std::span<const SidAndAttributes> capabilities) {
    if (capabilities.size() > MAXDWORD) return HResultFailure(E_INVALIDARG);
    std::vector<SID_AND_ATTRIBUTES> native;
    native.reserve(capabilities.size());
    for (const auto& capability : capabilities) {
        native.push_back({capability.sid == nullptr ? nullptr : ToNativeSid(*capability.sid),
                          static_cast<DWORD>(capability.attributes)});
    }
    PSID sid = nullptr;
    const HRESULT result = ::CreateAppContainerProfile(
        Wide(name), Wide(display_name), Wide(description), native.empty() ? nullptr : native.data(),
        static_cast<DWORD>(native.size()), &sid);
    return TakeProfileSid(result, sid);
}

SysResult<ReturnedSid> Win32AppContainer::DeriveAppContainerSidFromAppContainerName(
    const std::u16string& name) {
    PSID sid = nullptr;
    const HRESULT result = ::DeriveAppContainerSidFromAppContainerName(Wide(name), &sid);
    return TakeProfileSid(result, sid);
}

SysResult<void> Win32AppContainer::DeleteAppContainerProfile(const std::u16string& name) {
    const HRESULT result = ::DeleteAppContainerProfile(Wide(name));
    if (FAILED(result)) return HResultFailure(result);
    return {};
}

SysResult<ReturnedPath> Win32AppContainer::GetAppContainerFolderPath(const std::u16string& sid_string) {
    PWSTR path = nullptr;
    const HRESULT result = ::GetAppContainerFolderPath(Wide(sid_string), &path);
    const std::unique_ptr<wchar_t, CoTaskMemFreeDeleter> owned(path);
    if (FAILED(result)) return HResultFailure(result);
    return ReturnedPath{static_cast<std::uint32_t>(result), path == nullptr ? std::u16string() : FromWide(path)};
}

SysResult<DerivedCapabilitySids> Win32AppContainer::DeriveCapabilitySidsFromName(const std::u16string& name) {
    const ResolvedExport& derive = DeriveCapabilitySidsFromNameExport();
    if (derive.function == nullptr) return std::unexpected(SysError::Win32(derive.error));
    LocalSidArray groups;
    LocalSidArray capabilities;
    if (!derive.function(Wide(name), groups.array(), groups.count(), capabilities.array(),
                         capabilities.count())) {
        return LastError();
    }
    DerivedCapabilitySids copies;
    TELVO_TRY_ASSIGN(copies.group_sids, CopySidArray(groups));
    TELVO_TRY_ASSIGN(copies.capability_sids, CopySidArray(capabilities));
    return copies;
}

SysResult<std::u16string> Win32AppContainer::ConvertSidToStringSidW(const winformat::Sid& sid) {
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(ToNativeSid(sid), &text)) return LastError();
    const std::unique_ptr<wchar_t, LocalFreeDeleter> owned(text);
    return FromWide(text);
}

}  // namespace telvo::platform::win32
