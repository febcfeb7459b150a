// Whether the tests run under AddressSanitizer, which slows every read
// about tenfold: time bounds widen there and only catch a search gone back
// to a stream call per byte.
#pragma once

namespace mendtest {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif
#else
constexpr bool kUnderSanitizer = false;
#endif

}  // namespace mendtest
