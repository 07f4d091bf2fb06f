// Number text for PDF output: the real-number rule and plain integers, independent of the locale.
#include "text/numfmt.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace qm {

namespace {

// Copies text into a numtext, cut to cap - 1 characters as a bounded snprintf cuts it.
numtext make(const char* s, size_t n, int cap) {
  numtext r;
  if (cap < 1) cap = 1;
  if (cap > static_cast<int>(sizeof r.s)) cap = static_cast<int>(sizeof r.s);
  if (n > static_cast<size_t>(cap - 1)) n = static_cast<size_t>(cap - 1);
  std::memcpy(r.s, s, n);
  r.s[n] = 0;
  r.n = static_cast<int>(n);
  return r;
}

}  // namespace

numtext fmt_num(double v, int cap) {
  // Integral values that a 32-bit int holds print as integers. The range test comes before the
  // truncation, so NaN, the infinities and large values never reach the conversion; they, and every
  // value with a fraction, print in fixed point with four decimals.
  if (v > -2147483649.0 && v < 2147483648.0) {
    const auto i = static_cast<int32_t>(v);
    if (v == static_cast<double>(i) && std::fabs(v) < 1e15) {
      char t[16];
      auto res = std::to_chars(t, t + sizeof t, i);
      return make(t, static_cast<size_t>(res.ptr - t), cap);
    }
  }
  // The longest fixed text of a double is "-" plus 309 digits, the point and four decimals.
  char t[400];
  auto res = std::to_chars(t, t + sizeof t, v, std::chars_format::fixed, 4);
  if (res.ec != std::errc()) return make("", 0, cap);
  return make(t, static_cast<size_t>(res.ptr - t), cap);
}

numtext fmt_int(int64_t v) {
  char t[24];
  auto res = std::to_chars(t, t + sizeof t, v);
  return make(t, static_cast<size_t>(res.ptr - t), 64);
}

numtext fmt_int010(int64_t v) {
  // "%010ld": at least ten characters, zeros between the sign and the digits.
  char digits[24];
  const uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  auto res = std::to_chars(digits, digits + sizeof digits, mag);
  const size_t nd = static_cast<size_t>(res.ptr - digits);
  char t[32];
  size_t n = 0;
  if (v < 0) t[n++] = '-';
  const size_t width = 10 - n;
  for (size_t k = nd; k < width; ++k) t[n++] = '0';
  std::memcpy(t + n, digits, nd);
  n += nd;
  return make(t, n, 64);
}

}  // namespace qm
