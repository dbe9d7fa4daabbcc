#pragma once

// What a sandbox run may leave behind on a simulated host, listed: a run that
// ended, or a stale run that recovery undid, leaves nothing of it.

#include <string>
#include <string_view>
#include <vector>

#include "identity/profile.h"
#include "platform/sim/sim_host.h"
#include "windows/acl_mutation_lock.h"
#include "windows/global_locks.h"
#include "winformat/security_descriptor.h"
#include "winformat/text.h"

namespace telvo::testing {

// An AppContainer package SID (S-1-15-2-...): the identity of one sandbox.
// Capability SIDs (S-1-15-3-...) belong to the host preparation and stay.
inline bool IsPackageSid(const winformat::Sid& sid) {
    return sid.authority() == 15 && sid.sub_authority_count() > 0 && sid.sub_authority(0) == 2;
}

inline std::string Narrow(std::u16string_view text) {
    auto narrow = winformat::Utf16ToUtf8(text);
    return narrow ? *narrow : std::string("<not UTF-16>");
}

// Everything on `host` that a sandbox run left: an entry for any sandbox's
// package SID on any object of `volume_roots`, a sandbox profile, a journal
// or its temporary file in `state_directory`, a live marker, a held metadata
// lock or ACL mutation lock, a process still active. Empty: the host is clean.
inline std::vector<std::string> RunLeftovers(platform::sim::SimHost& host, std::u16string_view state_directory,
                                             std::vector<std::u16string> volume_roots = {u"C:\\"}) {
    std::vector<std::string> leftovers;
    auto& files = host.files();
    for (const std::u16string& root : volume_roots) {
        for (const std::u16string& path : files.ObjectPaths(root).value_or(std::vector<std::u16string>{})) {
            auto bytes = files.SecurityDescriptorOf(path);
            if (!bytes) continue;
            auto descriptor = winformat::SecurityDescriptor::ParseSelfRelative(*bytes);
            if (!descriptor || descriptor->dacl.acl() == nullptr) continue;
            for (const auto& ace : descriptor->dacl.acl()->aces()) {
                if (ace.sid() != nullptr && IsPackageSid(*ace.sid())) {
                    leftovers.push_back("entry for " + ace.sid()->ToString() + " on " + Narrow(path));
                }
            }
        }
    }
    for (const auto& profile : host.appcontainer().Profiles()) {
        if (Narrow(profile.name).starts_with(identity::kProfileNamePrefix)) {
            leftovers.push_back("profile " + Narrow(profile.name));
        }
    }
    for (const std::u16string& path : files.ObjectPaths(state_directory).value_or(std::vector<std::u16string>{})) {
        if (path.ends_with(u".json") || path.ends_with(u".json.new")) leftovers.push_back("journal " + Narrow(path));
    }
    for (const auto& mutex : host.sync().Mutexes()) {
        const std::string text = Narrow(mutex->name());
        if (text.starts_with("Global\\") && identity::ValidateProfileName(text.substr(7))) {
            leftovers.push_back("live marker " + text);
        }
    }
    if (auto metadata = host.sync().FindMutex(windows::kMetadataLockName); metadata && metadata->IsOwned()) {
        leftovers.push_back("metadata lock held");
    }
    const std::u16string lock_path = std::u16string(state_directory) + u"\\" +
                                     winformat::AsciiToUtf16(windows::kAclMutationLockFile);
    if (files.Lookup(lock_path)) {
        // Another process takes byte 0 at once exactly when nobody holds it.
        auto other = files.OpenInOtherProcess(lock_path, platform::file_access::kReadData,
                                              platform::file_share::kRead | platform::file_share::kWrite, 0);
        if (!other || !files.LockInOtherProcess(**other, 0, 1)) leftovers.push_back("ACL mutation lock held");
    }
    for (const auto& process : host.processes().Created()) {
        if (process->Active()) leftovers.push_back("process " + std::to_string(process->id()) + " still active");
    }
    return leftovers;
}

}  // namespace telvo::testing
