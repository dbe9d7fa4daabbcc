#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/error.h"

namespace telvo {

// The one loop behind every size-probing Windows call (security descriptors,
// token information, final paths, registry values). `query` is handed a
// zeroed buffer of the size asked for and returns what the call said:
// nothing when the data fitted, the newly needed size when it grew between
// the calls, or an error. Each size is bounded by the caller inside `query`
// or before the first call. After `attempts` sized calls that each found the
// data grown, the probe fails with `changed_message`.
//
// Returns the buffer that held the data; its size (in elements: bytes, or
// UTF-16 units for text) is the last size asked for.
template <class Element = std::uint8_t, class Query>
Result<std::vector<Element>> ProbeSized(std::size_t size, int attempts, const std::string& changed_message,
                                        Query&& query) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        std::vector<Element> buffer(size, Element{});
        Result<std::optional<std::size_t>> outcome = query(buffer);
        if (!outcome) return std::unexpected(std::move(outcome.error()));
        if (!outcome->has_value()) return buffer;
        size = **outcome;
    }
    return std::unexpected(Error(changed_message));
}

// The number of sized calls a probe makes before it gives up.
inline constexpr int kSizeProbeAttempts = 3;

}  // namespace telvo
