#include "platform/sim/sim_change_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim_host.h"
#include "platform/unique_handle.h"
#include "winformat/acl.h"
#include "winformat/security_descriptor.h"
#include "winutil/sim_file_fixture.h"

namespace telvo::platform::sim {
namespace {

using Kind = SimChange::Kind;
using winformat::Ace;
namespace info = security_information;

// A change as the tests compare it: what, where, and the detail.
std::string Summary(const SimChange& change) {
    static const char* const kNames[] = {"created",         "deleted",         "renamed",         "descriptor",
                                         "written",         "profile created", "profile deleted", "mutex created",
                                         "mutex destroyed", "registry set",    "service"};
    std::string text = kNames[static_cast<int>(change.kind)];
    text += " " + winformat::Utf16ToUtf8(change.subject).value();
    if (!change.detail.empty()) text += " " + winformat::Utf16ToUtf8(change.detail).value();
    return text;
}

class SimChangeLogTest : public winutil::testing::SimFileTest {
protected:
    std::vector<std::string> Recorded() {
        std::vector<std::string> summaries;
        for (const auto& change : host.changes().Changes()) summaries.push_back(Summary(change));
        return summaries;
    }
    UniqueHandle Create(const std::u16string& path, std::uint32_t access, std::uint32_t disposition,
                        std::uint32_t flags = 0) {
        auto handle = platform().files.CreateFileW(path, access, 0x7, disposition, flags);
        EXPECT_TRUE(handle) << (handle ? 0 : handle.error().code);
        return UniqueHandle(platform().kernel, handle.value_or(kNullHandle));
    }
    std::vector<std::uint8_t> Descriptor(std::string_view path) {
        return files().SecurityDescriptorOf(Wide(path)).value();
    }
};

TEST_F(SimChangeLogTest, RecordsNothingUntilStartedAndNothingAfterStopped) {
    Dir("C:\\before");
    File("C:\\before\\f", "x");
    EXPECT_TRUE(host.changes().Changes().empty());

    host.changes().Start();
    Dir("C:\\during");
    host.changes().Stop();
    Dir("C:\\after");
    ASSERT_TRUE(files().Remove(u"C:\\before\\f"));
    EXPECT_EQ(Recorded(), std::vector<std::string>{"created C:\\during directory"});

    // Starting again forgets what was recorded.
    host.changes().Start();
    EXPECT_TRUE(host.changes().Changes().empty());
}

TEST_F(SimChangeLogTest, SeamCallsRecordNamesDataAndDescriptorsWhereTheyChange) {
    Dir("C:\\w");
    Dir("C:\\w\\sub");
    File("C:\\w\\sub\\f", "old");
    host.changes().Start();

    ASSERT_TRUE(platform().files.CreateDirectoryW(u"C:\\w\\d"));
    {
        const auto file = Create(u"C:\\w\\d\\new", file_access::kGenericWrite, creation_disposition::kCreateNew);
        ASSERT_TRUE(platform().kernel.WriteFile(file.get(), std::as_bytes(std::span("ab", 2))));
    }
    // Truncating data is writing it; opening without truncating is not.
    (void)Create(u"C:\\w\\sub\\f", file_access::kGenericWrite, creation_disposition::kTruncateExisting);
    (void)Create(u"C:\\w\\sub\\f", file_access::kGenericRead, creation_disposition::kOpenExisting);
    ASSERT_TRUE(platform().files.MoveFileExW(u"C:\\w\\d\\new", u"C:\\w\\d\\moved", 0));

    // A DACL set on a directory changes it and, through inheritance, what is below it.
    const auto before = Descriptor("C:\\w");
    const auto sub_before = Descriptor("C:\\w\\sub");
    {
        const auto directory = Create(u"C:\\w", file_access::kWriteDac | file_access::kReadControl,
                                      creation_disposition::kOpenExisting, file_flag::kBackupSemantics);
        const auto dacl = winformat::Acl::Fitted(2, {Ace::Allowed(0x1200A9, host.security().TokenUser(), 0x3)});
        ASSERT_TRUE(platform().security.SetSecurityInfo(directory.get(), se_object_type::kFileObject, info::kDacl,
                                                        dacl->Serialize()));
    }
    {
        const auto file = Create(u"C:\\w\\d\\moved", file_access::kWriteDac, creation_disposition::kOpenExisting);
        winformat::SecurityDescriptor next;
        next.dacl = winformat::AclSlot(*winformat::Acl::Fitted(2, {Ace::Allowed(0x1F01FF, host.security().TokenUser())}));
        ASSERT_TRUE(platform().security.NtSetSecurityObject(file.get(), info::kDacl, next.ToSelfRelative()));
    }
    ASSERT_TRUE(platform().files.DeleteFileW(u"C:\\w\\d\\moved"));
    ASSERT_TRUE(platform().files.RemoveDirectoryW(u"C:\\w\\d"));

    ASSERT_EQ(Recorded(), (std::vector<std::string>{
                              "created C:\\w\\d directory",
                              "created C:\\w\\d\\new file",
                              "written C:\\w\\d\\new",
                              "written C:\\w\\sub\\f",
                              "renamed C:\\w\\d\\new C:\\w\\d\\moved",
                              "descriptor C:\\w",
                              "descriptor C:\\w\\d",
                              "descriptor C:\\w\\sub",
                              "descriptor C:\\w\\sub\\f",
                              "descriptor C:\\w\\d\\moved",
                              "descriptor C:\\w\\d\\moved",
                              "deleted C:\\w\\d\\moved file",
                              "deleted C:\\w\\d directory",
                          }));
    // A replaced descriptor carries the bytes before and after; a created
    // object the descriptor it was made with.
    const auto changes = host.changes().Changes();
    EXPECT_EQ(changes[5].before, before);
    EXPECT_EQ(changes[5].after, Descriptor("C:\\w"));
    EXPECT_EQ(changes[7].before, sub_before);
    EXPECT_EQ(changes[7].after, Descriptor("C:\\w\\sub"));
    EXPECT_FALSE(changes[1].after.empty());
    EXPECT_EQ(changes[6].before, changes[0].after);
}

TEST_F(SimChangeLogTest, SandboxedFileStepsAndTestSideChangesAreRecordedAlike) {
    Dir("C:\\w");
    host.changes().Start();
    const SimToken& token = host.security().ProcessToken();
    ASSERT_TRUE(files().MakeDirectoryAs(token, u"C:\\w\\out"));
    ASSERT_TRUE(files().WriteAs(token, u"C:\\w\\out\\f", "text"));
    ASSERT_TRUE(files().WriteAs(token, u"C:\\w\\out\\f", "again"));
    ASSERT_TRUE(files().DeleteAs(token, u"C:\\w\\out\\f"));
    Junction("C:\\w\\j", "\\\\?\\C:\\w\\out");
    EXPECT_FALSE(files().MakeHardLink(u"C:\\w\\j", u"C:\\w\\j2"));  // a junction is a directory: no change
    File("C:\\w\\g");
    HardLink("C:\\w\\g", "C:\\w\\h");
    Rename("C:\\w\\g", "C:\\w\\k");
    // Planting the descriptor an object has already is no change.
    ASSERT_TRUE(files().SetSecurityDescriptor(u"C:\\w\\k", Descriptor("C:\\w\\k")));
    EXPECT_EQ(Recorded(), (std::vector<std::string>{
                              "created C:\\w\\out directory",
                              "created C:\\w\\out\\f file",
                              "written C:\\w\\out\\f",
                              "written C:\\w\\out\\f",
                              "deleted C:\\w\\out\\f file",
                              "created C:\\w\\j junction",
                              "created C:\\w\\g file",
                              "created C:\\w\\h hard link",
                              "renamed C:\\w\\g C:\\w\\k",
                          }));
}

TEST_F(SimChangeLogTest, ProfilesMutexesRegistryAndServicesRecordTheirChanges) {
    host.system().registry().Set(u"SOFTWARE\\T", u"V", registry_type::kSz, {1});
    host.changes().Start();

    auto& appcontainer = platform().appcontainer;
    const auto created = appcontainer.CreateAppContainerProfile(u"Telvo.Sandbox.x", u"d", u"d", {});
    ASSERT_TRUE(created);
    ASSERT_TRUE(appcontainer.DeleteAppContainerProfile(u"TELVO.SANDBOX.X"));
    ASSERT_TRUE(appcontainer.DeleteAppContainerProfile(u"Telvo.Sandbox.x"));  // nothing left to delete

    auto mutex = platform().sync.CreateMutexW({}, false, false, u"Global\\m");
    ASSERT_TRUE(mutex);
    {
        UniqueHandle first(platform().kernel, mutex->handle);
        auto again = platform().sync.OpenMutexW(file_access::kSynchronize, false, u"Global\\m");
        ASSERT_TRUE(again);
        UniqueHandle second(platform().kernel, *again);
        first.reset();
        EXPECT_EQ(Recorded().back(), "mutex created Global\\m");  // a handle is still open
    }

    host.system().registry().Set(u"SOFTWARE\\T", u"V", registry_type::kSz, {2});
    host.system().registry().QueueChange(u"SOFTWARE\\T", u"V", {3});
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    ASSERT_TRUE(platform().system.RegGetValueW(registry_key::kLocalMachine, u"SOFTWARE\\T", u"V",
                                               registry_flag::kRtRegSz, type, {}, size));

    host.service().Install(u"Svc", {});
    host.service().Install(u"SVC", {});

    const auto changes = host.changes().Changes();
    std::vector<std::string> summaries;
    for (const auto& change : changes) summaries.push_back(Summary(change));
    const std::string sid = "S-1-15-2-";  // every AppContainer SID starts so
    ASSERT_EQ(summaries.size(), 8u);
    EXPECT_EQ(summaries[0].rfind("profile created Telvo.Sandbox.x " + sid, 0), 0u) << summaries[0];
    EXPECT_EQ(summaries[1].rfind("profile deleted Telvo.Sandbox.x " + sid, 0), 0u) << summaries[1];
    EXPECT_EQ(changes[0].detail, changes[1].detail);
    EXPECT_EQ(std::vector<std::string>(summaries.begin() + 2, summaries.end()),
              (std::vector<std::string>{"mutex created Global\\m", "mutex destroyed Global\\m",
                                        "registry set SOFTWARE\\T\\V", "registry set SOFTWARE\\T\\V",
                                        "service Svc installed", "service SVC changed"}));
    EXPECT_EQ(changes[4].before, std::vector<std::uint8_t>{1});
    EXPECT_EQ(changes[4].after, std::vector<std::uint8_t>{2});
    EXPECT_EQ(changes[5].before, std::vector<std::uint8_t>{2});
    EXPECT_EQ(changes[5].after, std::vector<std::uint8_t>{3});
}

}  // namespace
}  // namespace telvo::platform::sim
