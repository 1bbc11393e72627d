// Signed 64-bit products and differences that report overflow instead of
// wrapping, with the builtins of GCC and Clang, the compilers that build the
// tool.
#ifndef DRAVLET_CHECKED_H_
#define DRAVLET_CHECKED_H_

#include <stdint.h>

namespace checked {

// Sets *product to a * b and returns true when it fits in 64 bits; returns
// false, leaving *product alone, when it does not.
inline bool multiply(int64_t a, int64_t b, int64_t* product) {
  int64_t result = 0;
  if (__builtin_mul_overflow(a, b, &result)) return false;
  *product = result;
  return true;
}

// Sets *difference to a - b and returns true when it fits in 64 bits.
inline bool subtract(int64_t a, int64_t b, int64_t* difference) {
  int64_t result = 0;
  if (__builtin_sub_overflow(a, b, &result)) return false;
  *difference = result;
  return true;
}

}  // namespace checked

#endif  // DRAVLET_CHECKED_H_
