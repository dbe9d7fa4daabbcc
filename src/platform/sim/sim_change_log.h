#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace telvo::platform::sim {

// One change to the simulated host's state, as the host made it.
struct SimChange {
    enum class Kind : std::uint8_t {
        // A name was added: `subject` is its path, `detail` what it names
        // ("directory", "file", "junction", "symbolic link", "hard link"),
        // `after` its descriptor (empty for a hard link, which shares one).
        object_created,
        // A name was removed: `subject`, `detail` as above.
        object_deleted,
        // `subject` was renamed to `detail`.
        object_renamed,
        // The descriptor of `subject` went from `before` to `after`
        // (self-relative bytes).
        descriptor_replaced,
        // Data of the file `subject` was written or truncated.
        data_written,
        // An AppContainer profile: `subject` its name, `detail` its SID.
        profile_created,
        profile_deleted,
        // A named mutex came into being, or went away with its last handle.
        mutex_created,
        mutex_destroyed,
        // A machine registry value `subject` (key\value) went from `before`
        // (empty when it did not exist) to `after`.
        registry_value_set,
        // The service `subject` was installed (`detail` "installed") or its
        // state or configuration replaced (`detail` "changed").
        service_changed,
        // A filter came into the filtering engine's committed state or left
        // it: `subject` its filter id (decimal), `before` its key (the 16
        // bytes of the GUID), `after` its provider data.
        wfp_filter_added,
        wfp_filter_deleted,
    };
    SimChange(Kind kind_, std::u16string subject_, std::u16string detail_ = {},
              std::vector<std::uint8_t> before_ = {}, std::vector<std::uint8_t> after_ = {})
        : kind(kind_),
          subject(std::move(subject_)),
          detail(std::move(detail_)),
          before(std::move(before_)),
          after(std::move(after_)) {}

    Kind kind;
    std::u16string subject;
    std::u16string detail;
    std::vector<std::uint8_t> before;
    std::vector<std::uint8_t> after;
};

// What every process on the host changes, in order, from Start() on. Each
// kind of state records its changes at the one place where it changes them
// (the file tree, the profiles, the mutexes, the registry, the service
// manager); seam calls and the sandboxed command's own steps therefore land
// here alike. Off by default: a change then costs one flag check, and
// nothing of the change is even put together.
class SimChangeLog {
public:
    // Forgets what was recorded and records from now on.
    void Start();
    // Stops recording and keeps what was recorded.
    void Stop();
    bool started() const { return started_.load(std::memory_order_acquire); }

    // Records what `make` puts together, only while started. `make` runs
    // outside the log's lock; it may read what the caller's own locks guard.
    template <class Make>
    void Note(Make&& make) {
        if (started()) Append(std::forward<Make>(make)());
    }

    // Everything recorded, in the order it happened.
    std::vector<SimChange> Changes() const;

private:
    void Append(SimChange change);

    std::atomic<bool> started_{false};
    mutable std::mutex mutex_;
    std::vector<SimChange> changes_;
};

}  // namespace telvo::platform::sim
