#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace telvo::platform::sim {

// Virtual milliseconds. Sleeps and waits advance it instead of blocking, so a
// 60-second time-out takes no real time in a test.
class SimClock {
public:
    std::uint64_t Now() const { return now_ms_.load(); }
    void Advance(std::uint64_t milliseconds) { now_ms_ += milliseconds; }

private:
    std::atomic<std::uint64_t> now_ms_{10'000'000};
};

// How much real time a wait lets a simulated process on another OS thread
// take to act (answer on a pipe, end a transaction) before the virtual clock
// gives up the whole wait.
inline constexpr std::chrono::milliseconds kPeerRealWait{2000};

}  // namespace telvo::platform::sim
