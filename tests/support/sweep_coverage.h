#pragma once

// How much of a sweep over seam calls a test binary takes. Natively every
// point takes a few milliseconds, and a sweep takes every point. Under the
// sanitizers the same point takes many times longer: there a sweep takes a
// sample, and the native suite covers every point.

namespace telvo::testing {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSweepEveryPoint = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSweepEveryPoint = false;
#else
inline constexpr bool kSweepEveryPoint = true;
#endif
#else
inline constexpr bool kSweepEveryPoint = true;
#endif

}  // namespace telvo::testing
