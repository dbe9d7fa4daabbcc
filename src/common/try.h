#pragma once

// Early return of an error from a std::expected-returning expression.
#define TELVO_CONCAT_INNER(a, b) a##b
#define TELVO_CONCAT(a, b) TELVO_CONCAT_INNER(a, b)

#define TELVO_TRY_ASSIGN_IMPL(holder, target, expression)                       \
    auto holder = (expression);                                                 \
    if (!holder) return std::unexpected(std::move(holder.error()));            \
    target = std::move(*holder)

// TELVO_TRY_ASSIGN(auto name, expression) or TELVO_TRY_ASSIGN(existing, expression).
#define TELVO_TRY_ASSIGN(target, expression) \
    TELVO_TRY_ASSIGN_IMPL(TELVO_CONCAT(telvo_result_, __LINE__), target, expression)

// For expressions whose value is void (or ignored).
#define TELVO_TRY(expression)                                                        \
    do {                                                                             \
        auto telvo_status = (expression);                                            \
        if (!telvo_status) return std::unexpected(std::move(telvo_status.error()));  \
    } while (false)
