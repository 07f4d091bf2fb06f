// The message of a failed step: one line of text, formatted by the step that knows the context.
#pragma once
#include <cstdarg>

namespace qm {

// Room of a message, the terminating zero included: a message keeps at most 1023 bytes.
inline constexpr int kMsgSize = 1024;

// A zero-terminated message; empty when nothing failed. A step that fails writes one message
// into the record its caller hands it; the first failure ends the call, so the text names it.
// When the failure is a system call's (a file that cannot be opened, read or written), sys_errno
// keeps that call's errno, for callers that say why in the system's words; else it is 0.
struct msg {
  char text[kMsgSize] = {};
  int sys_errno = 0;
};

// Formats a printf-style message into m, replacing what it held (sys_errno becomes 0; a failed
// system call's step sets it after), with vsnprintf semantics: a
// longer message is cut after 1023 bytes and always terminated. Only %s, %d and %ld are used, and
// they print numbers without regard to the host's locale.
void msg_set(msg& m, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void msg_vset(msg& m, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));

// Empties m.
inline void msg_clear(msg& m) {
  m.text[0] = 0;
  m.sys_errno = 0;
}

}  // namespace qm
