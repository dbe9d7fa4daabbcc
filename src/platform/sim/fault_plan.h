#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace telvo::platform::sim {

// Counts every seam call by name and makes chosen calls fail: "make call X
// fail with error E on its n-th use".
class FaultPlan {
public:
    // The nth use (1-based, counted over the host's whole life) of `call` fails with `error`.
    void FailOn(std::string call, std::uint64_t nth, SysError error);
    // Every use of `call` from now on fails with `error`.
    void FailAlways(std::string call, SysError error);
    void Clear();

    // Records one use of `call`; the error it must fail with, if any.
    std::optional<SysError> Enter(std::string_view call);

    std::uint64_t Count(std::string_view call) const;
    std::uint64_t Total() const;
    std::map<std::string, std::uint64_t, std::less<>> Counts() const;

private:
    struct Planned {
        std::string call;
        std::uint64_t nth;  // 0: always
        SysError error;
    };
    mutable std::mutex mutex_;
    std::map<std::string, std::uint64_t, std::less<>> counts_;
    std::vector<Planned> planned_;
    std::uint64_t total_ = 0;
};

}  // namespace telvo::platform::sim
