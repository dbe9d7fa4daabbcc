#include "telvo_sim/sim_session.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "common/try.h"
#include "main/process_entry.h"
#include "platform/sim/seam_calls.h"
#include "telvo_sim/change_report.h"
#include "telvo_sim/host_file.h"
#include "telvo_sim/offline_service.h"
#include "telvo_sim/sim_options.h"
#include "windows/acl_mutation_lock.h"
#include "windows/state_directory.h"
#include "winformat/text.h"

namespace telvo::telvo_sim {

namespace {

// FNV-1a of the host file's bytes.
std::uint64_t HostFileSeed(std::string_view text) {
    std::uint64_t hash = 0xcbf29ce484222325;
    for (const char byte : text) hash = (hash ^ static_cast<std::uint8_t>(byte)) * 0x100000001b3;
    return hash;
}


namespace sim = platform::sim;

Result<std::string> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Fail(std::strerror(errno));
    std::string text;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxHostFileSize) {
            return Fail("larger than " + std::to_string(kMaxHostFileSize) + " bytes");
        }
    }
    if (in.bad()) return Fail(std::strerror(errno));
    return text;
}

Result<void> WriteWholeFile(const std::string& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (out) out.close();
    if (!out) return Fail("could not write " + path + ": " + std::strerror(errno));
    return {};
}

// The host and the mutexes other processes hold on it, shared with the
// thread that feeds standard input, which may outlive the session.
struct SharedHost {
    LoadedHost loaded;
    sim::SimHost& host() { return *loaded.host; }
};

// Copies the real standard input into the helper process's, as it arrives;
// the helper's input ends when the real one does.
void FeedInput(const std::shared_ptr<SharedHost>& shared, sim::SimInputStream& input,
               const std::function<std::string()>& read_input) {
    input.HoldOpen();
    std::thread([shared, &input, read_input] {
        for (;;) {
            const std::string bytes = read_input();
            if (bytes.empty()) break;
            input.Append(bytes);
        }
        input.CloseWriter();
    }).detach();
}

class Session {
public:
    Session(const SimOptions& options, const SimStreams& streams) : options_(options), streams_(streams) {}

    int Run() {
        auto shared = Load();
        if (!shared) return Refuse(shared.error().Display());
        sim::SimHost& host = (*shared)->host();
        // The service's process ends before the session does, whatever happens.
        const std::unique_ptr<sim::SimHost, void (*)(sim::SimHost*)> service_end(&host, [](sim::SimHost* ended) {
            EndOfflineService(*ended);
        });
        std::vector<std::u16string> arguments;
        for (const std::string& argument : options_.helper_arguments) {
            auto wide = winformat::Utf8ToUtf16(argument);
            if (!wide) return Refuse("a helper argument is not UTF-8 text");
            arguments.push_back(std::move(*wide));
        }
        host.console().SetArguments(std::move(arguments));
        Plan(host);

        sim::SimHelperProcess& helper = host.caller();
        helper.stdout_pipe().Mirror(streams_.write_output);
        helper.stderr_pipe().Mirror([write_error = streams_.write_error](std::string_view bytes) {
            write_error(bytes);
            return true;
        });
        FeedInput(*shared, helper.stdin_pipe(), streams_.read_input);

        const std::uint32_t exit_code = app::ProcessEntry(host.platform());
        const bool died = host.CallerIsDead();
        // Its threads are joined once the service has gone: a dead process's
        // threads change nothing, and the service's go on running.
        if (died) {
            host.AwaitEndOfCaller();
        } else {
            host.EndProcessAndStartNext();
        }
        host.faults().ClearCrash();
        // The service sweeps the leases of the ended process before the
        // state is written: a lease left behind would read back as retained.
        if (auto settled = SettleOfflineService(host); !settled) {
            streams_.write_error("telvo-sim: " + settled.error().Display() + "\n");
        }

        const int written = WriteOutputs(**shared);
        if (written != 0) return written;
        if (died) {
            streams_.write_error("telvo-sim: the helper process died after its seam call " +
                                 std::to_string(*options_.crash_after) + "\n");
            return kExitHelperDied;
        }
        // A point past the end of the run is known only once the run has ended.
        if (!ReportUnreached(host)) return kExitUsage;
        return static_cast<int>(exit_code);
    }

private:
    Result<std::shared_ptr<SharedHost>> Load() {
        std::string text(DefaultHostFile());
        std::string name = "(built-in)";
        if (options_.host_file) {
            name = *options_.host_file;
            auto read = ReadWholeFile(name);
            if (!read) return Fail("cannot read host file " + name + ": " + read.error().Display());
            text = std::move(*read);
        }
        auto loaded = ReadHostFile(text);
        if (!loaded) return Fail(std::move(loaded.error()).Context("host file " + name));
        auto shared = std::make_shared<SharedHost>();
        shared->loaded = std::move(*loaded);
        // Windows never hands out the same random bytes twice: a run on the
        // state an earlier run left draws from a sequence of its own, so
        // that it does not make the earlier run's profile name again.
        if (options_.host_file) shared->host().system().SeedRandom(HostFileSeed(text));
        return shared;
    }

    int Refuse(const std::string& message) {
        streams_.write_error("telvo-sim: " + message + "\n");
        return kExitUsage;
    }

    // The planned failures count the helper's uses of a call from here on.
    void Plan(sim::SimHost& host) {
        sim::FaultPlan& faults = host.faults();
        // The plan is the helper's: the service's calls beside it do not count.
        faults.CountOnly(host.caller().id());
        for (const PlannedFailure& failure : options_.failures) {
            faults.FailOn(failure.call, faults.Count(failure.call) + failure.nth, failure.error);
            planned_base_.push_back(faults.Count(failure.call));
        }
        if (options_.calls_out) faults.WatchAll();
        if (options_.changes != ChangesFormat::none) host.changes().Start();
        calls_before_ = faults.Total();
        if (options_.crash_after) faults.CrashAfter(*options_.crash_after);
    }

    // Each planned point that the run did not reach, on standard error;
    // false when there was one.
    bool ReportUnreached(sim::SimHost& host) {
        sim::FaultPlan& faults = host.faults();
        bool all_reached = true;
        for (std::size_t i = 0; i < options_.failures.size(); ++i) {
            const PlannedFailure& failure = options_.failures[i];
            const std::uint64_t uses = faults.Count(failure.call) - planned_base_[i];
            if (uses >= failure.nth) continue;
            all_reached = false;
            streams_.write_error("telvo-sim: --fail " + failure.call + ":" + std::to_string(failure.nth) +
                                 " was not reached: the helper used " + failure.call + " " + std::to_string(uses) +
                                 " time(s)\n");
        }
        if (options_.crash_after) {
            all_reached = false;
            streams_.write_error("telvo-sim: --crash-after " + std::to_string(*options_.crash_after) +
                                 " was not reached: the helper made " + std::to_string(faults.Total() - calls_before_) +
                                 " seam call(s)\n");
        }
        return all_reached;
    }

    int WriteOutputs(SharedHost& shared) {
        sim::SimHost& host = shared.host();
        sim::FaultPlan& faults = host.faults();
        if (options_.changes != ChangesFormat::none) {
            host.changes().Stop();
            // The helper keeps its state directory and its lock file between runs.
            const std::u16string state_directory = host.system().LocalAppData() + u"\\" +
                                                   winformat::Utf8ToUtf16(windows::kStateDirectoryName).value();
            const std::vector<std::u16string> meant_to_stay{
                state_directory,
                state_directory + u"\\" + winformat::Utf8ToUtf16(windows::kAclMutationLockFile).value()};
            streams_.write_error(options_.changes == ChangesFormat::json
                                     ? DescribeChangesAsJson(host.changes(), meant_to_stay)
                                     : DescribeChanges(host.changes(), meant_to_stay));
        }
        if (options_.calls_out) {
            std::string calls;
            for (const auto& call : faults.Log()) calls += call.call + "\n";
            if (auto written = WriteWholeFile(*options_.calls_out, calls); !written) {
                return CannotWrite(written.error().Display());
            }
        }
        if (options_.state_out) {
            auto state = WriteHostFile(host);
            if (!state) return CannotWrite(std::move(state.error()).Context("the host's state").Display());
            if (auto written = WriteWholeFile(*options_.state_out, *state); !written) {
                return CannotWrite(written.error().Display());
            }
        }
        return 0;
    }

    int CannotWrite(const std::string& message) {
        streams_.write_error("telvo-sim: " + message + "\n");
        return kExitCannotWrite;
    }

    const SimOptions& options_;
    const SimStreams& streams_;
    std::vector<std::uint64_t> planned_base_;
    std::uint64_t calls_before_ = 0;
};

}  // namespace

int RunTelvoSim(const std::vector<std::string>& arguments, const SimStreams& streams) {
    auto options = ParseSimOptions(arguments);
    if (!options) {
        streams.write_error("telvo-sim: " + options.error().Display() + "\n" + kUsage);
        return kExitUsage;
    }
    if (options->help) {
        (void)streams.write_output(std::string(kUsage) + "\n" + kHelp);
        return 0;
    }
    if (options->list_calls) {
        std::string names;
        for (const std::string_view call : platform::sim::SeamCalls()) names += std::string(call) + "\n";
        (void)streams.write_output(names);
        return 0;
    }
    return Session(*options, streams).Run();
}

}  // namespace telvo::telvo_sim
