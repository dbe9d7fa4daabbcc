#include "platform/sim/sim_file_access.h"

#include "platform/file_constants.h"
#include "platform/sim/sim_files.h"
#include "common/try.h"
#include "platform/types.h"
#include "winformat/security_descriptor.h"

namespace telvo::platform::sim {

namespace {

using file_access::kAccessSystemSecurity;
using file_access::kDeleteChild;
using file_access::kWriteOwner;
constexpr std::uint32_t kBackupRights = file_access::kReadControl | kAccessSystemSecurity |
                                        file_access::kFileGenericRead | file_access::kExecute;
constexpr std::uint32_t kRestoreRights = file_access::kWriteDac | kWriteOwner | kAccessSystemSecurity |
                                         file_access::kFileGenericWrite | file_access::kWriteData |
                                         file_access::kAppendData | file_access::kDelete;

std::unexpected<SysError> Denied() { return std::unexpected(SysError::Win32(win32_error::kAccessDenied)); }

// Everything the descriptor grants the token, 0 when nothing (or no descriptor).
std::uint32_t MaximumFrom(std::span<const std::uint8_t> bytes, const TokenIdentity& token) {
    if (bytes.empty()) return 0;
    auto descriptor = winformat::SecurityDescriptor::ParseSelfRelative(bytes);
    if (!descriptor) return 0;
    auto decision = EvaluateObjectAccess(*descriptor, token, file_access::kMaximumAllowed, kFileGenericMapping);
    return decision && decision->granted ? decision->granted_access : 0;
}

}  // namespace

SysResult<std::uint32_t> OpenAccess(const TokenIdentity& token, std::span<const std::uint8_t> object_descriptor,
                                    std::span<const std::uint8_t> parent_descriptor, const OpenAccessRequest& request) {
    const bool maximum = (request.desired & file_access::kMaximumAllowed) != 0;
    const std::uint32_t desired = MapGenericBits(request.desired & ~file_access::kMaximumAllowed, kFileGenericMapping);
    if ((desired & kAccessSystemSecurity) != 0 && !token.HasPrivilege(privilege::kSecurity)) {
        return std::unexpected(SysError::Win32(win32_error::kPrivilegeNotHeld));
    }
    const std::uint32_t from_parent = MaximumFrom(parent_descriptor, token);

    if (request.create) {
        const std::uint32_t needed = request.directory ? file_access::kAppendData : file_access::kWriteData;
        const bool restoring = request.backup_intent && token.HasPrivilege(privilege::kRestore);
        if ((from_parent & needed) == 0 && !restoring) return Denied();
        return maximum ? file_access::kFileAllAccess | desired : desired;
    }

    std::uint32_t privileged = 0;
    if (request.backup_intent && token.HasPrivilege(privilege::kBackup)) privileged |= kBackupRights;
    if (request.backup_intent && token.HasPrivilege(privilege::kRestore)) privileged |= kRestoreRights;
    std::uint32_t available = MaximumFrom(object_descriptor, token) | privileged;
    if ((from_parent & kDeleteChild) != 0) available |= file_access::kDelete;
    if ((from_parent & file_access::kListDirectory) != 0) available |= file_access::kReadAttributes;
    if (token.HasPrivilege(privilege::kTakeOwnership)) available |= kWriteOwner;
    if ((desired & kAccessSystemSecurity) != 0) available |= kAccessSystemSecurity;

    if ((desired & ~available) != 0) return Denied();
    if (!maximum) return desired;
    const std::uint32_t granted = (available & file_access::kFileAllAccess) | desired;
    if (granted == 0) return Denied();
    return granted;
}

// ---- What a sandboxed process does with its own token ----

SysResult<std::uint32_t> SimFiles::AccessAs(const TokenIdentity& token, const SimLookup& lookup,
                                            std::uint32_t desired, bool directory, bool backup_intent) {
    const std::span<const std::uint8_t> parent =
        lookup.parent ? std::span<const std::uint8_t>(lookup.parent->node->security_descriptor)
                      : std::span<const std::uint8_t>();
    if (!lookup.link) return OpenAccess(token, {}, parent, OpenAccessRequest{desired, backup_intent, true, directory});
    return OpenAccess(token, lookup.link->node->security_descriptor, parent,
                      OpenAccessRequest{desired, backup_intent, false, lookup.link->node->directory});
}

SysResult<std::string> SimFiles::ReadAs(const SimToken& token, std::u16string_view path) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(SimLookup lookup, tree_->Resolve(path, true));
    if (!lookup.link) return std::unexpected(SysError::Win32(win32_error::kFileNotFound));
    TELVO_TRY(AccessAs(token.identity, lookup, file_access::kFileGenericRead, false));
    if (lookup.link->node->directory) return std::unexpected(SysError::Win32(win32_error::kAccessDenied));
    return lookup.link->node->contents;
}

SysResult<void> SimFiles::WriteAs(const SimToken& token, std::u16string_view path, std::string text) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(SimLookup lookup, tree_->Resolve(path, true));
    TELVO_TRY(AccessAs(token.identity, lookup, file_access::kFileGenericWrite, false));
    if (!lookup.link) {
        TELVO_TRY_ASSIGN(lookup.link, tree_->AddChild(lookup, false, file_attribute::kArchive, SimCreator::Of(token)));
    }
    if (lookup.link->node->directory) return std::unexpected(SysError::Win32(win32_error::kAccessDenied));
    lookup.link->node->contents = std::move(text);
    tree_->NoteWritten(*lookup.link);
    return {};
}

SysResult<void> SimFiles::MakeDirectoryAs(const SimToken& token, std::u16string_view path) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(SimLookup lookup, tree_->Resolve(path, false));
    if (lookup.link) return std::unexpected(SysError::Win32(win32_error::kAlreadyExists));
    TELVO_TRY(AccessAs(token.identity, lookup, file_access::kFileGenericRead, true));
    TELVO_TRY(tree_->AddChild(lookup, true, 0, SimCreator::Of(token)));
    return {};
}

SysResult<void> SimFiles::DeleteAs(const SimToken& token, std::u16string_view path) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(SimLookup lookup, tree_->Resolve(path, false));
    if (!lookup.link) return std::unexpected(SysError::Win32(win32_error::kFileNotFound));
    TELVO_TRY(AccessAs(token.identity, lookup, file_access::kDelete, lookup.link->node->directory));
    return tree_->Remove(lookup.link);
}

SysResult<std::vector<std::u16string>> SimFiles::ListAs(const SimToken& token, std::u16string_view path) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(SimLookup lookup, tree_->Resolve(path, true));
    if (!lookup.link) return std::unexpected(SysError::Win32(win32_error::kPathNotFound));
    if (!lookup.link->node->directory) return std::unexpected(SysError::Win32(win32_error::kDirectory));
    TELVO_TRY(AccessAs(token.identity, lookup, file_access::kListDirectory, true));
    std::vector<std::u16string> names;
    for (const auto& [key, child] : lookup.link->node->children) names.push_back(child->name);
    return names;
}

SysResult<void> SimFiles::CreateWithDescriptorAs(const SimToken& token, std::u16string_view path,
                                                 bool directory, const winformat::SecurityDescriptor& descriptor) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(SimLookup lookup, tree_->Resolve(path, false));
    if (lookup.link) return std::unexpected(SysError::Win32(win32_error::kAlreadyExists));
    TELVO_TRY(AccessAs(token.identity, lookup, 0, directory));
    SimCreator creator = SimCreator::Of(token);
    creator.given = descriptor;
    TELVO_TRY(tree_->AddChild(lookup, directory, directory ? 0 : file_attribute::kArchive, creator));
    return {};
}

SysResult<void> SimFiles::SetAttributesAs(const SimToken& token, std::u16string_view path,
                                          std::uint32_t attributes) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(SimLookup lookup, tree_->Resolve(path, false));
    if (!lookup.link) return std::unexpected(SysError::Win32(win32_error::kFileNotFound));
    TELVO_TRY(AccessAs(token.identity, lookup, file_access::kWriteAttributes, lookup.link->node->directory));
    tree_->SetAttributes(*lookup.link, attributes);
    return {};
}

SysResult<void> SimFiles::LinkAs(const SimToken& token, std::u16string_view existing, std::u16string_view link) {
    std::lock_guard lock(tree_->mutex);
    TELVO_TRY_ASSIGN(SimLookup source, tree_->Resolve(existing, false));
    if (!source.link) return std::unexpected(SysError::Win32(win32_error::kFileNotFound));
    TELVO_TRY(AccessAs(token.identity, source, file_access::kWriteAttributes, source.link->node->directory));
    TELVO_TRY_ASSIGN(SimLookup where, tree_->Resolve(link, false));
    if (where.link) return std::unexpected(SysError::Win32(win32_error::kAlreadyExists));
    TELVO_TRY(AccessAs(token.identity, where, 0, false));
    return tree_->AddHardLink(source.link->node, where);
}

}  // namespace telvo::platform::sim
