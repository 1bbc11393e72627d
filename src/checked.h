// Signed 64-bit products and differences that report overflow instead of
// wrapping. GCC and Clang have builtins for it; other compilers (MSVC) get
// the portable forms, which the tests check against the builtins.
#ifndef DRAVLET_CHECKED_H_
#define DRAVLET_CHECKED_H_

#include <stdint.h>

namespace checked {

// Sets *product to a * b and returns true when it fits in 64 bits; returns
// false, leaving *product alone, when it does not.
inline bool portable_multiply(int64_t a, int64_t b, int64_t* product) {
  if (a > 0 ? (b > 0 ? a > INT64_MAX / b : b < INT64_MIN / a)
            : (b > 0 ? a < INT64_MIN / b : a != 0 && b < INT64_MAX / a)) {
    return false;
  }
  *product = a * b;
  return true;
}

// Sets *difference to a - b and returns true when it fits in 64 bits.
inline bool portable_subtract(int64_t a, int64_t b, int64_t* difference) {
  if (b > 0 ? a < INT64_MIN + b : a > INT64_MAX + b) return false;
  *difference = a - b;
  return true;
}

#if defined(__GNUC__) || defined(__clang__)
inline bool multiply(int64_t a, int64_t b, int64_t* product) {
  int64_t result = 0;
  if (__builtin_mul_overflow(a, b, &result)) return false;
  *product = result;
  return true;
}

inline bool subtract(int64_t a, int64_t b, int64_t* difference) {
  int64_t result = 0;
  if (__builtin_sub_overflow(a, b, &result)) return false;
  *difference = result;
  return true;
}
#else
inline bool multiply(int64_t a, int64_t b, int64_t* product) { return portable_multiply(a, b, product); }
inline bool subtract(int64_t a, int64_t b, int64_t* difference) { return portable_subtract(a, b, difference); }
#endif

}  // namespace checked

#endif  // DRAVLET_CHECKED_H_
