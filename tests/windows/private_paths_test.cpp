#include "windows/private_paths.h"

#include <gtest/gtest.h>

#include "journal_fixture.h"
#include "winutil/sim_file_fixture.h"
#include "support/local_path_of.h"

namespace telvo::windows {
namespace {

constexpr char kRoot[] = "\\\\?\\C:\\work\\ws";
constexpr char kSupervisor[] = "\\\\?\\C:\\work\\ws\\.supervisor";
constexpr char kRunState[] = "\\\\?\\C:\\work\\ws\\.zanth\\telvo-run";

class PrivatePathsTest : public winutil::testing::SimFileTest {
protected:
    PrivatePathsTest() {
        for (const char* directory : {"C:\\work", "C:\\work\\ws", "C:\\work\\ws\\Secret", "C:\\work\\ws\\real",
                                      "C:\\deps", "C:\\state"}) {
            Dir(directory);
        }
        authorities = {{telvo::testing::PathOf(kRoot), true, true}, {telvo::testing::PathOf("\\\\?\\C:\\deps"), false, true}};
    }

    Result<std::vector<AuthorityAccess>> Establish(std::vector<std::string> paths) {
        return EstablishPrivatePaths(platform(), authorities, paths);
    }
    std::string ErrorOf(const Result<std::vector<AuthorityAccess>>& result) {
        return result ? std::string("(succeeded)") : result.error().Display();
    }
    std::vector<std::string> PrivateOf(std::vector<std::string> paths, std::size_t authority = 0) {
        auto established = Establish(std::move(paths));
        EXPECT_TRUE(established) << established.error().Display();
        std::vector<std::string> texts;
        if (established) {
            for (const auto& path : (*established)[authority].private_paths) texts.push_back(path.text());
        }
        return texts;
    }

    std::vector<CommandAuthority> authorities;
};

TEST_F(PrivatePathsTest, ResolvedInTheFileSystemsCaseWithTheControllersStateAlwaysPrivate) {
    const std::size_t handles = OpenHandles();
    EXPECT_EQ(PrivateOf({"c:/work/ws/SECRET", "C:\\work\\ws\\new\\deeper"}),
              (std::vector<std::string>{"\\\\?\\C:\\work\\ws\\Secret", "\\\\?\\C:\\work\\ws\\new\\deeper", kSupervisor,
                                        kRunState}));
    EXPECT_EQ(OpenHandles(), handles);
    // Named twice, listed once; the readable root keeps its own.
    EXPECT_EQ(PrivateOf({"C:\\work\\ws\\.supervisor", "C:\\deps\\key"}),
              (std::vector<std::string>{kSupervisor, kRunState}));
    EXPECT_EQ(PrivateOf({"C:\\work\\ws\\.supervisor", "C:\\deps\\key"}, 1),
              std::vector<std::string>{"\\\\?\\C:\\deps\\key"});
    // A read-only root keeps the controller's state private too.
    authorities[0].writable = false;
    EXPECT_EQ(PrivateOf({}), (std::vector<std::string>{kSupervisor, kRunState}));
}

// Authorities that nest (read-only runs) both keep a private path out.
TEST_F(PrivatePathsTest, PrivatePathIsKeptFromEveryAuthorityHoldingIt) {
    authorities = {{telvo::testing::PathOf(kRoot), false, true}, {telvo::testing::PathOf("\\\\?\\C:\\work\\ws\\real"), false, true}};
    auto established = Establish({"C:\\work\\ws\\real\\key"});
    ASSERT_TRUE(established) << established.error().Display();
    EXPECT_EQ((*established)[1].private_paths, std::vector{telvo::testing::PathOf("\\\\?\\C:\\work\\ws\\real\\key")});
    EXPECT_EQ((*established)[0].private_paths.front().text(), "\\\\?\\C:\\work\\ws\\real\\key");
}

TEST_F(PrivatePathsTest, RefusesPathsOutsideOrLeavingTheirAuthority) {
    EXPECT_EQ(ErrorOf(Establish({"C:\\work\\ws\\a", "relative\\b"})),
              "privatePaths[1] must be a normalized absolute local-drive path");
    EXPECT_EQ(ErrorOf(Establish({"C:\\work\\wsx"})), "private path is outside every command authority");

    Junction("C:\\work\\ws\\out", "C:\\deps");
    EXPECT_EQ(ErrorOf(Establish({"C:\\work\\ws\\out\\x"})), "private path resolves outside its authority");
    // Out through one link and back in through another.
    Junction("C:\\deps\\back", "C:\\work\\ws\\real");
    EXPECT_EQ(ErrorOf(Establish({"C:\\work\\ws\\out\\back\\x"})),
              "private path ancestor resolves outside its authority: \\\\?\\C:\\work\\ws\\out");

    // The root in another case than the file system now stores (renamed
    // since it was resolved).
    authorities[0].path = telvo::testing::PathOf("\\\\?\\C:\\work\\WS");
    EXPECT_EQ(ErrorOf(Establish({"C:\\work\\ws\\Secret"})), "private path casing does not match canonical root");
    authorities[0].path = telvo::testing::PathOf("\\\\?\\C:\\work\\gone");
    EXPECT_EQ(ErrorOf(Establish({"C:\\work\\gone\\x"})), "private path has no existing ancestor");
}

TEST_F(PrivatePathsTest, FailuresWhileResolvingNameTheirPlace) {
    FailNext("CreateFileW", 5);
    EXPECT_EQ(ErrorOf(Establish({"C:\\work\\ws\\Secret"})),
              "could not establish private-path ancestors for \\\\?\\C:\\work\\ws\\Secret: CreateFileW failed with "
              "Win32 error 5");
    // The private path itself opens; the root above it does not.
    host.faults().FailOn("CreateFileW", host.faults().Count("CreateFileW") + 2, SysError::Win32(5));
    EXPECT_EQ(ErrorOf(Establish({"C:\\work\\ws\\Secret"})),
              "could not canonicalize private path ancestor \\\\?\\C:\\work\\ws: CreateFileW failed with Win32 error 5");
}

class MaterializeTest : public PrivatePathsTest {
protected:
    MaterializeTest() {
        journal = CreateJournal(platform(), "\\\\?\\C:\\state", testing::kProfile,
                                testing::kMutex, {kRoot, "\\\\?\\C:\\deps"})
                      .value();
    }
    std::vector<std::string> Created(const JournalData& data) {
        std::vector<std::string> paths;
        for (const auto& recorded : data.created_paths) paths.push_back(recorded.path);
        return paths;
    }
    JournalRecord journal;
};

TEST_F(MaterializeTest, MissingPrivateDirectoriesOfWritableAuthoritiesAreMadeAndJournalled) {
    const auto access = Establish({"C:\\work\\ws\\Secret", "C:\\work\\ws\\a\\b", "C:\\deps\\missing"}).value();
    ASSERT_TRUE(MaterializePrivatePaths(platform(), access, journal));
    const std::vector<std::string> made{"\\\\?\\C:\\work\\ws\\a", "\\\\?\\C:\\work\\ws\\a\\b", kSupervisor,
                                        "\\\\?\\C:\\work\\ws\\.zanth", kRunState};
    EXPECT_EQ(Created(journal.data), made);
    EXPECT_EQ(Created(ReadJournalFile(platform(), journal.path).value()), made);
    for (const auto& recorded : journal.data.created_paths) {
        EXPECT_EQ(recorded.identity.file_index, IndexOf(recorded.path)) << recorded.path;
    }
    // Nothing is made in a read-only authority, and what exists stays unrecorded.
    EXPECT_FALSE(files().Lookup(u"C:\\deps\\missing"));
    ASSERT_TRUE(MaterializePrivatePaths(platform(), access, journal));
    EXPECT_EQ(journal.data.created_paths.size(), made.size());
}

TEST_F(MaterializeTest, AFailedCreationIsNamed) {
    const auto access = Establish({}).value();
    host.faults().FailOn("NtCreateFile", host.faults().Count("NtCreateFile") + 1, SysError::NtStatus(0xC0000022));
    EXPECT_EQ(MaterializePrivatePaths(platform(), access, journal).error().Display(),
              "could not materialize private path \\\\?\\C:\\work\\ws\\.supervisor: "
              "NtCreateFile(\\\\?\\C:\\work\\ws\\.supervisor) failed with NTSTATUS 0xc0000022");
    EXPECT_TRUE(journal.data.created_paths.empty());
    // A name held by a file stays a file; the path below it cannot be made.
    File("C:\\work\\ws\\.zanth");
    EXPECT_FALSE(MaterializePrivatePaths(platform(), access, journal));
    EXPECT_EQ(files().Lookup(u"C:\\work\\ws\\.zanth").value().attributes & platform::file_attribute::kDirectory, 0u);
}

// A junction planted at a missing ancestor after the private path was
// resolved: each level is made relative to the one above, and a link at a
// level is refused, not followed, so nothing appears where it points.
TEST_F(MaterializeTest, AJunctionPlantedAtAMissingAncestorIsNotFollowed) {
    const auto access = Establish({"C:\\work\\ws\\a\\b"}).value();
    Dir("C:\\elsewhere");
    ASSERT_TRUE(files().MakeJunction(u"C:\\work\\ws\\a", u"\\\\?\\C:\\elsewhere"));
    host.faults().Watch("NtCreateFile");
    const auto made = MaterializePrivatePaths(platform(), access, journal);
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().Display(),
              "could not materialize private path \\\\?\\C:\\work\\ws\\a\\b: \\\\?\\C:\\work\\ws\\a is not a "
              "plain directory");
    EXPECT_FALSE(files().Lookup(u"C:\\elsewhere\\b"));
    // The open asks not to follow a link at the name.
    for (const auto& call : host.faults().Log()) {
        EXPECT_TRUE(call.arguments.back() & platform::nt_create_option::kOpenReparsePoint);
    }
    EXPECT_FALSE(host.faults().Log().empty());
}

}  // namespace
}  // namespace telvo::windows
