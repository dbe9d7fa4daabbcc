#include "platform/sim/sim_host.h"

namespace telvo::platform::sim {

namespace {

// The process the calling OS thread acts as, on which host.
struct ThreadBinding {
    const SimHost* host = nullptr;
    SimHelperProcess* process = nullptr;
};
thread_local ThreadBinding bound;

// Ids of the processes that run the helper's code.
constexpr std::uint32_t kFirstHelperId = SimProcesses::kOwnProcessId;
constexpr std::uint32_t kHelperIdStep = 4;
// Creation times: FILETIME units (100 ns) from an arbitrary instant.
constexpr std::uint64_t kFiletimeAtClockZero = 133'000'000'000'000'000;
constexpr std::uint64_t kFiletimeUnitsPerMs = 10'000;

}  // namespace

SimHost::SimHost()
    : kernel_(*this),
      console_(*this),
      service_(*this),
      files_(*this),
      sync_(*this),
      security_(*this),
      appcontainer_(*this),
      system_(*this),
      processes_(*this),
      pipes_(*this),
      wfp_(*this),
      platform_{kernel_, console_, service_, files_, sync_, security_, appcontainer_, system_, processes_, pipes_,
                wfp_} {
    current_ = &AddHelperProcess(std::make_shared<const SimToken>(SimSecurity::DefaultToken()));
}

SimHost::~SimHost() {
    // A thread may be blocked on a standard input: the controllers' ends go
    // away with the host.
    {
        std::lock_guard lock(helpers_mutex_);
        for (const auto& helper : helpers_) helper->stdin_pipe().CloseWriter();
    }
    // Services running in processes of their own go down with the host.
    service_.EndServiceProcesses();
    processes_.JoinThreads();
}

SimHelperProcess& SimHost::AddHelperProcess(std::shared_ptr<const SimToken> token) {
    std::lock_guard lock(helpers_mutex_);
    const auto id = static_cast<std::uint32_t>(kFirstHelperId + kHelperIdStep * helpers_.size());
    helpers_.push_back(std::make_unique<SimHelperProcess>(id, std::move(token)));
    helpers_.back()->SetCreationTime(kFiletimeAtClockZero + clock_.Now() * kFiletimeUnitsPerMs);
    return *helpers_.back();
}

SimHelperProcess* SimHost::FindHelperProcess(std::uint32_t id) {
    std::lock_guard lock(helpers_mutex_);
    for (const auto& helper : helpers_) {
        if (helper->id() == id) return helper.get();
    }
    return nullptr;
}

SimHelperProcess& SimHost::caller() {
    if (bound.host == this) return *bound.process;
    std::lock_guard lock(helpers_mutex_);
    return *current_;
}

bool SimHost::CloseHelperInput(std::uint32_t id) {
    std::lock_guard lock(helpers_mutex_);
    for (const auto& helper : helpers_) {
        if (helper->id() == id) {
            helper->stdin_pipe().CloseWriter();
            return true;
        }
    }
    return false;
}

SimHelperProcess& SimHost::StartHelperProcess() { return AddHelperProcess(caller().shared_token()); }

SimHelperProcess& SimHost::StartHelperProcessAs(std::shared_ptr<const SimToken> token) {
    return AddHelperProcess(std::move(token));
}

void SimHost::KillProcess(SimHelperProcess& process) {
    faults_.Kill(process.id());
    EndProcess(process);
}

SimHost::Binding::Binding(const SimHost& host, SimHelperProcess& process)
    : previous_host_(bound.host), previous_process_(bound.process) {
    bound = ThreadBinding{&host, &process};
}

SimHost::Binding::~Binding() { bound = ThreadBinding{previous_host_, previous_process_}; }

void SimHost::EndProcess(SimHelperProcess& process) {
    sync_.AbandonMutexesOf(process.id());
    wfp_.EndSessionsOf(process.id());
    process.End();
}

void SimHost::EndCrashedProcess() { EndProcess(caller()); }

void SimHost::EndProcessAndStartNext() {
    EndProcess(caller());
    StartNewProcess();
}

SimCall::SimCall(SimHelperProcess& process, std::optional<SysError> failure)
    : process_(process), failure_(std::move(failure)) {}

SimCall::~SimCall() {
    if (process_.handles().Closed()) process_.handles().CloseAll();
    process_.CallEnds();
}

SimCall SimHost::Enter(std::string_view call, std::initializer_list<std::uint64_t> arguments) {
    SimHelperProcess& process = caller();
    process.CallBegins();
    auto failure = faults_.Enter(call, arguments, process.id());
    if (faults_.TakeCrash()) EndCrashedProcess();
    return SimCall(process, std::move(failure));
}

void SimHost::AwaitEndOfCaller() {
    SimHelperProcess& process = caller();
    if (faults_.IsDead(process.id()) || process.Ended()) (void)process.AwaitEnd(kPeerRealWait);
}

void SimHost::StartNewProcess() {
    AwaitEndOfCaller();
    faults_.ClearCrash();
    SimHelperProcess& next = AddHelperProcess(caller().shared_token());
    std::lock_guard lock(helpers_mutex_);
    current_ = &next;
}

}  // namespace telvo::platform::sim
