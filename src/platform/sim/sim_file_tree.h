#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"
#include "platform/file_constants.h"
#include "platform/sim/sim_change_log.h"
#include "platform/sim/sim_token.h"
#include "winformat/security_descriptor.h"
#include "winformat/sid.h"

namespace telvo::platform::sim {

class SimFileObject;
struct SimNode;
struct SimVolume;

// One name of an object in its parent directory. Hard links are several links
// to one node. A handle keeps the link it was opened through, so its final
// path follows renames of that name.
struct SimLink {
    std::weak_ptr<SimNode> parent;  // empty for a volume root and for a removed name
    std::u16string name;            // as created: the real case
    std::shared_ptr<SimNode> node;
    SimVolume* volume = nullptr;
    bool removed = false;
};

struct SimByteLock {
    const SimFileObject* owner = nullptr;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool exclusive = false;
};

// A file or directory. A junction is a directory and a symbolic link a file or
// directory that carries a reparse tag and an absolute target (extended form);
// relative symbolic-link targets are not modelled.
struct SimNode {
    bool directory = false;
    std::uint32_t attributes = 0;  // including FILE_ATTRIBUTE_DIRECTORY and _REPARSE_POINT
    std::uint64_t file_index = 0;
    SimVolume* volume = nullptr;
    std::uint32_t link_count = 0;
    std::string contents;
    std::uint32_t reparse_tag = 0;
    std::u16string reparse_target;
    // Children by upper-cased name: the order NTFS enumerates them in.
    std::map<std::u16string, std::shared_ptr<SimLink>> children;
    std::weak_ptr<SimLink> self;  // a directory's one name
    std::vector<SimFileObject*> opens;
    std::vector<SimByteLock> locks;
    // The name a delete disposition was set through: it stays until the last
    // open of the node closes, and new opens are refused meanwhile.
    std::weak_ptr<SimLink> delete_pending;
    // Self-relative, as NtQuerySecurityObject hands it out (sim_file_security.h).
    std::vector<std::uint8_t> security_descriptor;
};

struct SimVolumeSpec {
    std::u16string root = u"C:";  // "X:" or "UNC\server\share"
    std::uint32_t serial = 0x2C5E1A07;
    std::uint32_t file_system_flags = volume_flag::kCaseSensitiveSearch | volume_flag::kCasePreservedNames |
                                      volume_flag::kUnicodeOnDisk | volume_flag::kPersistentAcls |
                                      volume_flag::kSupportsReparsePoints | volume_flag::kSupportsHardLinks;
    std::u16string file_system_name = u"NTFS";
    std::uint32_t drive_type = drive_type::kFixed;
    std::u16string device = u"\\Device\\HarddiskVolume3";
};

struct SimVolume {
    SimVolumeSpec spec;
    std::shared_ptr<SimLink> root;
    std::uint64_t next_record = 0x40;
};

// What a new object takes from the token of the process that makes it: its
// owner (TokenOwner, or the one its creation names), its group and, when it
// inherits nothing, the default DACL (ACL bytes; empty: none). A DACL named at
// creation is the object's DACL as it is, nothing inherited added
// (windows-notes 10.2: no auto-inherit is asked for on an explicit DACL).
struct SimCreator {
    winformat::Sid owner;
    std::vector<std::uint8_t> default_dacl;
    // The token's primary group: the new object's group (windows-notes 10.2).
    std::optional<winformat::Sid> group = std::nullopt;
    // A descriptor the creator passes itself (a process that may add a name
    // needs no WRITE_DAC for it, windows-notes 10.4 item 9): its DACL (null
    // included) replaces what would be inherited; an owner other than the
    // creator's is ERROR_INVALID_OWNER (10.2).
    std::optional<winformat::SecurityDescriptor> given = std::nullopt;

    // What `token` gives the objects its holder creates.
    static SimCreator Of(const SimToken& token) {
        return SimCreator{token.owner, token.default_dacl, token.primary_group, std::nullopt};
    }
};

// What a new reparse point points to (tag 0: the new object is none).
struct SimReparse {
    std::uint32_t tag = 0;
    std::u16string target;
};

// What a path names: the directory holding the last name, that name, and the
// link found (null when nothing has that name yet).
struct SimLookup {
    std::shared_ptr<SimLink> parent;
    std::u16string name;
    std::shared_ptr<SimLink> link;
};

// The name `link` stands under, as a lookup of it finds it (a volume root
// has no parent).
SimLookup NameOf(const std::shared_ptr<SimLink>& link);

// Whether a delete disposition is set on the node: new opens of it, and new
// names in it, are refused with ERROR_ACCESS_DENIED (STATUS_DELETE_PENDING).
bool IsDeletePending(const SimNode& node);

// The simulated file systems of all volumes. Every member is used with `mutex`
// held; open-file objects take it when they close, so no object may be released
// while it is held. Every change to names, descriptors and data goes through
// a member below, which records it in the host's change log.
class SimFileTree {
public:
    explicit SimFileTree(SimChangeLog& changes) : changes_(changes) {}

    std::mutex mutex;

    SimVolume& AddVolume(SimVolumeSpec spec);
    // A drive letter that names a directory (subst): X: -> \\?\C:\dir.
    void AddSubstDrive(char16_t letter, std::u16string target);
    SimVolume* FindVolume(std::u16string_view root);
    const std::u16string* FindSubst(char16_t letter) const;
    // Every volume in the order it was added, and every subst drive.
    std::vector<SimVolume*> Volumes() const;
    const std::map<char16_t, std::u16string>& SubstDrives() const { return substs_; }

    // Reparse points in every name but the last are followed; the last one is
    // followed when `follow_last` is set. At most 63 reparse points are followed
    // in one lookup (ERROR_CANT_RESOLVE_FILENAME beyond).
    SysResult<SimLookup> Resolve(std::u16string_view path, bool follow_last);
    SysResult<std::shared_ptr<SimLink>> ResolveExisting(std::u16string_view path, bool follow_last);

    // \\?\C:\Dir\Name in the real case of every name.
    SysResult<std::u16string> FinalPath(const SimLink& link) const;

    // A new name, made by `creator`.
    SysResult<std::shared_ptr<SimLink>> AddChild(const SimLookup& where, bool directory, std::uint32_t attributes,
                                                 const SimCreator& creator, SimReparse reparse = {});
    SysResult<void> AddHardLink(const std::shared_ptr<SimNode>& node, const SimLookup& where);
    SysResult<void> Rename(const std::shared_ptr<SimLink>& link, const SimLookup& to);
    SysResult<void> Remove(const std::shared_ptr<SimLink>& link);
    // A delete disposition set (or cleared) through an open of `link`. Setting
    // it needs an empty directory (ERROR_DIR_NOT_EMPTY); the name stays, delete
    // pending, until the last open of its node closes (RemoveIfPending).
    SysResult<void> SetDeletePending(const std::shared_ptr<SimLink>& link, bool pending);
    // Called as an open of `node` closes: once none is left, the delete-pending name goes.
    void RemoveIfPending(SimNode& node);
    // The node's settable attributes replaced by `settable` (the directory and
    // reparse-point bits stay). Not a change the change log reports: the
    // report speaks of names, descriptors and data.
    void SetAttributes(const SimLink& link, std::uint32_t settable);
    // The node's descriptor replaced (the change named by `link`'s path).
    void SetDescriptor(const SimLink& link, std::vector<std::uint8_t> descriptor);
    // The file's data has just been written or truncated through `link`.
    void NoteWritten(const SimLink& link);

private:
    // X:\Dir\Name (X:\ for a root), as the change log names objects.
    std::u16string LoggedPath(const SimLink& link) const;
    // The name detached and marked removed, its node one link fewer.
    void Unlink(const std::shared_ptr<SimLink>& link);

    SimChangeLog& changes_;
    std::vector<std::unique_ptr<SimVolume>> volumes_;
    std::map<char16_t, std::u16string> substs_;
};

}  // namespace telvo::platform::sim
