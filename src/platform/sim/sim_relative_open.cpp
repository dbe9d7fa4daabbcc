// NtCreateFile relative to an open directory, as the simulated host models
// it: one name below the directory the handle holds, a directory opened or
// created there (FILE_DIRECTORY_FILE is required; the system creates nothing
// else this way). The name is looked up in that directory itself, so what
// happened to the path above it since it was opened plays no part. A reparse
// point at the name is opened itself with FILE_OPEN_REPARSE_POINT and
// followed without it. Access is checked with the caller's token as for
// CreateFileW; failures are the NTSTATUS values Windows reports.
#include "common/try.h"
#include "platform/sim/sim_file_object.h"
#include "platform/sim/sim_files.h"
#include "platform/sim/sim_host.h"
#include "winformat/ordinal_case.h"

namespace telvo::platform::sim {

namespace {

constexpr std::uint32_t kStatusInvalidHandle = 0xC0000008;
constexpr std::uint32_t kStatusInvalidParameter = 0xC000000D;
constexpr std::uint32_t kStatusAccessDenied = 0xC0000022;
constexpr std::uint32_t kStatusObjectNameInvalid = 0xC0000033;
constexpr std::uint32_t kStatusObjectNameNotFound = 0xC0000034;
constexpr std::uint32_t kStatusObjectNameCollision = 0xC0000035;
constexpr std::uint32_t kStatusSharingViolation = 0xC0000043;
constexpr std::uint32_t kStatusDeletePending = 0xC0000056;
constexpr std::uint32_t kStatusNotADirectory = 0xC0000103;

std::unexpected<SysError> NtFailure(std::uint32_t status) { return std::unexpected(SysError::NtStatus(status)); }

// The Win32 errors of the shared checks, as the native call reports them.
std::unexpected<SysError> AsNtStatus(const SysError& error) {
    if (error == SysError::Win32(win32_error::kAccessDenied)) return NtFailure(kStatusAccessDenied);
    if (error == SysError::Win32(win32_error::kSharingViolation)) return NtFailure(kStatusSharingViolation);
    if (error == SysError::Win32(win32_error::kFileNotFound) || error == SysError::Win32(win32_error::kPathNotFound)) {
        return NtFailure(kStatusObjectNameNotFound);
    }
    return NtFailure(kStatusInvalidParameter);
}

bool IsOneName(std::u16string_view name) {
    return !name.empty() && name != u"." && name != u".." && name.find_first_of(u"\\/:") == std::u16string_view::npos;
}

}  // namespace

SysResult<NtCreatedFile> SimFiles::NtCreateFile(Handle root, const std::u16string& name, std::uint32_t desired_access,
                                                std::uint32_t file_attributes, std::uint32_t share_access,
                                                std::uint32_t create_disposition, std::uint32_t create_options) {
    TELVO_SIM_ENTER(host_, "NtCreateFile",
                    {desired_access, file_attributes, share_access, create_disposition, create_options});
    using namespace nt_disposition;
    if ((create_disposition != kOpen && create_disposition != kCreate && create_disposition != kOpenIf) ||
        !(create_options & nt_create_option::kDirectoryFile)) {
        return NtFailure(kStatusInvalidParameter);
    }
    if (!IsOneName(name)) return NtFailure(kStatusObjectNameInvalid);
    auto directory = Find(root);
    if (!directory) return NtFailure(kStatusInvalidHandle);

    std::lock_guard lock(tree_->mutex);
    const std::shared_ptr<SimLink> parent = directory->link();
    if (parent->removed || !parent->node->directory) return NtFailure(kStatusNotADirectory);
    SimLookup lookup{parent, name, nullptr};
    if (auto it = parent->node->children.find(winformat::Upcased(name)); it != parent->node->children.end()) {
        lookup.link = it->second;
    }
    if (lookup.link && lookup.link->node->reparse_tag != 0 &&
        !(create_options & nt_create_option::kOpenReparsePoint)) {
        auto followed = tree_->Resolve(lookup.link->node->reparse_target, true);
        if (!followed) return AsNtStatus(followed.error());
        lookup = std::move(*followed);
    }
    if (lookup.link && create_disposition == kCreate) return NtFailure(kStatusObjectNameCollision);
    if (!lookup.link && create_disposition == kOpen) return NtFailure(kStatusObjectNameNotFound);
    if (lookup.link && !lookup.link->node->directory) return NtFailure(kStatusNotADirectory);

    const bool backup = (create_options & nt_create_option::kOpenForBackupIntent) != 0;
    auto granted = AccessAs(CallerToken(), lookup, desired_access, true, backup);
    if (!granted) return AsNtStatus(granted.error());
    std::shared_ptr<SimLink> link = lookup.link;
    std::uint64_t information = nt_create_result::kOpened;
    if (link) {
        if (IsDeletePending(*link->node)) return NtFailure(kStatusDeletePending);
        if (auto shared = CheckSharing(*link->node, *granted, share_access); !shared) return AsNtStatus(shared.error());
    } else {
        auto created = tree_->AddChild(lookup, true, 0, Creator());
        if (!created) return AsNtStatus(created.error());
        link = std::move(*created);
        information = nt_create_result::kCreated;
    }
    return NtCreatedFile{host_.handles().Add(std::make_shared<SimFileObject>(tree_, std::move(link), *granted,
                                                                             share_access)),
                         information};
}

}  // namespace telvo::platform::sim
