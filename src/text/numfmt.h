// Number text for PDF output, independent of the host's C locale.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qm {

// A formatted number held in place: n characters in s, followed by a terminating zero.
struct numtext {
  char s[64];
  int n = 0;
  std::string_view view() const { return {s, static_cast<size_t>(n)}; }
};

// The real-number rule of every coordinate, size, offset and opacity written: an integral value
// that fits a 32-bit int (and is below 1e15 in magnitude) prints as a plain integer; anything else
// prints as fixed point with exactly four decimals, rounded as "%.4f" rounds. The text is cut to
// cap - 1 characters (cap is 64 for coordinates, 32 for the opacity). Always '.' as the point.
numtext fmt_num(double v, int cap = 64);

// Plain decimal integer ("%ld").
numtext fmt_int(int64_t v);

// Ten-digit zero-padded non-negative integer ("%010ld"), for cross-reference entries.
numtext fmt_int010(int64_t v);

}  // namespace qm
