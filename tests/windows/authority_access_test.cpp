#include "windows/authority_access.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <utility>

#include "dacl_fixture.h"
#include "platform/security.h"
#include "winutil/walk_tree.h"
#include "support/local_path_of.h"

namespace telvo::windows {
namespace {

using namespace testing;
using platform::sim::GrantMerge;

constexpr std::uint32_t kReadOnly = 0x1200A9;
constexpr std::uint32_t kWritable = 0x1301BF;
constexpr std::uint32_t kWritableProtected = 0x1201BF;
constexpr std::uint32_t kDelete = 0x10000;

// (mask, flags) of each entry that names a SID.
using Entries = std::vector<std::pair<std::uint32_t, std::uint8_t>>;

// Grant, verification and revocation passes over the authorities
// \\?\C:\W (writable; private paths W\secret and W\deep\x\p) and \\?\C:\R
// (read-only; private path R\hidden), under both SetEntriesInAclW merge rules.
class AuthorityGrantTest : public DaclTest, public ::testing::WithParamInterface<GrantMerge> {
protected:
    AuthorityGrantTest() {
        host.security().SetGrantMerge(GetParam());
        EnableBackupPrivilege();
        for (const char* dir : {"W", "W\\src", "W\\secret", "W\\deep", "W\\deep\\x", "W\\deep\\x\\p", "R",
                                "R\\hidden", "R\\docs"}) {
            Dir(std::string(kC) + dir);
        }
        for (const char* file : {"W\\a.txt", "W\\src\\main.c", "W\\secret\\key", "W\\deep\\x\\p\\q",
                                 "W\\deep\\x\\other", "R\\docs\\readme", "R\\hidden\\diary"}) {
            File(std::string(kC) + file);
        }
    }

    Result<void> Pass(const AuthorityAccess& authority, bool write_dac,
                      const std::function<Result<void>(const std::u16string&, platform::Handle)>& visit) {
        return winutil::WalkTree(platform(), authority.root.text(), write_dac, cancel, winutil::WalkPolicy::prove, visit);
    }
    Result<void> Grant(const AuthorityAccess& authority) {
        return Pass(authority, true, [&](const std::u16string& path, platform::Handle handle) {
            return GrantAuthorityAccess(platform(), path, handle, authority, sid);
        });
    }
    Result<void> Verify(const AuthorityAccess& authority) {
        return Pass(authority, false, [&](const std::u16string& path, platform::Handle handle) {
            return VerifyAuthorityGrant(platform(), path, handle, authority, sid);
        });
    }
    Result<void> Revoke(const AuthorityAccess& authority) {
        return Pass(authority, true, [&](const std::u16string& path, platform::Handle handle) {
            return RevokeObject(path, handle);
        });
    }
    Result<void> VerifyAbsent(const AuthorityAccess& authority) {
        return Pass(authority, false, [&](const std::u16string& path, platform::Handle handle) {
            return AbsentObject(path, handle);
        });
    }
    Entries SidEntries(std::string_view path) {
        Entries entries;
        for (const Ace& ace : AcesOf(std::string(kC) + std::string(path))) {
            if (ace.sid() != nullptr && *ace.sid() == sid) entries.emplace_back(*ace.mask(), ace.flags());
        }
        return entries;
    }
    std::map<std::string, std::vector<Ace>> Snapshot(const AuthorityAccess& authority) {
        std::map<std::string, std::vector<Ace>> aces;
        EXPECT_TRUE(Pass(authority, false, [&](const std::u16string& path, platform::Handle) {
            aces[winformat::Utf16ToDisplay(path)] = AcesOf(winformat::Utf16ToDisplay(path));
            return Result<void>{};
        }));
        return aces;
    }

    static constexpr char kC[] = "\\\\?\\C:\\";
    const AuthorityAccess writable{telvo::testing::PathOf("\\\\?\\C:\\W"), true, {telvo::testing::PathOf("\\\\?\\C:\\W\\secret"), telvo::testing::PathOf("\\\\?\\C:\\w\\DEEP\\x\\p")}};
    const AuthorityAccess read_only{telvo::testing::PathOf("\\\\?\\C:\\R"), false, {telvo::testing::PathOf("\\\\?\\C:\\R\\hidden")}};
    std::atomic<bool> cancel{false};
};

TEST_P(AuthorityGrantTest, GrantsEachObjectItsExactEntriesAndSkipsPrivatePaths) {
    const auto before = Snapshot(writable);
    ASSERT_TRUE(Grant(writable)) << ErrorOf(Grant(writable));
    const Entries root_entries{{kWritableProtected, 0x3}, {kDelete, 0xB}};
    EXPECT_EQ(SidEntries("W"), root_entries);
    EXPECT_EQ(SidEntries("W\\deep"), root_entries);
    EXPECT_EQ(SidEntries("W\\deep\\x"), root_entries);
    for (const char* object : {"W\\a.txt", "W\\src", "W\\src\\main.c", "W\\deep\\x\\other"}) {
        EXPECT_EQ(SidEntries(object), (Entries{{kWritable, 0x3}})) << object;
    }
    for (const char* object : {"W\\secret", "W\\secret\\key", "W\\deep\\x\\p", "W\\deep\\x\\p\\q"}) {
        EXPECT_TRUE(SidEntries(object).empty()) << object;
    }
    // Object-local: nothing was inherited by the children, and the other entries stay as they were.
    for (const auto& [path, aces] : before) {
        std::vector<Ace> others;
        for (const Ace& ace : AcesOf(path)) {
            if (ace.sid() == nullptr || *ace.sid() != sid) others.push_back(ace);
        }
        EXPECT_EQ(others, aces) << path;
    }
    EXPECT_TRUE(Verify(writable)) << ErrorOf(Verify(writable));
}

TEST_P(AuthorityGrantTest, ReadOnlyAuthoritiesGetTheReadMaskEverywhereButPrivatePaths) {
    ASSERT_TRUE(Grant(read_only)) << ErrorOf(Grant(read_only));
    for (const char* object : {"R", "R\\docs", "R\\docs\\readme"}) {
        EXPECT_EQ(SidEntries(object), (Entries{{kReadOnly, 0x3}})) << object;
    }
    EXPECT_TRUE(SidEntries("R\\hidden").empty());
    EXPECT_TRUE(SidEntries("R\\hidden\\diary").empty());
    EXPECT_TRUE(Verify(read_only)) << ErrorOf(Verify(read_only));
    // The same tree judged as writable does not match.
    const AuthorityAccess as_writable{read_only.root, true, read_only.private_paths};
    EXPECT_EQ(ErrorOf(Verify(as_writable)), "AppContainer grant does not match object policy: \\\\?\\C:\\R");
}

TEST_P(AuthorityGrantTest, RegrantingAnExactGrantKeepsItExact) {
    ASSERT_TRUE(Grant(writable));
    ASSERT_TRUE(Grant(writable)) << ErrorOf(Grant(writable));
    EXPECT_TRUE(Verify(writable)) << ErrorOf(Verify(writable));
}

TEST_P(AuthorityGrantTest, RevokeRestoresEveryDaclExactlyAndProvesTheSidAbsent) {
    const auto before = Snapshot(writable);
    ASSERT_TRUE(Grant(writable));
    EXPECT_EQ(ErrorOf(VerifyAbsent(writable)), "AppContainer SID ACE remains after cleanup on \\\\?\\C:\\W");
    ASSERT_TRUE(Revoke(writable)) << ErrorOf(Revoke(writable));
    EXPECT_EQ(Snapshot(writable), before);
    EXPECT_TRUE(VerifyAbsent(writable)) << ErrorOf(VerifyAbsent(writable));
}

TEST_P(AuthorityGrantTest, RevokingWhereNothingNamesTheSidWritesNothing) {
    PlantDacl("\\\\?\\C:\\W\\a.txt", {Ace::Allowed(kWritable, other, 0x3)});
    const std::uint64_t writes = Count("NtSetSecurityObject");
    ASSERT_TRUE(Revoke(writable)) << ErrorOf(Revoke(writable));
    EXPECT_EQ(Count("NtSetSecurityObject"), writes);
    EXPECT_GT(Count("NtQuerySecurityObject"), 0u);
}

TEST_P(AuthorityGrantTest, VerificationRefusesEntriesBeyondTheGrant) {
    ASSERT_TRUE(Grant(writable));
    const std::string file = "\\\\?\\C:\\W\\src\\main.c";
    auto aces = AcesOf(file);
    aces.insert(aces.begin(), Ace::Denied(0x2, sid));
    PlantDacl(file, aces, 0);
    EXPECT_EQ(ErrorOf(Verify(writable)), "AppContainer grant does not match object policy: " + file);

    // A private object carrying an entry for the SID.
    PlantDacl(file, {Ace::Allowed(kWritable, sid, 0x3)});
    PlantDacl("\\\\?\\C:\\W\\secret\\key", {Ace::Allowed(kReadOnly, sid)});
    EXPECT_EQ(ErrorOf(Verify(writable)), "private object has an AppContainer ACE: \\\\?\\C:\\W\\secret\\key");

    // A writable root without its inherit-only DELETE entry.
    PlantDacl("\\\\?\\C:\\W\\secret\\key", {});
    PlantDacl("\\\\?\\C:\\W", {Ace::Allowed(kWritableProtected, sid, 0x3)});
    EXPECT_EQ(ErrorOf(Verify(writable)), "AppContainer grant does not match object policy: \\\\?\\C:\\W");
}

TEST_P(AuthorityGrantTest, EntriesTheEngineCannotReadExactlyAreRefused) {
    const std::string file = "\\\\?\\C:\\W\\a.txt";
    ASSERT_TRUE(Grant(writable));

    // A conditional (callback) allow entry for the SID.
    const Ace callback = Ace::Make(winformat::ace_type::kAccessAllowedCallback, 0x3,
                                   winformat::BasicAceBody{kWritable, sid, {'a', 'r', 't', 'x'}})
                             .value();
    PlantDacl(file, {callback});
    EXPECT_EQ(ErrorOf(Verify(writable)), "unexpected conditional/object AppContainer grant");

    // An object entry for the SID behind one GUID: found and removed by revoke.
    const Ace object = Ace::Make(winformat::ace_type::kAccessAllowedObject, 0x3,
                                 winformat::ObjectAceBody{kWritable, winformat::GuidBytes{1, 2, 3}, std::nullopt, sid, {}})
                           .value();
    PlantDacl(file, {object, Ace::Allowed(kReadOnly, other)});
    EXPECT_EQ(ErrorOf(Verify(writable)), "unexpected conditional/object AppContainer grant");
    ASSERT_TRUE(Revoke(writable)) << ErrorOf(Revoke(writable));
    EXPECT_EQ(AcesOf(file), (std::vector<Ace>{Ace::Allowed(kReadOnly, other)}));

    // A label-like entry whose bytes hold the SID blocks every change and every proof.
    const Ace label = Ace::Basic(winformat::ace_type::kSystemMandatoryLabel, 0, 0x1, sid);
    PlantDacl(file, {label});
    const auto handle = Open(file);
    const std::uint64_t writes = Count("NtSetSecurityObject");
    const std::string blocked = "unsupported DACL ACE may contain the AppContainer SID";
    EXPECT_EQ(ErrorOf(GrantAuthorityAccess(platform(), Wide(file), handle.get(), writable, sid)),
              "could not grant " + file + ": " + blocked);
    // The cleanup cannot remove it exactly either, and leaves the object as it is.
    const std::u16string wide_file = Wide(file);
    EXPECT_EQ(RevokeAuthorityObject(platform(), {wide_file, handle.get(), true}, sid).value(),
              CleanupFinding::unchangeable);
    EXPECT_EQ(ErrorOf(VerifyAuthorityGrant(platform(), Wide(file), handle.get(), writable, sid)), blocked);
    EXPECT_EQ(VerifySidAbsent(platform(), {wide_file, handle.get(), true}, sid).value(), CleanupFinding::unchangeable);
    EXPECT_EQ(Count("NtSetSecurityObject"), writes);
    EXPECT_EQ(AcesOf(file), std::vector<Ace>{label});
    // ... but the same kind of entry for another SID does not.
    PlantDacl(file, {Ace::Basic(winformat::ace_type::kSystemMandatoryLabel, 0, 0x1, other)});
    EXPECT_TRUE(GrantAuthorityAccess(platform(), Wide(file), handle.get(), writable, sid));
    EXPECT_TRUE(VerifyAuthorityGrant(platform(), Wide(file), handle.get(), writable, sid));
}

TEST_P(AuthorityGrantTest, AWritableRootWithoutPrivatePathsIsStillProtected) {
    const AuthorityAccess plain{telvo::testing::PathOf("\\\\?\\C:\\W\\src"), true, {}};
    ASSERT_TRUE(Grant(plain)) << ErrorOf(Grant(plain));
    EXPECT_EQ(SidEntries("W\\src"), (Entries{{kWritableProtected, 0x3}, {kDelete, 0xB}}));
    EXPECT_EQ(SidEntries("W\\src\\main.c"), (Entries{{kWritable, 0x3}}));
    EXPECT_TRUE(Verify(plain)) << ErrorOf(Verify(plain));
}

// Whether the metadata lock is held by this thread at each DACL read and
// write of one object, and how many releases came before each.
struct LockAtCall {
    std::string call;
    bool held = false;
    std::uint64_t releases = 0;
    bool operator==(const LockAtCall&) const = default;
};

TEST_P(AuthorityGrantTest, ReadMergeAndWriteHappenInOneHoldOfTheMetadataLock) {
    const std::string file = "\\\\?\\C:\\W\\a.txt";
    std::vector<LockAtCall> calls;
    host.security().BeforeFileSecurityCall([&](std::string_view call, const std::u16string& path) {
        if (!winutil::PathsEqual(std::u16string_view(path), std::u16string_view(Wide(file)))) return;
        const auto mutex = host.sync().FindMutex(u"Global\\Telvo.Sandbox.ObjectAclMutations.v1");
        calls.push_back({std::string(call), mutex && mutex->IsOwnedByCallingThread(), Count("ReleaseMutex")});
    });
    const auto handle = Open(file);
    ASSERT_TRUE(GrantAuthorityAccess(platform(), Wide(file), handle.get(), writable, sid));
    ASSERT_TRUE(RevokeObject(Wide(file), handle.get()));
    ASSERT_EQ(calls.size(), 4u);
    for (std::size_t write : {1u, 3u}) {
        EXPECT_EQ(calls[write - 1], (LockAtCall{"NtQuerySecurityObject", true, calls[write - 1].releases}));
        EXPECT_EQ(calls[write], (LockAtCall{"NtSetSecurityObject", true, calls[write - 1].releases}));
    }
    EXPECT_FALSE(host.sync().FindMutex(u"Global\\Telvo.Sandbox.ObjectAclMutations.v1"));
}

// Seam calls per object of each pass over a tree where every object gets a
// grant and a revoke writes on every object; the directory listings (a
// second handle per directory and its batches) are not per-object costs.
TEST_P(AuthorityGrantTest, EachPassStaysWithinItsSeamCallsPerObject) {
    const AuthorityAccess plain{telvo::testing::PathOf("\\\\?\\C:\\W"), true, {}};
    std::uint64_t objects = 0;
    const auto per_object = [&](bool write_dac, winutil::WalkPolicy policy, const winutil::TreeVisitor& visit) {
        const auto before = host.faults().Counts();
        objects = 0;
        EXPECT_TRUE(winutil::WalkTree(platform(), plain.root.text(), write_dac, cancel, policy,
                                      [&](const std::u16string& path, platform::Handle handle) {
                                          ++objects;
                                          return visit(path, handle);
                                      }));
        const auto after = host.faults().Counts();
        const auto used = [&](const std::string& call) {
            return (after.contains(call) ? after.at(call) : 0) - (before.contains(call) ? before.at(call) : 0);
        };
        std::uint64_t total = 0;
        for (const auto& [call, count] : after) total += used(call);
        const std::uint64_t listing = 2 * used("ReOpenFile") + used("GetFileInformationByHandleEx");
        return static_cast<double>(total - listing) / static_cast<double>(objects);
    };
    const auto walk = per_object(false, winutil::WalkPolicy::prove, [](const std::u16string&, platform::Handle) {
        return Result<void>{};
    });
    const auto grant = per_object(true, winutil::WalkPolicy::prove, [&](const std::u16string& path, platform::Handle h) {
        return GrantAuthorityAccess(platform(), path, h, plain, sid);
    });
    const auto verify = per_object(false, winutil::WalkPolicy::prove, [&](const std::u16string& path, platform::Handle h) {
        return VerifyAuthorityGrant(platform(), path, h, plain, sid);
    });
    const std::uint64_t writes = Count("NtSetSecurityObject");
    const auto revoke = per_object(true, winutil::WalkPolicy::cleanup, [&](const std::u16string& path, platform::Handle h) {
        return RevokeObject(path, h);
    });
    EXPECT_EQ(Count("NtSetSecurityObject") - writes, objects);
    const auto absent = per_object(false, winutil::WalkPolicy::cleanup, [&](const std::u16string& path, platform::Handle h) {
        return AbsentObject(path, h);
    });
    EXPECT_EQ(objects, 11u);
    EXPECT_LE(walk, 5.0);
    EXPECT_LE(grant, 13.0);
    EXPECT_LE(verify, 7.0);
    EXPECT_LE(revoke, 12.0);
    EXPECT_LE(absent, 7.0);
}

INSTANTIATE_TEST_SUITE_P(BothMergeRules, AuthorityGrantTest,
                         ::testing::Values(GrantMerge::combine_matching_entry, GrantMerge::add_separate_entry));

}  // namespace
}  // namespace telvo::windows
