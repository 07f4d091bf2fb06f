// Formatting a message into its record.
#include "text/msg.h"

#include <cstdio>

namespace qm {

void msg_vset(msg& m, const char* fmt, va_list ap) {
  // Formatted into a private line first, so that an argument that points into m itself (a
  // message quoting the previous one) is read before it is overwritten. The conversions used by
  // the library (%s, %d, %ld) print digits without regard to the C locale.
  char line[kMsgSize];
  int n = std::vsnprintf(line, sizeof line, fmt, ap);
  if (n < 0) n = 0;
  if (n > kMsgSize - 1) n = kMsgSize - 1;
  for (int i = 0; i < n; ++i) m.text[i] = line[i];
  m.text[n] = 0;
  m.sys_errno = 0;
}

void msg_set(msg& m, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  msg_vset(m, fmt, ap);
  va_end(ap);
}

}  // namespace qm
