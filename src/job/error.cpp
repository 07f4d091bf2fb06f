// The process-wide error text and set_error, the one function that writes a message into it.
#include "job/error.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace qm {

// Static storage: empty when the library is loaded.
char g_err[kErrSize];

namespace {

// Jobs on several threads may write the text at the same time. Each byte is stored atomically, so
// concurrent writers interleave (the documented "last writer wins" behaviour) without a data race
// among themselves; readers of quiremark_last_error see plain bytes.
void store_text(const char* s, int n) {
  for (int i = 0; i < n; ++i)
    std::atomic_ref<char>(g_err[i]).store(s[i], std::memory_order_relaxed);
  std::atomic_ref<char>(g_err[n]).store(0, std::memory_order_relaxed);
}

}  // namespace

void set_error(const char* fmt, ...) {
  // Formatted into a private line first, so that an argument that points into g_err itself (a
  // message quoting the previous one) is read before it is overwritten. The conversions used by
  // the library (%s, %d, %ld) print digits without regard to the C locale.
  char line[kErrSize];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (n < 0) n = 0;
  if (n > kErrSize - 1) n = kErrSize - 1;
  store_text(line, n);
}

void clear_error() {
  std::atomic_ref<char>(g_err[0]).store(0, std::memory_order_relaxed);
}

}  // namespace qm
