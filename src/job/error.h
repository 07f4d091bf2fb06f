// The process-wide error text and the one function that writes it.
#pragma once

namespace qm {

inline constexpr int kErrSize = 1024;
extern char g_err[kErrSize];

// printf-style, cut after 1023 bytes and always terminated. Only %s, %d and %ld are used, and
// numbers are formatted without the host's locale.
void set_error(const char* fmt, ...);
inline void clear_error() { g_err[0] = 0; }

}  // namespace qm
