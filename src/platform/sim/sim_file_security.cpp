#include "platform/sim/sim_file_security.h"

#include <algorithm>
#include <utility>

#include "platform/sim/sim_access_check.h"

namespace telvo::platform::sim {

namespace {

using winformat::Ace;
using winformat::Acl;
using winformat::SecurityDescriptor;
namespace flag = winformat::ace_flag;

constexpr std::uint8_t kInheritance =
    flag::kObjectInherit | flag::kContainerInherit | flag::kNoPropagateInherit | flag::kInheritOnly;

Ace WithFlags(const Ace& ace, std::uint8_t flags) {
    // The body is unchanged and the header keeps its size, so this cannot fail.
    return Ace::Make(ace.type(), flags, ace.body()).value();
}

std::optional<Ace> InheritedCopy(const Ace& ace, bool directory) {
    const std::uint8_t flags = ace.flags();
    const bool object_inherit = (flags & flag::kObjectInherit) != 0;
    const bool container_inherit = (flags & flag::kContainerInherit) != 0;
    const bool no_propagate = (flags & flag::kNoPropagateInherit) != 0;
    const auto others = static_cast<std::uint8_t>(flags & ~kInheritance);
    if (!directory) {
        if (!object_inherit) return std::nullopt;
        return WithFlags(ace, others | flag::kInherited);
    }
    if (container_inherit) {
        const std::uint8_t kept = no_propagate ? 0 : (flags & (flag::kObjectInherit | flag::kContainerInherit));
        return WithFlags(ace, others | kept | flag::kInherited);
    }
    if (object_inherit && !no_propagate) {
        return WithFlags(ace, others | flag::kObjectInherit | flag::kInheritOnly | flag::kInherited);
    }
    return std::nullopt;
}

Acl FittedOrFault(std::uint8_t revision, std::vector<Ace> aces) {
    auto acl = Acl::Fitted(revision, std::move(aces));
    if (!acl) throw InternalFault("simulated DACL outgrew an ACL");
    return std::move(*acl);
}

// The node's descriptor with its DACL rebuilt from its explicit entries and
// what it inherits from `parent_dacl`.
std::vector<std::uint8_t> Reinherited(const SimNode& node, SecurityDescriptor descriptor, const Acl& parent_dacl) {
    std::vector<Ace> aces;
    std::uint8_t revision = parent_dacl.revision();
    if (const Acl* own = descriptor.dacl.acl()) {
        revision = std::max(revision, own->revision());
        for (const Ace& ace : own->aces()) {
            if ((ace.flags() & flag::kInherited) == 0) aces.push_back(ace);
        }
    }
    for (Ace& ace : InheritedAces(parent_dacl, node.directory)) aces.push_back(std::move(ace));
    descriptor.dacl = winformat::AclSlot(FittedOrFault(revision, std::move(aces)));
    descriptor.control |= winformat::sd_control::kDaclAutoInherited;
    return descriptor.ToSelfRelative();
}

}  // namespace

std::vector<Ace> InheritedAces(const Acl& parent_dacl, bool directory) {
    std::vector<Ace> inherited;
    for (const Ace& ace : parent_dacl.aces()) {
        if (auto copy = InheritedCopy(ace, directory)) inherited.push_back(std::move(*copy));
    }
    return inherited;
}

std::vector<std::uint8_t> NewObjectDescriptor(std::span<const std::uint8_t> parent, bool directory,
                                              const std::optional<winformat::Sid>& owner,
                                              std::span<const std::uint8_t> default_dacl) {
    SecurityDescriptor descriptor;
    descriptor.owner = owner;
    // Windows gives a new object the creator's primary group; the simulated
    // creator's primary group is its owner.
    descriptor.group = owner;
    descriptor.control = winformat::sd_control::kDaclAutoInherited;
    std::vector<Ace> aces;
    std::uint8_t revision = winformat::acl_revision::kRevision;
    if (auto parsed = SecurityDescriptor::ParseSelfRelative(parent); parsed && parsed->dacl.acl() != nullptr) {
        aces = InheritedAces(*parsed->dacl.acl(), directory);
        revision = parsed->dacl.acl()->revision();
    }
    // Nothing to inherit: the creator's default DACL, not auto-inherited,
    // with its generic rights mapped to the file's.
    if (aces.empty() && !default_dacl.empty()) {
        if (auto fallback = Acl::Parse(default_dacl)) {
            std::vector<Ace> mapped;
            for (const Ace& ace : fallback->aces()) {
                if (ace.form() != winformat::AceForm::basic) {
                    mapped.push_back(ace);
                    continue;
                }
                mapped.push_back(Ace::Basic(ace.type(), ace.flags(), MapGenericBits(*ace.mask(), kFileGenericMapping),
                                            *ace.sid()));
            }
            descriptor.control = 0;
            descriptor.dacl = winformat::AclSlot(FittedOrFault(fallback->revision(), std::move(mapped)));
            return descriptor.ToSelfRelative();
        }
    }
    descriptor.dacl = winformat::AclSlot(FittedOrFault(revision, std::move(aces)));
    return descriptor.ToSelfRelative();
}

std::vector<std::uint8_t> WithExplicitDacl(std::span<const std::uint8_t> created, const winformat::AclSlot& dacl,
                                           bool is_protected) {
    SecurityDescriptor descriptor = SecurityDescriptor::ParseSelfRelative(created).value();
    descriptor.dacl = dacl;
    descriptor.control = is_protected ? winformat::sd_control::kDaclProtected : 0;
    return descriptor.ToSelfRelative();
}

// A system volume's root as Windows sets it up: everyone signed in may make
// directories there and change what is made below it; Users may read.
std::vector<std::uint8_t> VolumeRootDescriptor() {
    namespace wk = winformat::well_known;
    constexpr std::uint8_t kBoth = flag::kObjectInherit | flag::kContainerInherit;
    constexpr std::uint32_t kModify = 0x001301BF;
    SecurityDescriptor descriptor;
    descriptor.owner = wk::Administrators();
    descriptor.group = wk::LocalSystem();
    descriptor.control = winformat::sd_control::kDaclProtected;
    descriptor.dacl = winformat::AclSlot(FittedOrFault(
        winformat::acl_revision::kRevision,
        {Ace::Allowed(0x001F01FF, wk::Administrators(), kBoth), Ace::Allowed(0x001F01FF, wk::LocalSystem(), kBoth),
         Ace::Allowed(0x001200A9, wk::Users(), kBoth),
         Ace::Allowed(kModify, wk::AuthenticatedUsers(), kBoth | flag::kInheritOnly),
         Ace::Allowed(file_access::kAppendData, wk::AuthenticatedUsers())}));
    return descriptor.ToSelfRelative();
}

SecurityDescriptor ParseNodeDescriptor(const SimNode& node) {
    auto parsed = SecurityDescriptor::ParseSelfRelative(node.security_descriptor);
    if (!parsed) throw InternalFault("simulated object carries a malformed security descriptor");
    return std::move(*parsed);
}

void PropagateInheritance(SimFileTree& tree, SimNode& directory) {
    const Acl empty = FittedOrFault(winformat::acl_revision::kRevision, {});
    std::vector<SimNode*> pending{&directory};
    while (!pending.empty()) {
        SimNode* parent = pending.back();
        pending.pop_back();
        const SecurityDescriptor parent_descriptor = ParseNodeDescriptor(*parent);
        const Acl* parent_dacl = parent_descriptor.dacl.acl();
        for (const auto& [key, child] : parent->children) {
            SimNode& node = *child->node;
            SecurityDescriptor descriptor = ParseNodeDescriptor(node);
            if (descriptor.control & winformat::sd_control::kDaclProtected) continue;
            tree.SetDescriptor(*child,
                               Reinherited(node, std::move(descriptor), parent_dacl != nullptr ? *parent_dacl : empty));
            if (node.directory && node.reparse_tag == 0) pending.push_back(&node);
        }
    }
}

}  // namespace telvo::platform::sim
