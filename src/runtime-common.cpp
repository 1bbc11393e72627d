// The runtime calls that every platform's C library makes alike: strtoll
// and stdio.
#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>

#include "runtime.h"

namespace rt {

bool scan_i64(const char* text, int64_t* value, const char** rest) {
  char* end = nullptr;
  errno = 0;
  const long long number = strtoll(text, &end, 10);
  if (end == text || errno == ERANGE) return false;
  *value = number;
  *rest = end;
  return true;
}

// What reaches standard output is not examined: a message that cannot be
// printed has nowhere else to go.
void print_text(const char* text) { static_cast<void>(fputs(text, stdout)); }

void print_i64(int64_t value) { static_cast<void>(printf("%" PRId64, value)); }

void flush_output() { static_cast<void>(fflush(stdout)); }

}  // namespace rt
