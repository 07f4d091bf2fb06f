// The process-wide error text behind quiremark_last_error, and the functions that write it.
#pragma once
#include "text/msg.h"

namespace qm {

inline constexpr int kErrSize = kMsgSize;

// The message of the last failed call, zero-terminated; empty at load time and after a success.
// Only the exports write it; a job reports into its own message, which they copy here.
extern char g_err[kErrSize];

// Formats a printf-style message into g_err, replacing what it held, with the semantics of
// msg_set: a longer message is cut after 1023 bytes and always terminated.
void set_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Empties g_err.
void clear_error();

}  // namespace qm
