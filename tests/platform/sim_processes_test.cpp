#include "platform/sim/sim_processes.h"

#include <gtest/gtest.h>

#include "platform/sim/sim_host.h"
#include "platform/unique_handle.h"
#include "winformat/little_endian.h"
#include "winformat/mandatory_label.h"

namespace telvo::platform::sim {
namespace {

constexpr std::uint32_t kLaunchFlags = creation_flag::kSuspended | creation_flag::kUnicodeEnvironment |
                                       creation_flag::kExtendedStartupInfoPresent | creation_flag::kNoWindow;

class SimProcessesTest : public ::testing::Test {
protected:
    Processes& processes() { return host.platform().processes; }

    UniqueAttributeList List(std::uint32_t count) {
        std::size_t needed = 0;
        return UniqueAttributeList(processes(), processes().InitializeProcThreadAttributeList(count, 1024, needed).value());
    }
    void Add(const UniqueAttributeList& list, std::uint32_t attribute, ProcThreadAttributeValue value) {
        ASSERT_TRUE(processes().UpdateProcThreadAttribute(list.get(), attribute, value));
    }
    Handle Inheritable(Handle handle) {
        EXPECT_TRUE(processes().SetHandleInformation(handle, handle_flag::kInherit, handle_flag::kInherit));
        return handle;
    }
    Handle Stdout() { return host.console().GetStdHandle(StdStream::output).value(); }
    Handle NewJob(std::uint32_t limit_flags = 0) {
        const Handle job = processes().CreateJobObjectW().value();
        std::vector<std::uint8_t> limits(job_layout::kExtendedLimitSize, 0);
        winformat::le::Write32(limits, job_layout::kLimitFlagsOffset, limit_flags);
        EXPECT_TRUE(processes().SetInformationJobObject(job, job_information::kExtendedLimit, limits));
        return job;
    }

    SysResult<ProcessInformation> Create(const std::u16string& command_line, std::optional<AttributeList> list,
                                         std::uint32_t flags = kLaunchFlags, bool inherit = true,
                                         std::u16string directory = u"C:\\work") {
        CreateProcessParameters parameters;
        parameters.application_name = u"C:\\Windows\\System32\\cmd.exe";
        parameters.command_line = command_line;
        parameters.inherit_handles = inherit;
        parameters.creation_flags = flags;
        parameters.environment = std::u16string(u"A=1\0B=2\0\0", 9);
        parameters.current_directory = std::move(directory);
        parameters.startup_info = {startup_info_layout::kExtendedSize, startup_flag::kUseStdHandles, kNullHandle,
                                   Stdout(), Stdout(), list};
        return processes().CreateProcessW(parameters);
    }
    std::shared_ptr<SimProcess> Process(const ProcessInformation& created) {
        return host.handles().FindAs<SimProcess>(created.process);
    }

    SimHost host;
};

TEST_F(SimProcessesTest, SuspendedChildRunsItsScriptOnlyWhenResumed) {
    host.processes().Script(u"child", {step::WriteOutput{"hello"}, step::Exit{3}, step::WriteOutput{"never"}});
    auto list = List(1);
    Add(list, proc_thread_attribute::kHandleList, std::vector<Handle>{Inheritable(Stdout())});
    const auto created = Create(u"child", list.get()).value();
    auto process = Process(created);
    ASSERT_TRUE(process);
    EXPECT_EQ(processes().GetProcessId(created.process).value(), created.process_id);
    EXPECT_EQ(process->parent_id(), SimProcesses::kOwnProcessId);
    EXPECT_EQ(process->creation_time(), host.clock().Now());
    EXPECT_EQ(process->image().environment, (std::vector<std::u16string>{u"A=1", u"B=2"}));
    EXPECT_EQ(process->image().current_directory, u"C:\\work");

    EXPECT_EQ(processes().GetExitCodeProcess(created.process).value(), kStillActive);
    EXPECT_EQ(host.kernel().WaitForSingleObject(created.thread, 0).value(), wait_result::kTimeout);
    EXPECT_EQ(host.stdout_pipe().Bytes(), "");

    EXPECT_EQ(processes().ResumeThread(created.thread).value(), 1u);
    EXPECT_EQ(host.stdout_pipe().Bytes(), "hello");
    EXPECT_EQ(processes().GetExitCodeProcess(created.process).value(), 3u);
    EXPECT_EQ(host.kernel().WaitForSingleObject(created.process, 0).value(), wait_result::kObject0);
    EXPECT_EQ(host.kernel().WaitForSingleObject(created.thread, 0).value(), wait_result::kObject0);
    EXPECT_TRUE(process->Handles().empty());  // an exited process has closed its handles
    // The script runs once; the count stays at 0.
    EXPECT_EQ(processes().ResumeThread(created.thread).value(), 0u);
    EXPECT_EQ(host.stdout_pipe().Bytes(), "hello");

    // Not suspended: it runs within the call. An exited process cannot be terminated.
    const auto running = Create(u"child", list.get(), kLaunchFlags & ~creation_flag::kSuspended).value();
    EXPECT_EQ(processes().GetExitCodeProcess(running.process).value(), 3u);
    EXPECT_EQ(processes().TerminateProcess(running.process, 1).error(), SysError::Win32(win32_error::kAccessDenied));
    // A program that does not exist.
    EXPECT_EQ(Create(u"missing", list.get()).error(), SysError::Win32(win32_error::kFileNotFound));
}

// A written step goes to the standard handle it names, resolved in the
// process's own handles.
TEST_F(SimProcessesTest, WrittenStepsGoToTheStandardHandleTheyName) {
    host.processes().Script(u"both", {step::WriteOutput{"out\n"}, step::WriteOutput{"err\n", true}, step::Exit{0}});
    const Handle error = Inheritable(host.console().GetStdHandle(StdStream::error).value());
    CreateProcessParameters parameters;
    parameters.application_name = u"C:\\Windows\\System32\\cmd.exe";
    parameters.command_line = u"both";
    parameters.inherit_handles = true;
    parameters.creation_flags = kLaunchFlags & ~creation_flag::kSuspended;
    parameters.environment = std::u16string(u"A=1\0\0", 5);
    parameters.current_directory = u"C:\\work";
    parameters.startup_info = {startup_info_layout::kExtendedSize, startup_flag::kUseStdHandles, kNullHandle,
                               Inheritable(Stdout()), error, std::nullopt};
    const auto created = processes().CreateProcessW(parameters).value();
    EXPECT_EQ(processes().GetExitCodeProcess(created.process).value(), 0u);
    EXPECT_EQ(host.stdout_pipe().Bytes(), "out\n");
    EXPECT_EQ(host.stderr_pipe().Bytes(), "err\n");
}

TEST_F(SimProcessesTest, HandleListLimitsInheritanceToExactlyTheListedHandles) {
    host.processes().Script(u"writer", {step::WriteOutput{"out"}, step::Hang{}});
    const Handle other = Inheritable(NewJob());
    Inheritable(Stdout());

    // Without a list every inheritable handle is inherited.
    auto everything = Process(Create(u"writer", std::nullopt).value());
    EXPECT_TRUE(everything->FindHandle(other));
    EXPECT_TRUE(everything->FindHandle(Stdout()));
    // Without inheritance none is.
    auto nothing = Process(Create(u"writer", std::nullopt, kLaunchFlags, false).value());
    EXPECT_TRUE(nothing->Handles().empty());

    // With a list, only the listed one; a standard handle left out of the
    // list is a dead value in the child, and its write fails.
    auto list = List(1);
    Add(list, proc_thread_attribute::kHandleList, std::vector<Handle>{other});
    const auto created = Create(u"writer", list.get()).value();
    auto limited = Process(created);
    EXPECT_EQ(limited->Handles().size(), 1u);
    EXPECT_TRUE(limited->FindHandle(other));
    ASSERT_TRUE(processes().ResumeThread(created.thread));
    EXPECT_EQ(host.stdout_pipe().Bytes(), "");
    EXPECT_EQ(limited->StepFailures(), std::vector<SysError>{SysError::Win32(win32_error::kInvalidHandle)});

    // The listed standard output is written to.
    auto with_stdout = List(1);
    Add(with_stdout, proc_thread_attribute::kHandleList, std::vector<Handle>{Stdout()});
    ASSERT_TRUE(processes().ResumeThread(Create(u"writer", with_stdout.get()).value().thread));
    EXPECT_EQ(host.stdout_pipe().Bytes(), "out");
}

TEST_F(SimProcessesTest, HandleListNeedsInheritanceAndInheritableHandles) {
    host.processes().Script(u"child", {});
    const Handle job = NewJob();
    auto list = List(1);
    Add(list, proc_thread_attribute::kHandleList, std::vector<Handle>{job});
    // The job handle is not inheritable.
    EXPECT_EQ(Create(u"child", list.get()).error(), SysError::Win32(win32_error::kInvalidParameter));
    Inheritable(job);
    EXPECT_EQ(Create(u"child", list.get(), kLaunchFlags, false).error(),
              SysError::Win32(win32_error::kInvalidParameter));
    EXPECT_TRUE(host.processes().Created().empty());

    // The other side of each unconfirmed rule: the list is ignored or the handle skipped.
    auto& assumptions = CurrentProcessAssumptions();
    const ProcessAssumptions saved = assumptions;
    assumptions.handle_list_without_inheritance_fails = false;
    assumptions.non_inheritable_listed_handle_fails = false;
    EXPECT_TRUE(Process(Create(u"child", list.get(), kLaunchFlags, false).value())->Handles().empty());
    ASSERT_TRUE(processes().SetHandleInformation(job, handle_flag::kInherit, 0));
    EXPECT_TRUE(Process(Create(u"child", list.get()).value())->Handles().empty());
    assumptions = saved;
}

TEST_F(SimProcessesTest, JobListPutsTheProcessInItsJobsBeforeItsFirstStep) {
    const Handle first = NewJob();
    const Handle second = NewJob();
    std::vector<std::size_t> jobs_seen;
    host.processes().Script(u"child", {step::HostCall{[&jobs_seen](SimProcess& process) {
                                jobs_seen.push_back(process.Jobs().size());
                            }}});
    auto list = List(1);
    Add(list, proc_thread_attribute::kJobList, std::vector<Handle>{first, second});
    const auto created = Create(u"child", list.get(), kLaunchFlags & ~creation_flag::kSuspended).value();
    EXPECT_EQ(jobs_seen, std::vector<std::size_t>{2});
    EXPECT_EQ(host.handles().FindAs<SimJob>(first)->TotalProcesses(), 1u);
    EXPECT_EQ(host.handles().FindAs<SimJob>(second)->TotalProcesses(), 1u);
    EXPECT_EQ(processes().GetExitCodeProcess(created.process).value(), 0u);  // it returned from its entry point

    // Without EXTENDED_STARTUPINFO_PRESENT the list is never read.
    const auto plain = Create(u"child", list.get(), creation_flag::kUnicodeEnvironment).value();
    EXPECT_TRUE(Process(plain)->Jobs().empty());
    // With it, the record must be the extended one.
    CreateProcessParameters short_record;
    short_record.command_line = u"child";
    short_record.creation_flags = kLaunchFlags;
    short_record.startup_info.cb = 104;
    short_record.startup_info.attribute_list = list.get();
    EXPECT_EQ(processes().CreateProcessW(short_record).error(), SysError::Win32(win32_error::kInvalidParameter));
}

TEST_F(SimProcessesTest, SecurityCapabilitiesMakeAnAppContainerTokenFromTheCreators) {
    SimToken creator_token = SimToken::InteractiveUser(winformat::Sid::Make(winformat::sid_authority::kNt, {21, 1, 2, 3, 1001}), false, false);
    creator_token.identity.enabled_privileges = {privilege::kBackup};
    host.security().SetProcessToken(creator_token);
    const TokenIdentity creator = creator_token.identity;
    TokenIdentity seen_by_step;
    host.processes().Script(u"child", {step::HostCall{[&seen_by_step](SimProcess& process) {
                                seen_by_step = process.token();
                            }}});

    const auto package = winformat::Sid::Make(winformat::sid_authority::kAppPackage, {2, 1, 2, 3, 4, 5, 6, 7});
    const auto enabled = winformat::Sid::Make(winformat::sid_authority::kAppPackage, {3, 9});
    const auto disabled = winformat::Sid::Make(winformat::sid_authority::kAppPackage, {3, 10});
    const SecurityCapabilities capabilities{package, {{enabled, group_attribute::kEnabled}, {disabled, 0}}};
    auto list = List(2);
    Add(list, proc_thread_attribute::kSecurityCapabilities, capabilities);
    Add(list, proc_thread_attribute::kAllApplicationPackagesPolicy, kAllApplicationPackagesOptOut);
    const auto created = Create(u"child", list.get()).value();
    const TokenIdentity& token = Process(created)->token();
    EXPECT_EQ(token.user, creator.user);
    EXPECT_EQ(token.groups, creator.groups);
    EXPECT_EQ(token.package, package);
    EXPECT_EQ(token.capabilities, (std::vector<TokenGroup>{{enabled, group_attribute::kEnabled}, {disabled, 0}}));
    EXPECT_EQ(token.integrity_rid, winformat::integrity_rid::kLow);
    EXPECT_TRUE(token.less_privileged);
    EXPECT_TRUE(token.enabled_privileges.empty());
    ASSERT_TRUE(processes().ResumeThread(created.thread));
    EXPECT_EQ(seen_by_step.package, package);

    // Without the policy it is an AppContainer that keeps ALL APPLICATION PACKAGES.
    auto without_policy = List(1);
    Add(without_policy, proc_thread_attribute::kSecurityCapabilities, capabilities);
    const TokenIdentity& full = Process(Create(u"child", without_policy.get()).value())->token();
    EXPECT_TRUE(full.IsAppContainer());
    EXPECT_FALSE(full.less_privileged);
    // Without the attributes the child has the creator's token.
    const TokenIdentity& plain = Process(Create(u"child", std::nullopt).value())->token();
    EXPECT_FALSE(plain.IsAppContainer());
    EXPECT_EQ(plain.integrity_rid, creator.integrity_rid);
    EXPECT_EQ(plain.enabled_privileges, creator.enabled_privileges);
}

TEST_F(SimProcessesTest, AttributeListChecksItsSizeAndEachValue) {
    std::size_t needed = 0;
    auto probe = processes().InitializeProcThreadAttributeList(4, 0, needed);
    EXPECT_EQ(probe.error(), SysError::Win32(win32_error::kInsufficientBuffer));
    EXPECT_EQ(processes().InitializeProcThreadAttributeList(4, needed - 1, needed).error(),
              SysError::Win32(win32_error::kInsufficientBuffer));
    UniqueAttributeList list(processes(), processes().InitializeProcThreadAttributeList(1, needed, needed).value());

    const std::pair<std::uint32_t, ProcThreadAttributeValue> refused[] = {
        {proc_thread_attribute::kHandleList, std::vector<Handle>{}},
        {proc_thread_attribute::kJobList, std::uint32_t{1}},
        {proc_thread_attribute::kAllApplicationPackagesPolicy, std::vector<Handle>{Stdout()}},
    };
    for (const auto& [attribute, value] : refused) {
        EXPECT_EQ(processes().UpdateProcThreadAttribute(list.get(), attribute, value).error(),
                  SysError::Win32(win32_error::kBadLength));
    }
    EXPECT_EQ(processes().UpdateProcThreadAttribute(list.get(), 0x00020000, std::uint32_t{0}).error(),
              SysError::Win32(win32_error::kNotSupported));
    Add(list, proc_thread_attribute::kAllApplicationPackagesPolicy, kAllApplicationPackagesOptOut);
    // Made for one attribute, it takes no second.
    EXPECT_EQ(processes()
                  .UpdateProcThreadAttribute(list.get(), proc_thread_attribute::kJobList, std::vector<Handle>{Stdout()})
                  .error(),
              SysError::Win32(win32_error::kGenFailure));

    // A deleted list cannot be used.
    host.processes().Script(u"child", {});
    const AttributeList deleted = processes().InitializeProcThreadAttributeList(1, needed, needed).value();
    processes().DeleteProcThreadAttributeList(deleted);
    EXPECT_EQ(Create(u"child", deleted).error(), SysError::Win32(win32_error::kInvalidParameter));

    // Every call fails on its own, by its name.
    host.faults().FailOn("UpdateProcThreadAttribute", host.faults().Count("UpdateProcThreadAttribute") + 1,
                         SysError::Win32(win32_error::kNotEnoughMemory));
    UniqueAttributeList fresh = List(1);
    EXPECT_EQ(processes().UpdateProcThreadAttribute(fresh.get(), proc_thread_attribute::kAllApplicationPackagesPolicy,
                                                    kAllApplicationPackagesOptOut)
                  .error(),
              SysError::Win32(win32_error::kNotEnoughMemory));
}

TEST_F(SimProcessesTest, KillOnCloseEndsTheChildAndTheBackgroundProcessItStarted) {
    host.processes().Script(u"background", {step::Hang{}});
    host.processes().Script(u"parent", {step::StartChild{u"background"}, step::Hang{}});
    host.processes().Script(u"leaver", {step::StartChild{u"background"}});
    const Handle job = NewJob(job_limit::kKillOnJobClose);
    auto list = List(1);
    Add(list, proc_thread_attribute::kJobList, std::vector<Handle>{job});

    // A command that starts a background process and exits leaves it in the job.
    auto leaver = Process(Create(u"leaver", list.get(), kLaunchFlags & ~creation_flag::kSuspended).value());
    auto parent = Process(Create(u"parent", list.get(), kLaunchFlags & ~creation_flag::kSuspended).value());
    EXPECT_EQ(leaver->ExitCode(), 0u);
    const auto created = host.processes().Created();
    ASSERT_EQ(created.size(), 4u);
    for (const auto& process : {created[1], created[3]}) {
        EXPECT_EQ(process->image().command_line, u"background");
        EXPECT_TRUE(process->Active());
    }
    EXPECT_EQ(created[1]->parent_id(), leaver->id());
    EXPECT_EQ(created[3]->parent_id(), parent->id());
    auto sim_job = host.handles().FindAs<SimJob>(job);
    EXPECT_EQ(sim_job->ActiveProcesses(), 3u);

    ASSERT_TRUE(host.kernel().CloseHandle(job));
    EXPECT_EQ(sim_job->ActiveProcesses(), 0u);
    for (const auto& process : {created[1], parent, created[3]}) EXPECT_EQ(process->ExitCode(), 0u);
}

TEST_F(SimProcessesTest, ProcessSurvivingTerminationExitsOnTheVirtualClock) {
    host.processes().Script(u"stubborn", {step::SurviveTermination{3000}, step::Hang{}});
    const auto created = Create(u"stubborn", std::nullopt, kLaunchFlags & ~creation_flag::kSuspended).value();
    EXPECT_EQ(host.kernel().WaitForSingleObject(created.process, 1000).value(), wait_result::kTimeout);
    ASSERT_TRUE(processes().TerminateProcess(created.process, 9));
    EXPECT_EQ(processes().GetExitCodeProcess(created.process).value(), kStillActive);
    EXPECT_EQ(host.kernel().WaitForSingleObject(created.process, 1000).value(), wait_result::kTimeout);
    const std::uint64_t before = host.clock().Now();
    EXPECT_EQ(host.kernel().WaitForSingleObject(created.process, 5000).value(), wait_result::kObject0);
    EXPECT_EQ(host.clock().Now(), before + 2000);
    EXPECT_EQ(processes().GetExitCodeProcess(created.process).value(), 9u);
}

TEST_F(SimProcessesTest, EnvironmentWithoutTheUnicodeFlagIsReadAsAnsi) {
    host.processes().Script(u"child", {});
    const auto created = Create(u"child", std::nullopt, kLaunchFlags & ~creation_flag::kUnicodeEnvironment).value();
    // "A=1" in UTF-16 reads as the strings "A", "=", "1", then the end.
    EXPECT_EQ(Process(created)->image().environment, (std::vector<std::u16string>{u"A", u"=", u"1"}));
    EXPECT_EQ(Process(created)->image().creation_flags, kLaunchFlags & ~creation_flag::kUnicodeEnvironment);
    EXPECT_EQ(Process(created)->image().std_output, Stdout());

    // Without STARTF_USESTDHANDLES the handles in the record are not the child's.
    CreateProcessParameters parameters;
    parameters.command_line = u"child";
    parameters.startup_info.std_output = Stdout();
    EXPECT_EQ(Process(processes().CreateProcessW(parameters).value())->image().std_output, kNullHandle);
}

// windows-notes 8.7a: cmd.exe takes a directory that begins with \\ for a
// UNC path, says so, and runs in the Windows directory.
TEST_F(SimProcessesTest, CommandProcessorRunsAVerbatimDirectoryInTheWindowsDirectory) {
    host.processes().Script(u"cmd", {step::WriteOutput{"ran\n"}});
    auto list = List(1);
    Add(list, proc_thread_attribute::kHandleList, std::vector<Handle>{Inheritable(Stdout())});
    const auto created = Create(u"cmd", list.get(), kLaunchFlags & ~creation_flag::kSuspended, true,
                                u"\\\\?\\C:\\work").value();
    EXPECT_EQ(Process(created)->image().current_directory, u"C:\\Windows");
    EXPECT_EQ(host.stdout_pipe().Bytes(),
              "'\\\\?\\C:\\work'\r\nCMD.EXE was started with the above path as the current directory.\r\n"
              "UNC paths are not supported.  Defaulting to Windows directory.\r\nran\n");
}

// The command line's UNICODE_STRING holds its NUL: 32766 units of text at most.
TEST_F(SimProcessesTest, CommandLineTakesItsTerminatorWithinTheLimit) {
    const std::u16string longest(32766, u'x');
    host.processes().Script(longest, {});
    host.processes().Script(longest + u"x", {});
    EXPECT_TRUE(Create(longest, std::nullopt, kLaunchFlags & ~creation_flag::kSuspended));
    EXPECT_EQ(Create(longest + u"x", std::nullopt, kLaunchFlags & ~creation_flag::kSuspended).error(),
              SysError::Win32(win32_error::kFilenameExcedRange));
}

// windows-notes 5.3: a termination through the job stops the job's count as
// it begins; the process and its handles last until it is gone. A process
// whose end had begun already stays counted, and its end signals nothing.
TEST_F(SimProcessesTest, JobCountsAProcessUntilItsTerminationThroughTheJobBegins) {
    const Handle job = NewJob();
    auto slow = host.processes().StartInJob(job, ProcessBehaviour{.exits_with = std::nullopt,
                                                                  .survives_termination_ms = 3000});
    auto ending = host.processes().StartInJob(job, ProcessBehaviour{.exits_with = std::nullopt,
                                                                    .survives_termination_ms = 2000});
    auto sim_job = host.handles().FindAs<SimJob>(job);
    ending->Terminate(7);
    EXPECT_EQ(sim_job->ActiveProcesses(), 2u);

    ASSERT_TRUE(processes().TerminateJobObject(job, 9));
    EXPECT_EQ(sim_job->ActiveProcesses(), 1u);  // the one already ending
    EXPECT_EQ(slow->ExitCode(), kStillActive);
    EXPECT_EQ(host.kernel().WaitForSingleObject(job, 5000).value(), wait_result::kTimeout);
    EXPECT_EQ(sim_job->ActiveProcesses(), 0u);
    EXPECT_EQ(slow->ExitCode(), 9u);
    EXPECT_EQ(ending->ExitCode(), 7u);

    // A termination that brings the count to zero signals the job at once,
    // though its process lasts a while longer.
    const Handle second = NewJob();
    host.processes().StartInJob(second, ProcessBehaviour{.exits_with = std::nullopt, .survives_termination_ms = 500});
    ASSERT_TRUE(processes().TerminateJobObject(second, 9));
    const std::uint64_t before = host.clock().Now();
    EXPECT_EQ(host.kernel().WaitForSingleObject(second, 0).value(), wait_result::kObject0);
    EXPECT_EQ(host.clock().Now(), before);
}

TEST_F(SimProcessesTest, TerminatingAnEmptyJobSignalsItAsTheAssumptionSays) {
    JobAssumptions& assumptions = CurrentJobAssumptions();
    const bool kept = assumptions.terminating_an_empty_job_signals;
    for (const bool signals : {true, false}) {
        assumptions.terminating_an_empty_job_signals = signals;
        const Handle job = NewJob();
        host.processes().StartInJob(job, ProcessBehaviour{.exits_with = 0, .survives_termination_ms = 0});
        ASSERT_TRUE(processes().TerminateJobObject(job, 9));
        EXPECT_EQ(host.kernel().WaitForSingleObject(job, 100).value(),
                  signals ? wait_result::kObject0 : wait_result::kTimeout);
    }
    assumptions.terminating_an_empty_job_signals = kept;
}

// windows-notes 11.4: kill-on-close acts on the last handle to the job in
// any process. A handle a process in the job inherited keeps the job, and
// every process in it, alive after its creator closed its own; the kill
// comes when that process ends and its handles close.
TEST_F(SimProcessesTest, KillOnCloseWaitsForTheLastHandleInEveryProcess) {
    host.processes().Script(u"holder", {step::Hang{}});
    host.processes().Script(u"other", {step::Hang{}});
    const Handle job = NewJob(job_limit::kKillOnJobClose);
    const auto sim_job = host.handles().FindAs<SimJob>(job);
    auto with_handle = List(2);
    Add(with_handle, proc_thread_attribute::kJobList, std::vector<Handle>{job});
    Add(with_handle, proc_thread_attribute::kHandleList, std::vector<Handle>{Inheritable(job)});
    const auto holder = Create(u"holder", with_handle.get(), kLaunchFlags & ~creation_flag::kSuspended).value();
    auto without = List(1);
    Add(without, proc_thread_attribute::kJobList, std::vector<Handle>{job});
    const auto other = Process(Create(u"other", without.get(), kLaunchFlags & ~creation_flag::kSuspended, false).value());

    ASSERT_TRUE(host.kernel().CloseHandle(job));
    EXPECT_EQ(sim_job->ActiveProcesses(), 2u);
    EXPECT_TRUE(other->Active());

    ASSERT_TRUE(processes().TerminateProcess(holder.process, 9));
    EXPECT_EQ(Process(holder)->ExitCode(), 9u);
    EXPECT_EQ(other->ExitCode(), 0u);
    EXPECT_EQ(sim_job->ActiveProcesses(), 0u);
    // The closed job takes no more processes.
    auto again = List(1);
    const Handle held = host.handles().Add(sim_job, job_access::kAll);
    Add(again, proc_thread_attribute::kJobList, std::vector<Handle>{held});
    EXPECT_EQ(Create(u"other", again.get()).error(), SysError::Win32(win32_error::kAccessDenied));
}

// windows-notes 5.4 and 11.4: a child of a process in jobs breaks away from
// its innermost job outwards, from each job that lets it: one with
// SILENT_BREAKAWAY_OK lets every child go, one with BREAKAWAY_OK only a
// child created with CREATE_BREAKAWAY_FROM_JOB; that flag where the
// innermost job allows neither fails with ERROR_ACCESS_DENIED.
TEST_F(SimProcessesTest, ChildrenBreakAwayOnlyFromJobsThatLetThem) {
    host.processes().Script(u"background", {step::Hang{}});
    host.processes().Script(u"escaper", {step::StartChild{u"background", true}, step::Hang{}});
    host.processes().Script(u"starter", {step::StartChild{u"background"}, step::Hang{}});
    const auto start_in = [&](const std::u16string& command, std::vector<Handle> jobs) {
        auto list = List(1);
        Add(list, proc_thread_attribute::kJobList, std::move(jobs));
        return Process(Create(command, list.get(), kLaunchFlags & ~creation_flag::kSuspended).value());
    };
    const auto last_child = [&] { return host.processes().Created().back(); };
    const auto jobs_of = [](const std::shared_ptr<SimProcess>& process) { return process->Jobs().size(); };

    const Handle strict = NewJob(job_limit::kKillOnJobClose);
    const auto refused = start_in(u"escaper", {strict});
    EXPECT_EQ(refused->StepFailures(), std::vector<SysError>{SysError::Win32(win32_error::kAccessDenied)});
    EXPECT_EQ(last_child(), refused);

    const Handle lenient = NewJob(job_limit::kKillOnJobClose | job_limit::kBreakawayOk);
    start_in(u"escaper", {lenient});
    EXPECT_EQ(jobs_of(last_child()), 0u);
    start_in(u"starter", {lenient});
    EXPECT_EQ(jobs_of(last_child()), 1u);

    const Handle silent = NewJob(job_limit::kSilentBreakawayOk);
    start_in(u"starter", {silent});
    EXPECT_EQ(jobs_of(last_child()), 0u);
    // Out of the inner job that lets it go, not out of the outer one that does not.
    start_in(u"starter", {strict, silent});
    ASSERT_EQ(jobs_of(last_child()), 1u);
    EXPECT_EQ(last_child()->Jobs()[0], host.handles().FindAs<SimJob>(strict));
    EXPECT_EQ(host.handles().FindAs<SimJob>(silent)->TotalProcesses(), 2u);
}

// windows-notes 10.3, 11.3 and 11.4: every handle keeps the access it was
// granted, and each call checks the right it needs: JOB_OBJECT_QUERY,
// _TERMINATE, _SET_ATTRIBUTES and _ASSIGN_PROCESS on a job,
// PROCESS_TERMINATE and a query right on a process, THREAD_SUSPEND_RESUME on
// a thread, SYNCHRONIZE for any wait.
TEST_F(SimProcessesTest, EachCallChecksTheRightItNeedsOnTheHandle) {
    host.processes().Script(u"child", {step::Hang{}});
    const Handle job = NewJob();
    EXPECT_EQ(host.handles().GrantedAccess(job), job_access::kAll);
    const Handle query_only = host.handles().Add(host.handles().Find(job), job_access::kQuery);
    std::vector<std::uint8_t> accounting(job_layout::kBasicAccountingSize);
    EXPECT_TRUE(processes().QueryInformationJobObject(query_only, job_information::kBasicAccounting, accounting));
    const SysError denied = SysError::Win32(win32_error::kAccessDenied);
    EXPECT_EQ(processes().TerminateJobObject(query_only, 1).error(), denied);
    std::vector<std::uint8_t> limits(job_layout::kExtendedLimitSize, 0);
    EXPECT_EQ(processes().SetInformationJobObject(query_only, job_information::kExtendedLimit, limits).error(), denied);
    EXPECT_EQ(host.kernel().WaitForSingleObject(query_only, 0).error(), denied);
    const Handle terminate_only = host.handles().Add(host.handles().Find(job), job_access::kTerminate);
    EXPECT_EQ(processes().QueryInformationJobObject(terminate_only, job_information::kBasicAccounting, accounting).error(),
              denied);
    auto list = List(1);
    Add(list, proc_thread_attribute::kJobList, std::vector<Handle>{terminate_only});
    EXPECT_EQ(Create(u"child", list.get()).error(), denied);

    const auto created = Create(u"child", std::nullopt).value();
    EXPECT_EQ(host.handles().GrantedAccess(created.process), process_access::kAll);
    EXPECT_EQ(host.handles().GrantedAccess(created.thread), thread_access::kAll);
    const Handle waits_only = host.handles().Add(host.handles().Find(created.process), file_access::kSynchronize);
    EXPECT_EQ(host.kernel().WaitForSingleObject(waits_only, 0).value(), wait_result::kTimeout);
    EXPECT_EQ(processes().GetExitCodeProcess(waits_only).error(), denied);
    EXPECT_EQ(processes().GetProcessId(waits_only).error(), denied);
    EXPECT_EQ(processes().TerminateProcess(waits_only, 1).error(), denied);
    EXPECT_EQ(host.platform().security.OpenProcessToken(waits_only, token_access::kQuery).error(), denied);
    const Handle limited = host.handles().Add(host.handles().Find(created.process),
                                              process_access::kQueryLimitedInformation);
    EXPECT_EQ(processes().GetExitCodeProcess(limited).value(), kStillActive);
    EXPECT_TRUE(host.platform().security.OpenProcessToken(limited, token_access::kQuery));
    const Handle thread_waits = host.handles().Add(host.handles().Find(created.thread), file_access::kSynchronize);
    EXPECT_EQ(processes().ResumeThread(thread_waits).error(), denied);
    EXPECT_EQ(Process(created)->Running(), true);

    // A mutex opened without SYNCHRONIZE cannot be waited on.
    const auto mutex = host.platform().sync.CreateMutexExW({}, false, u"Local\\rights", 0, 0x0001).value();
    EXPECT_EQ(host.kernel().WaitForSingleObject(mutex.handle, 0).error(), denied);
    EXPECT_EQ(host.handles().GrantedAccess(mutex.handle), 0x0001u);
    const auto token = host.platform().security.OpenProcessToken(kCurrentProcess, token_access::kDuplicate).value();
    std::uint32_t length = 0;
    EXPECT_EQ(host.platform().security.GetTokenInformation(token, token_information::kUser, 64, length).error(), denied);
}

}  // namespace
}  // namespace telvo::platform::sim
