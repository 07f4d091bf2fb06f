// The process-wide error text and set_error, the one function that writes a message into it.
#include "job/error.h"

#include <atomic>
#include <cstdarg>

namespace qm {

// Static storage: empty when the library is loaded.
char g_err[kErrSize];

namespace {

// Jobs on several threads may write the text at the same time. Each byte is stored atomically, so
// concurrent writers interleave (the documented "last writer wins" behaviour) without a data race
// among themselves; readers of quiremark_last_error see plain bytes.
void store_text(const char* s) {
  int n = 0;
  for (; s[n] != 0; ++n) std::atomic_ref<char>(g_err[n]).store(s[n], std::memory_order_relaxed);
  std::atomic_ref<char>(g_err[n]).store(0, std::memory_order_relaxed);
}

}  // namespace

void set_error(const char* fmt, ...) {
  // Formatted into a private message first (an argument may point into g_err itself).
  msg m;
  va_list ap;
  va_start(ap, fmt);
  msg_vset(m, fmt, ap);
  va_end(ap);
  store_text(m.text);
}

void clear_error() {
  std::atomic_ref<char>(g_err[0]).store(0, std::memory_order_relaxed);
}

}  // namespace qm
