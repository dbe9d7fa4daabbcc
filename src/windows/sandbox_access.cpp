#include "windows/sandbox_access.h"

#include <algorithm>
#include <cstdio>

#include "common/size_probe.h"
#include "common/try.h"
#include "host_prepare/fixed_host_targets.h"
#include "platform/file_constants.h"
#include "platform/unique_handle.h"
#include "windows/journal_json.h"
#include "windows/metadata_access.h"
#include "winformat/text.h"
#include "winutil/directory_chain.h"
#include "winutil/local_path.h"
#include "winutil/walk_tree.h"

namespace telvo::windows {

namespace {

using platform::Handle;
using platform::Platform;

// OWNER, GROUP, DACL and LABEL: what AccessCheck needs of a descriptor.
constexpr std::uint32_t kCheckedParts = platform::security_information::kOwner |
                                        platform::security_information::kGroup |
                                        platform::security_information::kDacl |
                                        platform::security_information::kLabel;
constexpr std::uint32_t kMaxDescriptorSize = 0x20000;
constexpr std::uint32_t kMaxPrivilegeSetSize = 65536;
constexpr int kPrivilegeSetCalls = 3;
constexpr std::uint32_t kMaximumAllowed = platform::file_access::kMaximumAllowed;

std::string MaskText(std::uint32_t mask) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(mask));
    return text;
}

Result<std::vector<std::uint8_t>> ReadCheckedDescriptor(Platform& platform, Handle handle) {
    std::uint32_t needed = 0;
    auto probe = platform.security.GetKernelObjectSecurity(handle, kCheckedParts, {}, needed);
    if (probe || probe.error() != SysError::Win32(platform::win32_error::kInsufficientBuffer)) {
        if (!probe) return FailSys("GetKernelObjectSecurity(size)", probe.error());
        needed = 0;
    }
    auto checked_size = [](std::uint32_t size) -> Result<void> {
        if (size == 0 || size > kMaxDescriptorSize) {
            return Fail("GetKernelObjectSecurity returned invalid descriptor size " + std::to_string(size));
        }
        return {};
    };
    TELVO_TRY(checked_size(needed));
    // The probe and three sized reads: four attempts in all.
    return ProbeSized(needed, kSizeProbeAttempts, "file security descriptor changed size repeatedly",
                      [&](std::vector<std::uint8_t>& buffer) -> Result<std::optional<std::size_t>> {
                          std::uint32_t now_needed = 0;
                          auto read = platform.security.GetKernelObjectSecurity(handle, kCheckedParts, buffer,
                                                                                now_needed);
                          if (read) return std::nullopt;
                          if (read.error() != SysError::Win32(platform::win32_error::kInsufficientBuffer)) {
                              return FailSys("GetKernelObjectSecurity", read.error());
                          }
                          TELVO_TRY(checked_size(now_needed));
                          return std::optional<std::size_t>(now_needed);
                      });
}

// The drive a prepared drive root is named by in the host-preparation
// advice: nothing for the system drive, " --drive D:" for another.
std::string DriveAdvice(std::string_view path, std::string_view system_drive_root) {
    auto letter = [](std::string_view text) -> char {
        const std::size_t at = text.rfind(":\\");
        return at == std::string_view::npos || at == 0 ? '\0' : static_cast<char>(std::toupper(text[at - 1]));
    };
    const char drive = letter(path);
    if (drive == '\0' || drive == letter(system_drive_root)) return "";
    return std::string(" --drive ") + drive + ":";
}

class Verification {
public:
    Verification(Platform& platform, Handle token, const SandboxAccessRun& run)
        : platform_(platform), token_(token), run_(run) {}

    Result<void> Authority(const AuthorityAccess& authority) {
        return winutil::WalkTree(platform_, authority.root.text(), false, *run_.controller_gone, winutil::WalkPolicy::prove,
                                 [&](const std::u16string& path, Handle handle) {
                                     return Object(authority, path, handle);
                                 });
    }

    // The directories above the authority's root (a directory or, for a
    // readable root, a file); the root itself was proved by the walk.
    Result<void> MetadataAbove(const AuthorityAccess& authority) {
        TELVO_TRY_ASSIGN(winutil::DirectoryChain chain,
                         winutil::OpenDirectoryChain(platform_, authority.root.Parent().text(), false));
        for (std::size_t i = 0; i < chain.entries.size(); ++i) TELVO_TRY(Ancestor(chain.entries[i], i == 0));
        return {};
    }

private:
    Result<void> Object(const AuthorityAccess& authority, const std::u16string& path, Handle handle) {
        TELVO_TRY_ASSIGN(const std::uint32_t granted, EffectiveAccess(platform_, handle, token_));
        const auto& privates = authority.private_paths;
        const auto below = [&](const winutil::LocalPath& ancestor) { return ancestor.Contains(path); };
        if (std::any_of(privates.begin(), privates.end(), below)) {
            if ((granted & access_row::kPrivateForbidden) == 0) return {};
            return Fail("actual sandbox token can access private object " + winformat::Utf16ToDisplay(path) +
                        " (mask " + MaskText(granted) + ")");
        }
        AccessRow row = access_row::kReadOnly;
        if (authority.writable) {
            const bool leads_to_private = std::any_of(privates.begin(), privates.end(), [&](const auto& hidden) {
                return winutil::PathContains(path, hidden.wide());
            });
            row = authority.root == path || leads_to_private ? access_row::kWritableProtected : access_row::kWritable;
        }
        if ((granted & row.required) == row.required && (granted & row.forbidden) == 0) return {};
        return Fail("actual sandbox token does not match access policy for " + winformat::Utf16ToDisplay(path) +
                    " (mask " + MaskText(granted) + ")");
    }

    Result<void> Ancestor(const winutil::ChainEntry& entry, bool volume_root) {
        TELVO_TRY_ASSIGN(const std::uint32_t granted, EffectiveAccess(platform_, entry.handle.get(), token_));
        if (ReadsMetadata(granted)) return {};
        TELVO_TRY(HostTargetCheck(entry.path, volume_root));

        auto opened = OpenMetadataAncestorForWriteDac(platform_, entry.path, entry.handle.get());
        if (!opened) return Fail(std::move(opened.error()).Context("cannot prepare exact metadata ancestor " + entry.path));
        // The journal names the ancestor before its DACL changes; one that
        // the journal refuses stays out of it.
        JournalData next = run_.journal->data;
        next.metadata_paths.push_back(winutil::RecordedPath{entry.path, entry.identity});
        TELVO_TRY(ValidateJournal(platform_.system, next));
        run_.journal->data = std::move(next);
        TELVO_TRY(WriteJournal(platform_, *run_.journal));
        TELVO_TRY(SetMetadataReadAce(platform_, opened->handle.get(), *run_.app_container_sid, true));

        TELVO_TRY_ASSIGN(const std::uint32_t again, EffectiveAccess(platform_, entry.handle.get(), token_));
        if (ReadsMetadata(again)) return {};
        return Fail("actual sandbox token cannot read required metadata for " + entry.path);
    }

    // Volume roots and the profiles directory are host-wide: only the
    // Administrator's host preparation may change them.
    Result<void> HostTargetCheck(const std::string& path, bool volume_root) {
        TELVO_TRY_ASSIGN(auto targets, host_prepare::ResolveFixedHostTargets(platform_.system));
        TELVO_TRY_ASSIGN(const winutil::LocalPath ancestor, winutil::LocalPath::FromText(path));
        bool fixed = volume_root;
        for (const auto& target : targets) {
            TELVO_TRY_ASSIGN(const winutil::LocalPath target_path, winutil::LocalPath::FromText(target.path));
            fixed = fixed || target_path == ancestor;
        }
        if (!fixed) return {};
        const std::string system_root = targets.empty() ? std::string() : targets.front().path;
        return Fail("sandbox requires fixed host metadata preparation for " + path +
                    "; run telvo runtime windows-sandbox prepare" + DriveAdvice(path, system_root) +
                    " from an Administrator terminal (no automatic elevation)");
    }

    static bool ReadsMetadata(std::uint32_t granted) {
        return (granted & kMetadataReadMask) == kMetadataReadMask;
    }

    Platform& platform_;
    Handle token_;
    const SandboxAccessRun& run_;
};

}  // namespace

Result<std::uint32_t> EffectiveAccess(Platform& platform, Handle handle, Handle token) {
    TELVO_TRY_ASSIGN(std::vector<std::uint8_t> descriptor, ReadCheckedDescriptor(platform, handle));
    std::uint32_t privilege_set = platform::kPrivilegeSetMinimumSize;
    for (int call = 0; call < kPrivilegeSetCalls; ++call) {
        std::uint32_t needed = 0;
        auto checked = platform.security.AccessCheck(descriptor, token, kMaximumAllowed, platform::kFileGenericMapping,
                                                     privilege_set, needed);
        if (checked) return checked->access_status ? checked->granted_access : 0u;
        if (checked.error() != SysError::Win32(platform::win32_error::kInsufficientBuffer) || needed == 0 ||
            needed > kMaxPrivilegeSetSize) {
            return FailSys("AccessCheck", checked.error());
        }
        privilege_set = needed;
    }
    return Fail("AccessCheck privilege buffer changed size repeatedly");
}

Result<void> VerifySandboxAccess(Platform& platform, Handle child_token, const SandboxAccessRun& run) {
    auto verified = [&]() -> Result<void> {
        TELVO_TRY_ASSIGN(const Handle duplicated,
                         Lift("DuplicateTokenEx(access verification)",
                              platform.security.DuplicateTokenEx(child_token, platform::token_access::kQuery,
                                                                 platform::impersonation_level::kIdentification,
                                                                 platform::token_type::kImpersonation)));
        platform::UniqueHandle token(platform.kernel, duplicated);
        Verification verification(platform, token.get(), run);
        for (const auto& authority : *run.authorities) TELVO_TRY(verification.Authority(authority));
        for (const auto& authority : *run.authorities) TELVO_TRY(verification.MetadataAbove(authority));
        return {};
    }();
    if (!verified) {
        return Fail(std::move(verified.error()).Context("sandbox filesystem access verification failed; command not resumed"));
    }
    return {};
}

}  // namespace telvo::windows
