#pragma once

#include <atomic>
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

}  // namespace telvo::platform::sim
