#include "network_broker/protected_service.h"

#include <array>
#include <optional>
#include <span>
#include <vector>

#include "common/size_probe.h"
#include "common/try.h"
#include "network_broker/service_main.h"
#include "platform/unique_handle.h"
#include "winformat/ace.h"
#include "winformat/ordinal_case.h"
#include "winformat/security_descriptor.h"
#include "winformat/text.h"
#include "winutil/local_path.h"
#include "winutil/machine_registry.h"
#include "winutil/object_open.h"

namespace telvo::network_broker {

namespace {

using namespace platform;
using winformat::Sid;

constexpr char kNotInstalled[] =
    "offline network service is not installed; run telvo runtime windows-sandbox prepare --network from an "
    "Administrator terminal";
constexpr const char* kForeign = kForeignServiceConfiguration;

constexpr char16_t kCurrentVersionKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr char16_t kProgramFilesValue[] = u"ProgramFilesDir";
constexpr char16_t kServiceDirectory[] = u"TelvoOfflineNetwork";
constexpr char16_t kServiceExecutable[] = u"telvo-windows-sandbox.exe";
constexpr char16_t kServiceArgument[] = u" --network-service";

constexpr std::uint32_t kServiceQueryAccess =
    service_access::kQueryConfig | service_access::kQueryStatus | file_access::kReadControl;
// First sizes that hold the usual answer in one call; QueryServiceConfigW's
// buffer never needs more than 8 KiB.
constexpr std::size_t kFirstServiceConfigBytes = 1024;
constexpr std::uint32_t kMaxServiceConfigBytes = 8192;
constexpr std::size_t kFirstDescriptorBytes = 512;
constexpr std::uint32_t kMaxDescriptorBytes = 65536;
constexpr std::uint32_t kOwnerAndDacl = security_information::kOwner | security_information::kDacl;

// Rights on the service object that only LocalSystem and Administrators may hold.
constexpr std::uint32_t kServiceControlRights =
    service_access::kChangeConfig | service_access::kStop | service_access::kPauseContinue |
    service_access::kUserDefinedControl | file_access::kDelete | file_access::kWriteDac | file_access::kWriteOwner |
    file_access::kGenericWrite | file_access::kGenericExecute | file_access::kGenericAll;
// Rights on the executable and its directory that only the protected principals may hold.
constexpr std::uint32_t kFileChangeRights =
    file_access::kWriteData | file_access::kAppendData | file_access::kWriteEa | file_access::kDeleteChild |
    file_access::kWriteAttributes | file_access::kDelete | file_access::kWriteDac | file_access::kWriteOwner |
    file_access::kGenericWrite | file_access::kGenericAll;

Sid TrustedInstaller() {
    return Sid::Make(winformat::sid_authority::kNt, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464});
}

bool IsOneOf(const Sid& sid, std::span<const Sid> allowed) {
    for (const Sid& candidate : allowed) {
        if (candidate == sid) return true;
    }
    return false;
}

// Whether the descriptor's owner is allowed and no entry that applies to the
// object hands one of `rights` to anyone not allowed.
bool OnlyAllowedMayChange(std::span<const std::uint8_t> bytes, std::uint32_t rights, std::span<const Sid> allowed) {
    auto descriptor = winformat::SecurityDescriptor::ParseSelfRelative(bytes);
    if (!descriptor || !descriptor->owner || !IsOneOf(*descriptor->owner, allowed)) return false;
    const winformat::Acl* dacl = descriptor->dacl.acl();
    if (dacl == nullptr) return false;  // no DACL or a null one: everyone may do everything
    for (const winformat::Ace& ace : dacl->aces()) {
        if (ace.flags() & winformat::ace_flag::kInheritOnly) continue;
        switch (ace.type()) {
            case winformat::ace_type::kAccessDenied:
            case winformat::ace_type::kAccessDeniedObject:
            case winformat::ace_type::kAccessDeniedCallback:
            case winformat::ace_type::kAccessDeniedCallbackObject:
                continue;
            case winformat::ace_type::kAccessAllowed:
            case winformat::ace_type::kAccessAllowedObject:
            case winformat::ace_type::kAccessAllowedCallback:
            case winformat::ace_type::kAccessAllowedCallbackObject:
                if ((*ace.mask() & rights) != 0 && !IsOneOf(*ace.sid(), allowed)) return false;
                continue;
            default:
                return false;
        }
    }
    return true;
}

Result<std::u16string> ProgramFilesDirectory(System& system) {
    TELVO_TRY_ASSIGN(std::u16string directory,
                     winutil::ReadMachineString(system, kCurrentVersionKey, kProgramFilesValue,
                                                registry_flag::kRtRegSz | registry_flag::kNoExpand |
                                                    registry_flag::kSubkeyWow6464Key));
    const auto text = winformat::Utf16ToUtf8(directory);
    if (!text || !winutil::IsNormalizedLocalPath(*text) || winutil::ParsePathSyntax(*text).components.empty()) {
        return Fail("machine ProgramFilesDir is not a normalized absolute local-drive path");
    }
    return directory;
}

Result<ServiceConfig> ReadServiceConfig(ServiceControl& scm, ServiceHandle service) {
    std::uint32_t needed = 0;
    std::optional<ServiceConfig> config;
    TELVO_TRY(ProbeSized(kFirstServiceConfigBytes, kSizeProbeAttempts,
                         "network service configuration changed size repeatedly",
                         [&](std::vector<std::uint8_t>& buffer) -> Result<std::optional<std::size_t>> {
                             if (buffer.size() > kMaxServiceConfigBytes) {
                                 return Fail("network service configuration exceeds the supported size");
                             }
                             auto read = scm.QueryServiceConfigW(service, static_cast<std::uint32_t>(buffer.size()),
                                                                 needed);
                             if (read) {
                                 config = std::move(*read);
                                 return std::optional<std::size_t>();
                             }
                             if (read.error() != SysError::Win32(win32_error::kInsufficientBuffer)) {
                                 return FailSys("QueryServiceConfigW(network service)", read.error());
                             }
                             return std::optional<std::size_t>(needed);
                         }));
    return std::move(*config);
}

Result<std::vector<std::uint8_t>> ReadServiceDescriptor(ServiceControl& scm, ServiceHandle service) {
    std::uint32_t needed = 0;
    // The descriptor stands at the start of the buffer; what follows it is slack.
    return ProbeSized(kFirstDescriptorBytes, kSizeProbeAttempts,
                                "network service descriptor changed size repeatedly",
                                [&](std::vector<std::uint8_t>& buffer) -> Result<std::optional<std::size_t>> {
                                    if (buffer.size() > kMaxDescriptorBytes) {
                                        return Fail("network service descriptor exceeds the supported size");
                                    }
                                    auto read = scm.QueryServiceObjectSecurity(service, kOwnerAndDacl, buffer, needed);
                                    if (read) return std::optional<std::size_t>();
                                    if (read.error() != SysError::Win32(win32_error::kInsufficientBuffer)) {
                                        return FailSys("QueryServiceObjectSecurity(network service)", read.error());
                                    }
                                    return std::optional<std::size_t>(needed);
                                });
}

bool IsLocalSystemAccount(const std::u16string& name) {
    return winformat::EqualIgnoringCase(name, u"LocalSystem") || winformat::EqualIgnoringCase(name, u".\\LocalSystem");
}

bool IsInstalledConfiguration(const ServiceConfig& config, const std::u16string& image_path) {
    const std::u16string command_line = u"\"" + image_path + u"\"" + kServiceArgument;
    return config.service_type == service_type::kWin32OwnProcess &&
           config.start_type == service_start::kAutoStart && IsLocalSystemAccount(config.service_start_name) &&
           winformat::EqualIgnoringCase(config.binary_path_name, command_line);
}

}  // namespace

// The directory or the executable: opened without following a reparse
// point, proved to be what the path names, of the expected kind, not
// linked, and changeable only by the protected principals.
Result<bool> IsProtectedServiceObject(Platform& platform, const std::u16string& path, bool directory) {
    TELVO_TRY_ASSIGN(const std::string text, winformat::Utf16ToUtf8(path));
    TELVO_TRY_ASSIGN(const std::string extended, winutil::ToExtendedPath(text));
    TELVO_TRY_ASSIGN(UniqueHandle handle, winutil::OpenObjectNoFollow(platform, std::string_view(extended), false));
    TELVO_TRY(winutil::VerifyFinalPath(platform.files, handle.get(), std::string_view(extended)));
    TELVO_TRY_ASSIGN(const FileInformation info, winutil::ReadFileInformation(platform.files, handle.get()));
    const bool is_directory = (info.file_attributes & file_attribute::kDirectory) != 0;
    if (winutil::IsLinkedObject(info) || is_directory != directory) return false;
    TELVO_TRY_ASSIGN(const std::vector<std::uint8_t> descriptor,
                     Lift("GetSecurityInfo(network service files)",
                          platform.security.GetSecurityInfo(handle.get(), se_object_type::kFileObject,
                                                            kOwnerAndDacl)));
    const std::array<Sid, 3> allowed{winformat::well_known::LocalSystem(), winformat::well_known::Administrators(),
                                     TrustedInstaller()};
    return OnlyAllowedMayChange(descriptor, kFileChangeRights, allowed);
}

Result<void> CheckServiceObject(Platform& platform, ServiceHandle service, const std::u16string& image_path) {
    TELVO_TRY_ASSIGN(const ServiceConfig config, ReadServiceConfig(platform.service, service));
    if (!IsInstalledConfiguration(config, image_path)) return Fail(kForeign);
    TELVO_TRY_ASSIGN(const std::vector<std::uint8_t> service_descriptor, ReadServiceDescriptor(platform.service, service));
    const std::array<Sid, 2> administrators{winformat::well_known::LocalSystem(),
                                            winformat::well_known::Administrators()};
    if (!OnlyAllowedMayChange(service_descriptor, kServiceControlRights, administrators)) return Fail(kForeign);
    return {};
}

Result<std::u16string> InstalledServiceImagePath(Platform& platform) {
    TELVO_TRY_ASSIGN(std::u16string program_files, ProgramFilesDirectory(platform.system));
    if (program_files.back() != u'\\') program_files.push_back(u'\\');
    return program_files + kServiceDirectory + u"\\" + kServiceExecutable;
}

Result<bool> NetworkServiceInstalled(Platform& platform) {
    TELVO_TRY_ASSIGN(const ServiceHandle manager_handle,
                     Lift("OpenSCManagerW(network setup)", platform.service.OpenSCManagerW(scm_access::kConnect)));
    const UniqueServiceHandle manager(platform.service, manager_handle);
    auto opened = platform.service.OpenServiceW(manager.get(), kServiceName, service_access::kQueryStatus);
    if (!opened && opened.error() == SysError::Win32(win32_error::kServiceDoesNotExist)) return false;
    TELVO_TRY_ASSIGN(const ServiceHandle service_handle, Lift("OpenServiceW(network service)", std::move(opened)));
    const UniqueServiceHandle service(platform.service, service_handle);
    return true;
}

Result<ProtectedService> QueryProtectedService(Platform& platform) {
    TELVO_TRY_ASSIGN(const ServiceHandle manager_handle,
                     Lift("OpenSCManagerW(network setup)", platform.service.OpenSCManagerW(scm_access::kConnect)));
    const UniqueServiceHandle manager(platform.service, manager_handle);
    auto opened = platform.service.OpenServiceW(manager.get(), kServiceName, kServiceQueryAccess);
    if (!opened && opened.error() == SysError::Win32(win32_error::kServiceDoesNotExist)) return Fail(kNotInstalled);
    TELVO_TRY_ASSIGN(const ServiceHandle service_handle, Lift("OpenServiceW(network service)", std::move(opened)));
    const UniqueServiceHandle service(platform.service, service_handle);

    TELVO_TRY_ASSIGN(const std::u16string image_path, InstalledServiceImagePath(platform));
    TELVO_TRY(CheckServiceObject(platform, service.get(), image_path));

    const std::u16string directory = image_path.substr(0, image_path.rfind(u'\\'));
    TELVO_TRY_ASSIGN(const bool directory_protected, IsProtectedServiceObject(platform, directory, true));
    if (!directory_protected) return Fail(kForeign);
    TELVO_TRY_ASSIGN(const bool image_protected, IsProtectedServiceObject(platform, image_path, false));
    if (!image_protected) return Fail(kForeign);

    TELVO_TRY_ASSIGN(const ServiceStatusProcess status,
                     Lift("QueryServiceStatusEx(network service)", platform.service.QueryServiceStatusEx(service.get())));
    return ProtectedService{status.process_id, image_path};
}

}  // namespace telvo::network_broker
