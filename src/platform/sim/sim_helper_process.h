#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/sim/handle_table.h"
#include "platform/sim/sim_object.h"
#include "platform/sim/sim_stdio.h"
#include "platform/sim/sim_token.h"

namespace telvo::platform::sim {

// A simulated process that runs the helper's own code through the seam: its
// id, its token, its handle table and its standard streams (pipes whose other
// ends the test holds). The seam's calls act as the process that the calling
// OS thread is bound to (SimHost::Bind), or else as the host's current one.
// A simulated thread is one OS thread acting for one such process: mutex
// ownership belongs to that pair, so a process that ends abandons what its
// threads held even though the OS thread that ran it goes on.
class SimHelperProcess {
public:
    SimHelperProcess(std::uint32_t id, std::shared_ptr<const SimToken> token);
    SimHelperProcess(const SimHelperProcess&) = delete;
    SimHelperProcess& operator=(const SimHelperProcess&) = delete;

    std::uint32_t id() const { return id_; }
    HandleTable& handles() { return handles_; }
    // The token is replaced only by a test, between seam calls.
    const SimToken& token() const { return *shared_token(); }
    std::shared_ptr<const SimToken> shared_token() const;
    void SetToken(std::shared_ptr<const SimToken> token);

    SimInputStream& stdin_pipe() { return *stdin_; }
    SimOutputStream& stdout_pipe() { return *stdout_; }
    SimOutputStream& stderr_pipe() { return *stderr_; }
    Handle StdHandle(StdStream stream) const;
    void SetStdHandle(StdStream stream, Handle handle);

    // The environment it was started with, "NAME=value" entries: what the
    // calls that expand %-variables for their caller read. A controller's
    // process usually hands down SystemDrive and SystemRoot; a test may set
    // anything.
    std::vector<std::u16string> Environment() const;
    void SetEnvironment(std::vector<std::u16string> entries);

    // The full path of the program it runs (QueryFullProcessImageNameW).
    std::u16string ImagePath() const;
    void SetImagePath(std::u16string path);

    // ExitProcess: the first code is kept; false when the process had ended already.
    bool SetExitCode(std::uint32_t code);
    std::optional<std::uint32_t> ExitCode() const;

    // The process is gone: a read of standard input that it had pending
    // ends, and its handles close; then it counts as ended (its process
    // object is signalled), as Windows signals a process once its handle
    // table has run down.
    void End();
    bool Ended() const;
    // Seam calls made as this process, from entry to return.
    void CallBegins();
    void CallEnds();
    // Waits in real time, up to `limit`, until it has ended and none of its
    // calls is under way any more; whether that came.
    bool AwaitEnd(std::chrono::milliseconds limit) const;
    // Its creation time as GetProcessTimes reports it (a FILETIME value).
    std::uint64_t creation_time() const { return creation_time_; }
    void SetCreationTime(std::uint64_t filetime) { creation_time_ = filetime; }

private:
    const std::uint32_t id_;
    HandleTable handles_;
    std::shared_ptr<SimInputStream> stdin_;
    std::shared_ptr<SimOutputStream> stdout_;
    std::shared_ptr<SimOutputStream> stderr_;
    mutable std::mutex mutex_;
    mutable std::condition_variable ended_changed_;
    std::shared_ptr<const SimToken> token_;
    std::map<StdStream, Handle> std_handles_;
    std::optional<std::uint32_t> exit_code_;
    std::u16string image_path_ = u"C:\\Users\\alice\\telvo-windows-sandbox.exe";
    bool ended_ = false;
    std::size_t calls_under_way_ = 0;
    std::uint64_t creation_time_ = 0;
    std::vector<std::u16string> environment_{u"SystemDrive=C:", u"SystemRoot=C:\\Windows"};
};

// What OpenProcess gives of a helper process: signalled once it has ended.
class SimHelperProcessObject final : public SimWaitable {
public:
    explicit SimHelperProcessObject(SimHelperProcess& process) : process_(process) {}
    SimHelperProcess& process() const { return process_; }
    std::optional<std::uint32_t> TryWait() override;

private:
    SimHelperProcess& process_;
};

}  // namespace telvo::platform::sim
