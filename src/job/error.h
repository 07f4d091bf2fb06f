// The process-wide error text and the functions that write it.
#pragma once

namespace qm {

inline constexpr int kErrSize = 1024;

// The message of the last failed call, zero-terminated; empty at load time and after a success.
extern char g_err[kErrSize];

// Formats a printf-style message into g_err, replacing what it held, with vsnprintf semantics: a
// longer message is cut after 1023 bytes and always terminated. Only %s, %d and %ld are used, and
// they print numbers without regard to the host's locale.
void set_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Empties g_err.
void clear_error();

}  // namespace qm
