// Whole runs through the process entry where the request, the sandboxed
// command or the user's own later doings are hostile to the cleanup: each run
// ends with one record and leaves no journal, and the user's next run works.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/json.h"
#include "main/process_entry.h"
#include "run_fixture.h"
#include "support/frames.h"
#include "winformat/sddl.h"

namespace telvo::windows {
namespace {

using namespace testing;
namespace step = platform::sim::step;
namespace sim = platform::sim;

const Sid kAdministrators = winformat::well_known::Administrators();

class HostileRunTest : public RunOrchestrationTest {
protected:
    HostileRunTest() { Script("plain", {step::File{step::File::Action::write, u"C:\\work\\ws\\plain.txt", "p"}}); }

    // One helper process as a controller drives it; its record.
    std::string Entry(const std::string& command) {
        json::Json body{{"operation", "run"},
                        {"protocolVersion", 1},
                        {"command", command},
                        {"cwd", run.cwd},
                        {"root", run.root},
                        {"mode", run.mode == protocol::RunMode::workspace_write ? "workspace-write" : "read-only"},
                        {"readableRoots", run.readable_roots},
                        {"privatePaths", run.private_paths},
                        {"networkAccess", run.network_access}};
        host.stdin_pipe().SetBytes(telvo::testing::Frame(body.dump()));
        (void)app::ProcessEntry(host.platform());
        const std::string out = host.stdout_pipe().Bytes();
        const std::size_t record = out.rfind("{\"kind\":");
        const std::string result = record == std::string::npos ? out : out.substr(record);
        NextProcess();
        // The last process's monitor thread sees its input close and ends.
        host.processes().JoinThreads();
        return result;
    }

    // The same user's next run, on the plain workspace (or `root`): it must work.
    void ExpectNextRunWorks(const std::string& root = "C:\\work\\ws") {
        run.root = run.cwd = root;
        run.readable_roots.clear();
        run.private_paths.clear();
        EXPECT_EQ(Entry("plain"), "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":0}\n");
        EXPECT_EQ(Journals(), std::vector<std::u16string>{});
    }

    // What a run left that this user could still see: entries of a sandbox
    // SID on objects whose DACL the user can read, profiles, journals,
    // markers, locks, processes.
    std::vector<std::string> ReadableLeftovers() {
        std::vector<std::string> leftovers;
        for (std::string& leftover : Leftovers()) {
            const std::size_t on = leftover.find(" on ");
            if (leftover.starts_with("entry for ") && on != std::string::npos &&
                !UserCanRead(Wide(leftover.substr(on + 4)))) {
                continue;
            }
            leftovers.push_back(std::move(leftover));
        }
        return leftovers;
    }
    // The user can find the object (every directory above it lists for the
    // user) and read its DACL.
    bool UserCanRead(const std::u16string& path) {
        if (!Grants(path, platform::file_access::kReadControl)) return false;
        for (std::size_t slash = path.rfind(u'\\'); slash != std::u16string::npos && slash > 3;
             slash = path.rfind(u'\\', slash - 1)) {
            if (!Grants(path.substr(0, slash), platform::file_access::kListDirectory)) return false;
        }
        return true;
    }
    bool Grants(const std::u16string& path, std::uint32_t access) {
        const auto bytes = files().SecurityDescriptorOf(path).value();
        const auto descriptor = winformat::SecurityDescriptor::ParseSelfRelative(bytes).value();
        sim::TokenIdentity user;
        user.user = kUser;
        const auto decision = sim::EvaluateObjectAccess(descriptor, user, access, platform::kFileGenericMapping);
        return decision && decision->granted;
    }
    // A directory only Administrators may change, that the user may read.
    void AdministratorsDirectory(const std::string& path) {
        Dir(path);
        SetDescriptor(path, "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;" + kUser.ToString() + ")");
    }
    void SetDescriptor(const std::string& path, const std::string& sddl) {
        ASSERT_TRUE(files().SetSecurityDescriptor(Wide(path), winformat::ParseSddl(sddl).value().ToSelfRelative()));
    }
};

// A readable root the user cannot change, or a root it cannot list, is
// refused before the journal exists.
TEST_F(HostileRunTest, AnAuthorityRootTheUserCannotChangeOrListIsRefusedBeforeAnythingChanges) {
    AdministratorsDirectory("C:\\Program Files");
    AdministratorsDirectory("C:\\Program Files\\Tool");
    run.readable_roots = {"C:\\Program Files\\Tool"};
    EXPECT_EQ(Entry("plain"),
              "{\"kind\":\"error\",\"protocolVersion\":1,\"code\":\"sandbox_backend_error\",\"message\":\"the current user cannot change the permissions "
              "of \\\\\\\\?\\\\C:\\\\Program Files\\\\Tool (CreateFileW(\\\\\\\\?\\\\C:\\\\Program Files\\\\Tool) "
              "failed with Win32 error 5); no permissions changed\"}\n");
    EXPECT_EQ(Journals(), std::vector<std::u16string>{});
    EXPECT_EQ(ReadableLeftovers(), std::vector<std::string>{});
    ExpectNextRunWorks();
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});

    // Another user's folder that grants this user its DACL but not its listing.
    Dir("C:\\work\\theirs");
    SetDescriptor("C:\\work\\theirs", "O:" + kAdministrators.ToString() + "D:P(A;OICI;FA;;;BA)(A;;0x160080;;;" +
                                          kUser.ToString() + ")");
    run.root = run.cwd = "C:\\work\\theirs";
    const std::string refused = Entry("plain");
    EXPECT_NE(refused.find("the current user cannot list \\\\\\\\?\\\\C:\\\\work\\\\theirs"), std::string::npos)
        << refused;
    EXPECT_TRUE(refused.ends_with("; no permissions changed\"}\n")) << refused;
    ExpectNextRunWorks();
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

// The grant stops at an object deep in the tree that the user cannot change;
// everything granted before it is undone, with nothing asked of that object.
TEST_F(HostileRunTest, AGrantThatStopsPartWayIsUndoneWhole) {
    Dir("C:\\work\\mixed");
    Dir("C:\\work\\mixed\\a");
    File("C:\\work\\mixed\\a\\before.txt");
    AdministratorsDirectory("C:\\work\\mixed\\b-locked");
    File("C:\\work\\mixed\\c-after.txt");
    run.root = run.cwd = "C:\\work\\mixed";
    const std::string record = Entry("plain");
    EXPECT_NE(record.find("CreateFileW(\\\\\\\\?\\\\C:\\\\work\\\\mixed\\\\b-locked) failed with Win32 error 5"),
              std::string::npos)
        << record;
    EXPECT_EQ(record.find("cleanup"), std::string::npos) << record;
    EXPECT_EQ(Journals(), std::vector<std::u16string>{});
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
    ExpectNextRunWorks();
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

// What a hostile command can make in its writable root with descriptors of
// its own: the cleanup goes past each of them.
TEST_F(HostileRunTest, ObjectsTheCommandShutsTheUserOutOfDoNotKeepTheJournal) {
    Dir("C:\\work\\ws\\z-last");
    File("C:\\work\\ws\\z-last\\after.txt");
    Script("hostile", {step::HostCall{[&](sim::SimProcess& process) {
        const sim::SimToken& token = process.full_token();
        const std::string user = token.identity.user.ToString();
        const std::string package = token.identity.package->ToString();
        const auto create = [&](const std::u16string& path, bool directory, const std::string& sddl) {
            EXPECT_TRUE(files().CreateWithDescriptorAs(token, path, directory, winformat::ParseSddl(sddl).value()))
                << winformat::Utf16ToDisplay(path);
        };
        // A directory it fills and then closes to everyone but itself: it
        // made it with WRITE_DAC for its package, and takes the owner's
        // implicit rights away with an OWNER RIGHTS entry of mask 0.
        create(u"C:\\work\\ws\\locked", true,
               "D:P(A;OICI;FA;;;" + user + ")(A;OICI;FA;;;" + package + ")");
        EXPECT_TRUE(files().WriteAs(token, u"C:\\work\\ws\\locked\\inside.txt", "i"));
        EXPECT_TRUE(files().SetSecurityDescriptor(
            u"C:\\work\\ws\\locked",
            winformat::ParseSddl("O:" + user + "D:P(A;OICI;FA;;;" + package + ")(A;;0x0;;;OW)").value().ToSelfRelative()));
        // A directory whose DACL grants the user nothing: opened through the
        // owner's rights, never listed.
        create(u"C:\\work\\ws\\unlisted", true, "D:P(A;OICI;FA;;;" + package + ")");
        // A file the owner cannot open at all, one with a null DACL, and one
        // with an opaque entry holding the package SID.
        create(u"C:\\work\\ws\\ownerless.txt", false, "D:P(A;;FA;;;" + package + ")(A;;0x0;;;OW)");
        create(u"C:\\work\\ws\\open.txt", false, "D:NO_ACCESS_CONTROL");
        winformat::SecurityDescriptor opaque;
        opaque.dacl = winformat::AclSlot(winformat::Acl::Fitted(
            2, {Ace::Allowed(0x1F01FF, token.identity.user),
                Ace::Basic(winformat::ace_type::kSystemMandatoryLabel, 0, 0x1, *token.identity.package)}).value());
        EXPECT_TRUE(files().CreateWithDescriptorAs(token, u"C:\\work\\ws\\opaque.txt", false, opaque));
        // Read-only on a directory the run made.
        EXPECT_TRUE(files().SetAttributesAs(token, u"C:\\work\\ws\\.zanth", platform::file_attribute::kReadOnly));
    }}});
    EXPECT_EQ(Entry("hostile"), "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":0}\n");
    EXPECT_EQ(Journals(), std::vector<std::u16string>{});
    EXPECT_FALSE(files().Lookup(u"C:\\work\\ws\\.zanth"));
    // What the user can see of the run is only the opaque entry the command
    // wrote, which no cleanup can remove exactly.
    const std::vector<std::string> readable = ReadableLeftovers();
    ASSERT_EQ(readable.size(), 1u);
    EXPECT_TRUE(readable[0].ends_with(" on C:\\work\\ws\\opaque.txt")) << readable[0];
    // The other entries that stay are on what the command shut the user out of.
    const std::vector<std::string> left = Leftovers();
    for (const std::string& entry : left) {
        EXPECT_TRUE(entry.ends_with("\\locked") || entry.ends_with("\\locked\\inside.txt") ||
                    entry.ends_with("\\ownerless.txt") || entry.ends_with("\\opaque.txt"))
            << entry;
    }
    // The grant of the same workspace now stops at what the user cannot
    // open; another workspace runs.
    Dir("C:\\work\\other");
    ExpectNextRunWorks("C:\\work\\other");
}


// After a crash the user deletes or renames the project: recovery cannot
// reach it any more and lets it go; a path that now names another directory
// keeps the journal, and the message says which and where.
TEST_F(HostileRunTest, AProjectGoneAfterACrashDoesNotBlockTheNextRun) {
    // The helper dies at its first call after the command has run.
    Script("dies", {step::HostCall{[&](sim::SimProcess&) { host.faults().CrashAfter(0); }}});
    (void)Entry("dies");
    ASSERT_EQ(Journals().size(), 1u);
    const std::u16string journal = Journals()[0];

    // Another directory in its place: nothing is undone, and every run stops at the journal.
    Rename("C:\\work\\ws", "C:\\work\\ws-renamed");
    Dir("C:\\work\\ws");
    Dir("C:\\work\\other");
    run.root = run.cwd = "C:\\work\\other";
    const std::string blocked = Entry("plain");
    // As the record shows it: JSON text, each backslash doubled.
    std::string shown;
    for (const char c : "recovery path identity changed: \\\\?\\C:\\work\\ws; the recovery journal " +
                            telvo::testing::Narrow(journal) + " is kept") {
        shown += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    EXPECT_NE(blocked.find(shown), std::string::npos) << blocked;
    EXPECT_EQ(Journals(), std::vector<std::u16string>{journal});

    // Gone: the next run recovers what it can reach and goes on.
    ASSERT_TRUE(files().Remove(u"C:\\work\\ws"));
    ExpectNextRunWorks("C:\\work\\other");
    EXPECT_EQ(Journals(), std::vector<std::u16string>{});
    for (const std::string& leftover : Leftovers()) {
        EXPECT_NE(leftover.find("C:\\work\\ws-renamed"), std::string::npos) << leftover;
    }
}

}  // namespace
}  // namespace telvo::windows
