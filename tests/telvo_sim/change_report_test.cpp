#include "telvo_sim/change_report.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "windows/run_fixture.h"
#include "winformat/sddl.h"

namespace telvo::telvo_sim {
namespace {

using platform::sim::SimChange;
using platform::sim::SimChangeLog;
using Kind = SimChange::Kind;

std::vector<std::uint8_t> Sd(std::string_view sddl) { return winformat::ParseSddl(sddl).value().ToSelfRelative(); }

class ChangeReportTest : public ::testing::Test {
protected:
    ChangeReportTest() { log.Start(); }
    void Note(Kind kind, std::u16string subject, std::u16string detail = {}, std::vector<std::uint8_t> before = {},
              std::vector<std::uint8_t> after = {}) {
        log.Note([&] { return SimChange(kind, subject, detail, before, after); });
    }
    // The descriptor of `path` goes through `states`, the first being the one before.
    void Descriptors(const std::u16string& path, const std::vector<std::string_view>& states) {
        for (std::size_t i = 1; i < states.size(); ++i) {
            Note(Kind::descriptor_replaced, path, {}, Sd(states[i - 1]), Sd(states[i]));
        }
    }
    SimChangeLog log;
};

TEST_F(ChangeReportTest, ComparesEachDescriptorPartAndEntryWithTheFirstState) {
    Descriptors(u"C:\\a", {"O:BAD:(A;;FA;;;BA)(A;;FR;;;BU)",
                           "O:BAD:(A;;FA;;;BA)(A;;FR;;;BU)(A;;FR;;;AC)",
                           "O:BAD:(A;;FA;;;BA)(A;;FR;;;AC)",
                           "O:SYD:P(A;;FA;;;BA)(A;;FR;;;WD)(A;;FR;;;WD)(A;;FR;;;BU)",
                           "O:BAD:P(A;;FA;;;BA)(A;;FR;;;BU)(A;;FR;;;WD)"});
    // An entry counts as often as it appears: a second copy is added, and one
    // of two copies removed.
    Descriptors(u"C:\\b", {"D:(A;;FR;;;BU)(A;;FR;;;BU)", "D:(A;;FR;;;BU)(A;;FR;;;BU)(A;;FR;;;BU)",
                           "D:(A;;FR;;;BU)"});
    EXPECT_EQ(DescribeChanges(log),
              "C:\\a\n"
              "  undone  dacl added (A;;FR;;;AC)\n"
              "  undone  dacl removed (A;;FR;;;BU)\n"
              "  undone  owner O:BA -> O:SY\n"
              "  left    dacl flags D: -> D:P\n"
              "  left    dacl added (A;;FR;;;WD)\n"
              "C:\\b\n"
              "  undone  dacl added (A;;FR;;;BU)\n"
              "  left    dacl removed (A;;FR;;;BU)\n"
              "7 changes, 4 undone, 3 left\n");
}

TEST_F(ChangeReportTest, FollowsObjectsThroughCreationRenamesAndDeletion) {
    // Made and removed again: its creation line says it all.
    Note(Kind::object_created, u"C:\\tmp", u"file", {}, Sd("O:BAD:(A;;FA;;;BA)"));
    Descriptors(u"C:\\tmp", {"O:BAD:(A;;FA;;;BA)", "O:BAD:(A;;FA;;;BA)(A;;FR;;;AC)"});
    Note(Kind::data_written, u"C:\\tmp");
    Note(Kind::object_deleted, u"C:\\tmp", u"file");
    // Made, renamed, and left: compared with what it was made with.
    Note(Kind::object_created, u"C:\\new", u"directory", {}, Sd("O:BAD:(A;;FA;;;BA)"));
    Note(Kind::object_renamed, u"C:\\new", u"C:\\kept");
    Descriptors(u"C:\\kept", {"O:BAD:(A;;FA;;;BA)", "O:BAD:(A;;FA;;;BA)(A;;FR;;;AC)"});
    // There before: renamed away and back, written twice, deleted.
    Note(Kind::object_renamed, u"C:\\r", u"C:\\r2");
    Note(Kind::object_renamed, u"C:\\r2", u"C:\\r");
    Note(Kind::data_written, u"C:\\old");
    Note(Kind::data_written, u"C:\\old");
    Note(Kind::object_deleted, u"C:\\old", u"file");
    Note(Kind::object_renamed, u"C:\\moved", u"C:\\away");
    // One temporary name used again and again.
    for (int i = 0; i < 3; ++i) {
        Note(Kind::object_created, u"C:\\j.new", u"file");
        Note(Kind::object_renamed, u"C:\\j.new", u"C:\\j");
        Note(Kind::object_deleted, u"C:\\j", u"file");
    }
    EXPECT_EQ(DescribeChanges(log),
              "C:\\tmp\n"
              "  undone  created file\n"
              "C:\\new\n"
              "  left    created directory\n"
              "  left    renamed to C:\\kept\n"
              "C:\\kept\n"
              "  left    dacl added (A;;FR;;;AC)\n"
              "C:\\r\n"
              "  undone  renamed to C:\\r2\n"
              "C:\\r2\n"
              "  undone  renamed to C:\\r\n"
              "C:\\old\n"
              "  left    data written\n"
              "  left    deleted file\n"
              "C:\\moved\n"
              "  left    renamed to C:\\away\n"
              "C:\\j.new\n"
              "  undone  created file (3 times)\n"
              "  undone  renamed to C:\\j (3 times)\n"
              "11 changes, 5 undone, 6 left\n");
}

TEST_F(ChangeReportTest, NamedObjectsHaveOneLineEach) {
    Note(Kind::profile_created, u"Telvo.Sandbox.a", u"S-1-15-2-1");
    Note(Kind::profile_deleted, u"TELVO.SANDBOX.A", u"S-1-15-2-1");
    Note(Kind::profile_deleted, u"Telvo.Sandbox.b", u"S-1-15-2-2");
    Note(Kind::mutex_created, u"Global\\lock");
    Note(Kind::mutex_destroyed, u"Global\\lock");
    Note(Kind::mutex_created, u"Global\\marker");
    Note(Kind::mutex_destroyed, u"Global\\held");
    Note(Kind::mutex_created, u"Global\\held");
    Note(Kind::registry_value_set, u"SOFTWARE\\K\\V", {}, {1}, {2});
    Note(Kind::registry_value_set, u"software\\k\\v", {}, {2}, {1});
    Note(Kind::registry_value_set, u"SOFTWARE\\K\\New", {}, {}, {1});
    Note(Kind::service_changed, u"Svc", u"installed");
    EXPECT_EQ(DescribeChanges(log),
              "profile Telvo.Sandbox.a\n"
              "  undone  created (S-1-15-2-1)\n"
              "profile Telvo.Sandbox.b\n"
              "  left    deleted (S-1-15-2-2)\n"
              "mutex Global\\lock\n"
              "  undone  created\n"
              "mutex Global\\marker\n"
              "  left    created\n"
              "mutex Global\\held\n"
              "  undone  destroyed\n"
              "registry HKLM\\SOFTWARE\\K\\V\n"
              "  undone  value set\n"
              "registry HKLM\\SOFTWARE\\K\\New\n"
              "  left    value set\n"
              "service Svc\n"
              "  left    installed\n"
              "8 changes, 4 undone, 4 left\n");
    log.Start();
    EXPECT_EQ(DescribeChanges(log), "0 changes, 0 undone, 0 left\n");
}

// Whole runs on the simulated host, recorded from the request on.
class RunChangeReportTest : public windows::testing::RunOrchestrationTest {
protected:
    std::vector<std::string> Lines(const std::string& report) {
        std::vector<std::string> lines;
        std::istringstream in(report);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // The AppContainer SID of the run's profile.
    std::string RunSid() {
        for (const auto& change : host.changes().Changes()) {
            if (change.kind == Kind::profile_created) return winformat::Utf16ToUtf8(change.detail).value();
        }
        return "(no profile)";
    }
    // The lines of the group headed `title`.
    std::vector<std::string> Group(const std::string& report, const std::string& title) {
        std::vector<std::string> group;
        bool inside = false;
        for (const auto& line : Lines(report)) {
            if (!line.starts_with("  ")) inside = line == title;
            else if (inside) group.push_back(line);
        }
        return group;
    }
};

TEST_F(RunChangeReportTest, ARunUndoesEveryEntryItAddsAndLeavesTheCommandsFile) {
    namespace step = platform::sim::step;
    Script("build", {step::File{step::File::Action::write, u"C:\\work\\ws\\out.txt", "o"}, step::Exit{3}});
    host.changes().Start();
    ASSERT_TRUE(Run("build"));
    const std::string report = DescribeChanges(host.changes());
    const std::string run_sid = RunSid();
    ASSERT_EQ(run_sid.rfind("S-1-15-2-", 0), 0u) << report;

    std::size_t added = 0;
    for (const auto& line : Lines(report)) {
        // The state directory, made by this first run, stays narrowed to the user.
        if (line.find("dacl added") == std::string::npos || line.find(run_sid) == std::string::npos) continue;
        ++added;
        EXPECT_TRUE(line.starts_with("  undone  ")) << line;
    }
    EXPECT_GE(added, 3u) << report;  // the workspace, its file and the metadata entry on C:\work
    // The command's file stays; the sandbox's entries it was created with are
    // removed, and that stays too.
    const auto out = Group(report, "C:\\work\\ws\\out.txt");
    ASSERT_FALSE(out.empty()) << report;
    EXPECT_EQ(out.front(), "  left    created file") << report;
    for (std::size_t i = 1; i < out.size(); ++i) {
        EXPECT_TRUE(out[i].starts_with("  left    dacl removed (A;ID;")) << out[i];
        EXPECT_TRUE(out[i].ends_with(run_sid + ") (created with it)")) << out[i];
    }
    EXPECT_GE(out.size(), 2u) << report;
    EXPECT_EQ(Group(report, "C:\\work"),
              std::vector<std::string>{"  undone  dacl added (A;;0x120088;;;" + run_sid + ")"})
        << report;
    EXPECT_NE(report.find("  undone  created (" + run_sid + ")\n"), std::string::npos) << report;
    EXPECT_TRUE(report.ends_with(" left\n")) << report;

    // Whatever puts an entry back after the run is left.
    auto aces = AcesOf("C:\\work\\ws");
    aces.push_back(windows::testing::Ace::Allowed(0x1200A9, winformat::ParseSddlSid(run_sid).value()));
    PlantDacl("C:\\work\\ws", aces, winformat::sd_control::kDaclAutoInherited);
    const auto workspace = Group(DescribeChanges(host.changes()), "C:\\work\\ws");
    EXPECT_NE(std::find(workspace.begin(), workspace.end(), "  left    dacl added (A;;0x1200a9;;;" + run_sid + ")"),
              workspace.end())
        << DescribeChanges(host.changes());
}

TEST_F(RunChangeReportTest, ARunThatDefersItsCleanupLeavesItsJournalAndEntries) {
    namespace step = platform::sim::step;
    // A background process that has begun to end itself and takes a minute
    // to go: the job counts it until it is gone.
    host.processes().Script(u"stubborn", {step::SurviveTermination{60000},
                                          step::HostCall{[](platform::sim::SimProcess& self) { self.Terminate(0); }}});
    Script("build", {step::StartChild{u"stubborn"}, step::Exit{0}});
    host.changes().Start();
    ASSERT_FALSE(Run("build"));
    const std::string report = DescribeChanges(host.changes());
    const std::string run_sid = RunSid();
    const std::string journal = "C:\\Users\\tester\\AppData\\Local\\TelvoSandboxState-v1\\Telvo.Sandbox.";
    bool journal_left = false;
    bool entry_left = false;
    for (const auto& line : Lines(report)) {
        if (line.starts_with("  left    renamed to " + journal) && line.ends_with(".json")) journal_left = true;
        if (line.starts_with("  left    dacl added ") && line.find(run_sid) != std::string::npos) entry_left = true;
    }
    EXPECT_TRUE(journal_left) << report;
    EXPECT_TRUE(entry_left) << report;
    EXPECT_NE(report.find("  left    created (" + run_sid + ")\n"), std::string::npos) << report;
}

}  // namespace
}  // namespace telvo::telvo_sim
