#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/error.h"
#include "platform/sim/sim_file_tree.h"
#include "winformat/acl.h"
#include "winformat/security_descriptor.h"

namespace telvo::platform::sim {

// Security descriptors of simulated files and directories, after
// windows-notes §3. What is modelled, and what is assumed:
// - A new object gets the creating process's token owner as owner, its
//   primary group as group (windows-notes 10.2), and a DACL made of its
//   parent's inheritable entries in the parent's order, each marked
//   INHERITED_ACE; the descriptor is SE_DACL_AUTO_INHERITED. How each entry
//   is copied, CREATOR OWNER / CREATOR GROUP substitution and the mapping of
//   generic rights included, is InheritedAces'. When nothing is inheritable
//   the object takes the token's default DACL, generic rights mapped, not
//   auto-inherited.
// - Not modelled: inheritance from a parent with a null DACL (nothing is
//   inherited then), and a parent DACL that is not auto-inherited (its
//   children's copies are marked inherited all the same).
// - A volume root is owned by Administrators and carries a protected DACL:
//   Administrators and LocalSystem full access, Users read and execute, all
//   inheritable to files and directories.

// The object that inherits: a directory or a file, and the owner and group
// that CREATOR OWNER and CREATOR GROUP entries take (none: kept as they are).
struct InheritingObject {
    bool directory = false;
    std::optional<winformat::Sid> owner = std::nullopt;
    std::optional<winformat::Sid> group = std::nullopt;
};

// `acl` as the kernel applies it to a file or directory: the generic rights
// of every entry that is not inherit-only mapped to file rights.
winformat::Acl WithFileRightsMapped(const winformat::Acl& acl);

// The entries a child inherits from its parent's DACL.
std::vector<winformat::Ace> InheritedAces(const winformat::Acl& parent_dacl, const InheritingObject& object);

// The descriptor of a new object below a parent whose descriptor is `parent`.
std::vector<std::uint8_t> NewObjectDescriptor(std::span<const std::uint8_t> parent, const InheritingObject& object,
                                              std::span<const std::uint8_t> default_dacl = {});

// A new object's descriptor `made` (NewObjectDescriptor) with what its
// creator passed itself: a present DACL (a null one included) and its
// protected bit replace the inherited DACL, a given group replaces the
// creator's.
std::vector<std::uint8_t> WithGivenParts(std::span<const std::uint8_t> made,
                                         const winformat::SecurityDescriptor& given);

std::vector<std::uint8_t> VolumeRootDescriptor();

// The stored descriptor of a node; every node's descriptor parses (the sim
// writes them all, and the test side checks what it plants).
winformat::SecurityDescriptor ParseNodeDescriptor(const SimNode& node);

// SetSecurityInfo's propagation below `directory`, whose DACL has just been
// replaced: each descendant that is not protected keeps its explicit entries
// and gets the inherited ones from its parent's new DACL. A protected
// descendant and everything below it are left alone. The tree's mutex is
// held; each descriptor changes through the tree, which records it.
void PropagateInheritance(SimFileTree& tree, SimNode& directory);

}  // namespace telvo::platform::sim
