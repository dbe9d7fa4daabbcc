#include "process/sandbox_launch.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "launch_fixture.h"
#include "network_broker/broker_test_host.h"
#include "support/local_path_of.h"

namespace telvo::process {
namespace {

using testing::kProcessor;
using testing::LaunchTest;
namespace sim = platform::sim;
namespace attribute = platform::proc_thread_attribute;

constexpr char kNotAppContainer[] = "sandbox child token is not AppContainer; command not resumed";
constexpr char kWrongSid[] = "sandbox child AppContainer SID does not match the run; command not resumed";

std::u16string EnvironmentEntries(const std::u16string& block) {
    std::u16string joined;
    for (char16_t unit : block) joined += unit == u'\0' ? u'|' : unit;
    return joined;
}

TEST_F(LaunchTest, OnlineCommandRunsSuspendedInTheJobAsALessPrivilegedAppContainer) {
    Script("echo hi", {sim::step::Exit{3}});
    host.faults().Watch("CreateProcessW");
    const std::size_t handles = OpenHandles();
    const platform::Handle output = StdOut();

    auto launched = Launch("echo hi");
    ASSERT_TRUE(launched) << launched.error().Display();
    EXPECT_EQ(*launched, 3);
    EXPECT_EQ(Output(), "ran\n");

    // At the seam: the exact creation and the four attributes in their order.
    ASSERT_EQ(processes.creations.size(), 1u);
    const platform::CreateProcessParameters& created = processes.creations[0];
    EXPECT_EQ(created.application_name, kProcessor);
    EXPECT_EQ(created.command_line, u"\"C:\\Windows\\System32\\cmd.exe\" /d /s /c \"echo hi\"");
    EXPECT_TRUE(created.inherit_handles);
    EXPECT_EQ(created.creation_flags, 0x08080404u);
    // The drive-letter form: cmd.exe would take \\?\C:\... for a UNC path.
    EXPECT_EQ(created.current_directory, u"C:\\work\\ws");
    EXPECT_EQ(created.environment, environment.block);
    EXPECT_EQ(created.startup_info.cb, 112u);
    EXPECT_EQ(created.startup_info.flags, 0x100u);
    EXPECT_EQ(created.startup_info.std_output, output);
    EXPECT_EQ(created.startup_info.std_error, output);
    const platform::Handle null_input = created.startup_info.std_input;
    EXPECT_TRUE(platform::IsUsable(null_input));
    ASSERT_EQ(processes.attributes.size(), 4u);
    EXPECT_EQ(processes.attributes[0].first, attribute::kSecurityCapabilities);
    const auto& security_capabilities = std::get<platform::SecurityCapabilities>(processes.attributes[0].second);
    EXPECT_EQ(security_capabilities.app_container_sid, sid);
    ASSERT_EQ(security_capabilities.capabilities.size(), capabilities.sids().size());
    for (std::size_t i = 0; i < capabilities.sids().size(); ++i) {
        EXPECT_EQ(security_capabilities.capabilities[i].sid, capabilities.sids()[i]);
        EXPECT_EQ(security_capabilities.capabilities[i].attributes, platform::group_attribute::kEnabled);
    }
    EXPECT_EQ(processes.attributes[1].first, attribute::kAllApplicationPackagesPolicy);
    EXPECT_EQ(std::get<std::uint32_t>(processes.attributes[1].second), 1u);
    EXPECT_EQ(processes.attributes[2].first, attribute::kHandleList);
    EXPECT_EQ(std::get<std::vector<platform::Handle>>(processes.attributes[2].second),
              (std::vector<platform::Handle>{null_input, output}));
    EXPECT_EQ(processes.attributes[3].first, attribute::kJobList);
    EXPECT_EQ(std::get<std::vector<platform::Handle>>(processes.attributes[3].second),
              std::vector<platform::Handle>{job->handle()});
    EXPECT_EQ(host.faults().Log().at(0).arguments, (std::vector<std::uint64_t>{1, 0x08080404, 112, 0x100}));

    // What the child became: an AppContainer process of the run, in the job,
    // holding exactly the two handles, with its own environment.
    const auto child = LastChild();
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->token().package, sid);
    EXPECT_TRUE(child->token().less_privileged);
    EXPECT_EQ(child->Jobs().size(), 1u);
    EXPECT_EQ(child->image().std_input, null_input);
    EXPECT_EQ(EnvironmentEntries(environment.block).find(u"PATH=C:\\Windows\\System32;C:\\Windows;C:\\work\\ws|"),
              EnvironmentEntries(environment.block).find(u"PATH="));
    EXPECT_EQ(child->image().environment.size(), std::size(kChildVariables));

    // Afterwards: the job drained, every handle the launch opened closed,
    // and standard output no longer inheritable.
    EXPECT_EQ(ActiveInJob(), 0u);
    EXPECT_EQ(OpenHandles(), handles);
    EXPECT_EQ(FlagsOf(output) & platform::handle_flag::kInherit, 0u);
}

// The child inherits the null device as its standard input: reading it ends at once.
TEST_F(LaunchTest, CommandsStandardInputIsAtItsEnd) {
    std::optional<SysResult<std::uint32_t>> read;
    std::size_t held = 0;
    Script("more", {sim::step::HostCall{[&](sim::SimProcess& process) {
               held = process.Handles().size();
               auto device = std::dynamic_pointer_cast<sim::SimNullDevice>(process.FindHandle(process.image().std_input));
               if (device) read = device->Read(16);
           }}});
    ASSERT_TRUE(Launch("more")) << ErrorOf(Launch("more"));
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->value(), 0u);
    EXPECT_EQ(held, 2u);
}

TEST_F(LaunchTest, CommandLineOfTheLongestLengthIsLaunchedAndOneUnitMoreNeverCreated) {
    const std::size_t frame = CommandLine("").size();
    // A character outside the BMP takes two UTF-16 units (and four UTF-8 bytes).
    // The limit counts the terminating NUL.
    const std::string longest = std::string(kMaxCommandLineUnits - 1 - frame - 2, 'x') + "\xF0\x9F\x98\x80";
    ASSERT_EQ(CommandLine(longest).size(), kMaxCommandLineUnits - 1);
    Script(longest);
    auto launched = Launch(longest);
    ASSERT_TRUE(launched) << launched.error().Display();

    const std::size_t handles = OpenHandles();
    const auto opens = host.faults().Count("CreateFileW");
    EXPECT_EQ(ErrorOf(Launch(longest + "x")), "Windows command line exceeds 32767 UTF-16 code units");
    EXPECT_EQ(processes.creations.size(), 1u);
    // The processor was looked up; the null device was never opened.
    EXPECT_EQ(host.faults().Count("CreateFileW"), opens + 1);
    EXPECT_EQ(OpenHandles(), handles);
}

TEST(LaunchWorkingDirectory, IsTheDriveLetterFormAndFitsACurrentDirectory) {
    EXPECT_EQ(LaunchWorkingDirectory(telvo::testing::PathOf("\\\\?\\C:\\work\\ws")).value(), u"C:\\work\\ws");
    EXPECT_EQ(LaunchWorkingDirectory(telvo::testing::PathOf("c:\\work")).value(), u"C:\\work");
    EXPECT_EQ(LaunchWorkingDirectory(telvo::testing::PathOf("\\\\?\\D:\\")).value(), u"D:\\");
    // 258 units, and the trailing backslash Windows adds: MAX_PATH - 1.
    const std::string deepest = "C:\\" + std::string(kMaxWorkingDirectoryUnits - 4, 'd');
    EXPECT_EQ(LaunchWorkingDirectory(telvo::testing::PathOf("\\\\?\\" + deepest)).value().size(), kMaxWorkingDirectoryUnits - 1);
    EXPECT_EQ(LaunchWorkingDirectory(telvo::testing::PathOf(deepest + "d")).error().Display(),
              "cwd exceeds the 258 UTF-16 code units of a Windows current directory");
}

TEST_F(LaunchTest, QuotesInTheCommandArePassedUnchanged) {
    const std::string command = "echo \"a b\" \"\" \\\"";
    Script(command);
    ASSERT_TRUE(Launch(command)) << ErrorOf(Launch(command));
    EXPECT_EQ(processes.creations.at(0).command_line,
              u"\"C:\\Windows\\System32\\cmd.exe\" /d /s /c \"echo \"a b\" \"\" \\\"\"");
}

class ChildIdentity : public LaunchTest {
protected:
    // The launch fails before the command runs: the child is dead and never resumed.
    void ExpectKilledUnresumed(const Result<std::int32_t>& launched, const std::string& message) {
        EXPECT_EQ(ErrorOf(launched), message);
        ASSERT_NE(LastChild(), nullptr);
        EXPECT_FALSE(LastChild()->Active());
        EXPECT_EQ(LastChild()->ExitCode(), kLaunchFailedExitCode);
        EXPECT_EQ(host.faults().Count("ResumeThread"), 0u);
        EXPECT_EQ(Output(), "");
        EXPECT_EQ(ActiveInJob(), 0u);
    }
};

TEST_F(ChildIdentity, ChildThatIsNoAppContainerIsKilledUnresumed) {
    Script("echo hi");
    security.rewrite = [](std::uint32_t information_class, auto& answer, std::uint32_t&) {
        if (information_class == platform::token_information::kIsAppContainer && answer) answer->bytes = {0, 0, 0, 0};
    };
    ExpectKilledUnresumed(Launch("echo hi"), kNotAppContainer);
}

TEST_F(ChildIdentity, ChildOfAnotherAppContainerIsKilledUnresumed) {
    Script("echo hi");
    const auto foreign = identity::DeriveProfileSid(host.platform().appcontainer,
                                                    "Telvo.Sandbox.ffffffffffffffffffffffffffffffff")
                             .value();
    security.rewrite = [&](std::uint32_t information_class, auto& answer, std::uint32_t&) {
        if (information_class == platform::token_information::kAppContainerSid && answer) {
            answer->bytes.assign(foreign.bytes().begin(), foreign.bytes().end());
        }
    };
    ExpectKilledUnresumed(Launch("echo hi"), kWrongSid);
}

TEST_F(ChildIdentity, AppContainerSidAnswerTooShortForItsSidIsRefused) {
    Script("echo hi");
    security.rewrite = [](std::uint32_t information_class, auto& answer, std::uint32_t& length) {
        if (information_class == platform::token_information::kAppContainerSid && answer) length -= 4;
    };
    ExpectKilledUnresumed(Launch("echo hi"), "invalid sandbox child AppContainer SID information length");
}

TEST_F(ChildIdentity, TokenQueriesThatFailAreNamed) {
    Script("echo hi");
    FailNext("OpenProcessToken", 5);
    ExpectKilledUnresumed(Launch("echo hi"), "OpenProcessToken(sandbox child) failed with Win32 error 5");
}

TEST_F(ChildIdentity, ChildThatCanReachMoreThanThePolicyIsKilledUnresumed) {
    Script("echo hi");
    Dir("C:\\work\\ro");
    authorities.push_back(windows::AuthorityAccess{telvo::testing::PathOf("\\\\?\\C:\\work\\ro"), false, {}});
    ExpectKilledUnresumed(Launch("echo hi"),
                          "sandbox filesystem access verification failed; command not resumed: actual sandbox token "
                          "does not match access policy for \\\\?\\C:\\work\\ro (mask 0x0)");
}

// Without a broker client an offline run fails closed.
TEST_F(ChildIdentity, OfflineRunWithoutTheBrokerIsNeverResumed) {
    Script("echo hi");
    ExpectKilledUnresumed(Launch("echo hi", false),
                          "offline-network protection unavailable; command not resumed: offline network service is not "
                          "installed; run telvo runtime windows-sandbox prepare --network from an Administrator terminal");
}

TEST_F(ChildIdentity, OfflineRunWhoseRegistrationIsRefusedIsNeverResumed) {
    network_broker::testing::InstallOfflineService(host);
    const auto server = network_broker::testing::ServeBrokerResult(host, network_broker::ErrorResult{"no filters"});
    Script("echo hi");
    ExpectKilledUnresumed(Launch("echo hi", false),
                          "offline-network protection unavailable; command not resumed: offline-network broker: no "
                          "filters");
    EXPECT_NE(server->received().find("\"operation\":\"register\""), std::string::npos);
}

// Offline, the command runs only under a registered lease, which is given
// back once its job is empty.
TEST_F(LaunchTest, OfflineRunHoldsALeaseWhileItsCommandRuns) {
    network_broker::testing::InstallOfflineService(host);
    const auto registration = network_broker::testing::ServeBrokerResult(
        host, network_broker::RegisteredResult{"6f1c0a52-8c1e-4d4e-9a1b-0c2d3e4f5a6b", {1, 2, 3, 4}});
    const auto release = network_broker::testing::ServeBrokerResult(host, network_broker::ReleasedResult{});
    Script("echo hi", {platform::sim::step::WriteOutput{"hi\r\n"}, platform::sim::step::Exit{3}});
    auto launched = Launch("echo hi", false);
    ASSERT_TRUE(launched) << ErrorOf(launched);
    EXPECT_EQ(*launched, 3);
    EXPECT_EQ(Output(), "ran\nhi\r\n");
    const std::string registered = registration->received();
    EXPECT_NE(registered.find("\"processId\":" + std::to_string(LastChild()->id())), std::string::npos) << registered;
    EXPECT_NE(release->received().find("\"operation\":\"release\""), std::string::npos);
    EXPECT_NE(release->received().find("6f1c0a52-8c1e-4d4e-9a1b-0c2d3e4f5a6b"), std::string::npos);
}

TEST_F(LaunchTest, ALeaseThatCannotBeGivenBackIsRetainedAndSaysSo) {
    network_broker::testing::InstallOfflineService(host);
    const auto registration = network_broker::testing::ServeBrokerResult(
        host, network_broker::RegisteredResult{"6f1c0a52-8c1e-4d4e-9a1b-0c2d3e4f5a6b", {1, 2, 3, 4}});
    const auto release = network_broker::testing::ServeBrokerResult(host, network_broker::ErrorResult{"busy"});
    // Listening already while the run ends: a second attempt would reach it.
    const auto later = network_broker::testing::ServeBrokerResult(host, network_broker::ReleasedResult{});
    Script("echo hi", {platform::sim::step::WriteOutput{"hi\r\n"}, platform::sim::step::Exit{0}});
    EXPECT_EQ(ErrorOf(Launch("echo hi", false)),
              "command completed but offline-network lease cleanup failed; protection retained: offline-network "
              "broker: busy");
    EXPECT_EQ(Output(), "ran\nhi\r\n");  // the command did run
    // That one attempt was reported: nothing asks the broker again unseen.
    EXPECT_FALSE(later->connected());
}

// A drain that fails does not keep the lease by itself: the release, which
// proves the job empty first, is made once and its outcome reported; the
// drain's failure stays on the job for the run's teardown.
TEST_F(LaunchTest, AfterAFailedDrainTheLeaseIsReleasedOnceAndTheOutcomeReported) {
    network_broker::testing::InstallOfflineService(host);
    const auto registration = network_broker::testing::ServeBrokerResult(
        host, network_broker::RegisteredResult{"6f1c0a52-8c1e-4d4e-9a1b-0c2d3e4f5a6b", {1, 2, 3, 4}});
    const auto release = network_broker::testing::ServeBrokerResult(host, network_broker::ReleasedResult{});
    Script("echo hi", {platform::sim::step::Exit{4}});
    host.faults().FailOn("TerminateJobObject", host.faults().Count("TerminateJobObject") + 1, SysError::Win32(5));
    auto launched = Launch("echo hi", false);
    ASSERT_TRUE(launched) << ErrorOf(launched);
    EXPECT_EQ(*launched, 4);
    EXPECT_NE(release->received().find("\"operation\":\"release\""), std::string::npos);
    EXPECT_EQ(JobTerminationFailures(*job), std::vector<std::string>{"TerminateJobObject failed with Win32 error 5"});

}

TEST_F(LaunchTest, ControllerGoneBeforeCreationCancelsTheLaunch) {
    Script("echo hi");
    const std::size_t handles = OpenHandles();
    gone->store(true);
    EXPECT_EQ(ErrorOf(Launch("echo hi")), "sandbox launch cancelled because the controller closed stdin");
    EXPECT_TRUE(processes.creations.empty());
    EXPECT_EQ(OpenHandles(), handles);
}

// Each failure on the way to the creation: its own message, no process, and
// standard output's flags as they were (here protected from closing).
TEST_F(LaunchTest, InheritFlagsComeBackOnEveryPathToCreation) {
    Script("echo hi");
    const platform::Handle output = StdOut();
    ASSERT_TRUE(host.platform().processes.SetHandleInformation(output, platform::handle_flag::kProtectFromClose,
                                                              platform::handle_flag::kProtectFromClose));
    const std::uint32_t before = FlagsOf(output);
    struct Case {
        const char* call;
        std::uint64_t nth;
        std::uint32_t code;
        const char* message;
    };
    const Case cases[] = {
        {"GetHandleInformation", 1, 6, "GetHandleInformation failed with Win32 error 6"},
        {"GetHandleInformation", 2, 6, "GetHandleInformation failed with Win32 error 6"},
        {"SetHandleInformation", 1, 5, "SetHandleInformation failed with Win32 error 5"},
        {"SetHandleInformation", 2, 5, "SetHandleInformation failed with Win32 error 5"},
        {"InitializeProcThreadAttributeList", 1, 87, "InitializeProcThreadAttributeList(size) failed with Win32 error 87"},
        {"InitializeProcThreadAttributeList", 2, 8, "InitializeProcThreadAttributeList failed with Win32 error 8"},
        {"UpdateProcThreadAttribute", 1, 24, "UpdateProcThreadAttribute(SECURITY_CAPABILITIES) failed with Win32 error 24"},
        {"UpdateProcThreadAttribute", 2, 24,
         "UpdateProcThreadAttribute(ALL_APPLICATION_PACKAGES_POLICY) failed with Win32 error 24"},
        {"UpdateProcThreadAttribute", 3, 24, "UpdateProcThreadAttribute(HANDLE_LIST) failed with Win32 error 24"},
        {"UpdateProcThreadAttribute", 4, 24, "UpdateProcThreadAttribute(JOB_LIST) failed with Win32 error 24"},
        {"CreateProcessW", 1, 2, "CreateProcessW(AppContainer) failed with Win32 error 2"},
        {"CreateFileW", 1, 5,
         "system command processor is unavailable at C:\\Windows\\System32\\cmd.exe: CreateFileW failed with Win32 "
         "error 5"},
        {"CreateFileW", 2, 5, "CreateFileW(NUL) failed with Win32 error 5"},
    };
    for (const Case& planted : cases) {
        const std::size_t handles = OpenHandles();
        host.faults().FailOn(planted.call, host.faults().Count(planted.call) + planted.nth,
                             SysError::Win32(planted.code));
        EXPECT_EQ(ErrorOf(Launch("echo hi")), planted.message) << planted.call << " " << planted.nth;
        EXPECT_EQ(FlagsOf(output), before) << planted.call << " " << planted.nth;
        EXPECT_EQ(OpenHandles(), handles) << planted.call << " " << planted.nth;
        host.faults().Clear();
    }
    EXPECT_TRUE(host.processes().Created().empty());
    EXPECT_EQ(Output(), "");
    // A launch that goes through leaves them as they were too.
    ASSERT_TRUE(Launch("echo hi"));
    EXPECT_EQ(FlagsOf(output), before);
}

// A child created while a flag could not be put back is killed unresumed;
// the other handle's flag is put back all the same.
TEST_F(ChildIdentity, FlagThatCannotBePutBackFailsTheLaunch) {
    Script("echo hi");
    const platform::Handle output = StdOut();
    host.faults().FailOn("SetHandleInformation", host.faults().Count("SetHandleInformation") + 4, SysError::Win32(6));
    ExpectKilledUnresumed(Launch("echo hi"), "SetHandleInformation failed with Win32 error 6");
    EXPECT_EQ(FlagsOf(output) & platform::handle_flag::kInherit, 0u);
}

// A launch that panicked while it held the handle-inheritance lock leaves
// the lock poisoned for every later launch of the process.
TEST_F(LaunchTest, PanicUnderTheInheritanceLockPoisonsIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Script("echo hi");
            host.faults().OnCall("CreateProcessW", host.faults().Count("CreateProcessW") + 1,
                                 [] { throw std::runtime_error("panic"); });
            try {
                (void)Launch("echo hi");
            } catch (const std::runtime_error&) {
            }
            const bool poisoned =
                ErrorOf(Launch("echo hi")) == "sandbox handle inheritance lock was poisoned";
            std::exit(poisoned ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Every seam call of one launch failed in turn: one error (or a harmless
// failure after the command ended), no handle left open, no process left
// running, and a child that never ran whenever the message says so.
TEST(LaunchFaultSweep, EachCallFailingOnceLeavesNothingBehind) {
    struct Host : LaunchTest {
        void TestBody() override {}
        using LaunchTest::ActiveInJob, LaunchTest::FlagsOf, LaunchTest::host, LaunchTest::job, LaunchTest::Launch,
            LaunchTest::OpenHandles, LaunchTest::Output, LaunchTest::Script, LaunchTest::StdOut;
    };
    std::map<std::string, std::uint64_t, std::less<>> calls;
    {
        Host reference;
        reference.Script("echo hi");
        const auto before = reference.host.faults().Counts();
        ASSERT_TRUE(reference.Launch("echo hi"));
        for (const auto& [call, count] : reference.host.faults().Counts()) {
            const auto found = before.find(call);
            const std::uint64_t used = count - (found == before.end() ? 0 : found->second);
            if (used > 0) calls[call] = used;
        }
    }
    ASSERT_GT(calls.size(), 10u);
    std::size_t planted = 0;
    for (const auto& [call, used] : calls) {
        for (std::uint64_t nth = 1; nth <= used; ++nth, ++planted) {
            const std::string where = call + " #" + std::to_string(nth);
            Host run;
            run.Script("echo hi");
            const platform::Handle output = run.StdOut();
            const std::uint32_t flags = run.FlagsOf(output);
            const std::size_t handles = run.OpenHandles();
            auto& faults = run.host.faults();
            faults.FailOn(call, faults.Count(call) + nth, SysError::Win32(31));
            const auto resumes = faults.Count("ResumeThread");

            auto launched = run.Launch("echo hi");
            faults.Clear();
            const bool resumed = faults.Count("ResumeThread") > resumes && !(call == "ResumeThread");
            if (!resumed) {
                EXPECT_EQ(run.Output(), "") << where;
            }
            if (!launched) {
                if (launched.error().Display().find("command not resumed") != std::string::npos) {
                    EXPECT_FALSE(resumed) << where;
                }
            } else {
                // Only a close or a release, or the drain after the command
                // ended, may fail unnoticed here: the drain's failure is
                // listed on the job for the run to report. The tick count
                // cannot fail.
                EXPECT_TRUE(call == "CloseHandle" || call == "ReleaseMutex" || call == "DeleteProcThreadAttributeList" ||
                            call == "GetTickCount64" || (resumed && !JobTerminationFailures(*run.job).empty()))
                    << where;
            }
            if (call != "CloseHandle") {
                EXPECT_EQ(run.OpenHandles(), handles) << where;
            }
            if (call != "SetHandleInformation" || launched) {
                EXPECT_EQ(run.FlagsOf(output), flags) << where;
            }
            if (run.ActiveInJob() != 0) {
                // Only when the kill itself failed: the child is still
                // suspended, and the run's own drain takes it.
                EXPECT_FALSE(resumed) << where;
                EXPECT_FALSE(JobTerminationFailures(*run.job).empty()) << where;
                EXPECT_TRUE(TerminateAndDrainJob(*run.job, kLaunchFailedExitCode)) << where;
            }
        }
    }
    EXPECT_GT(planted, 50u);
}

}  // namespace
}  // namespace telvo::process
