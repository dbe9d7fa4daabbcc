#include "platform/sim/sim_host.h"

namespace telvo::platform::sim {

SimHost::SimHost()
    : stdin_(std::make_shared<SimInputStream>()),
      stdout_(std::make_shared<SimOutputStream>()),
      stderr_(std::make_shared<SimOutputStream>()),
      kernel_(*this),
      console_(*this),
      service_(*this),
      files_(*this),
      sync_(*this),
      security_(*this),
      appcontainer_(*this),
      system_(*this),
      processes_(*this),
      pipes_(*this),
      platform_{kernel_, console_, service_, files_, sync_, security_, appcontainer_, system_, processes_, pipes_} {
    console_.SetStdHandle(StdStream::input, handles_.Add(stdin_));
    console_.SetStdHandle(StdStream::output, handles_.Add(stdout_));
    console_.SetStdHandle(StdStream::error, handles_.Add(stderr_));
}

SimHost::~SimHost() = default;

void SimHost::EndCrashedProcess() {
    sync_.AbandonOwnedMutexes();
    // A read of standard input that the dead process had pending ends.
    stdin_->CloseWriter();
    handles_.CloseAll();
}

void SimHost::StartNewProcess() {
    faults_.ClearCrash();
    stdin_ = std::make_shared<SimInputStream>();
    stdout_ = std::make_shared<SimOutputStream>();
    stderr_ = std::make_shared<SimOutputStream>();
    console_.SetStdHandle(StdStream::input, handles_.Add(stdin_));
    console_.SetStdHandle(StdStream::output, handles_.Add(stdout_));
    console_.SetStdHandle(StdStream::error, handles_.Add(stderr_));
}

}  // namespace telvo::platform::sim
