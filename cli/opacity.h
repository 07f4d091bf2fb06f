// The value of --opacity as typed: decimal digits with an optional fraction, from 0 to 1, read
// the same under every locale and converted to the float nearest the decimal value.
#pragma once
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace qmcli {

namespace opacity_detail {

// A non-negative integer of any size, in 32-bit limbs, least significant first.
using big = std::vector<uint32_t>;

inline void mul_add(big& a, uint32_t m, uint32_t add) {
  uint64_t carry = add;
  for (uint32_t& limb : a) {
    const uint64_t v = uint64_t{limb} * m + carry;
    limb = static_cast<uint32_t>(v);
    carry = v >> 32;
  }
  if (carry) a.push_back(static_cast<uint32_t>(carry));
}

inline void trim(big& a) {
  while (!a.empty() && a.back() == 0) a.pop_back();
}

// -1, 0 or 1 as a is less than, equal to or greater than b (both trimmed).
inline int compare(const big& a, const big& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (size_t i = a.size(); i-- > 0;)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

// a -= b, where a >= b.
inline void subtract(big& a, const big& b) {
  int64_t borrow = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    int64_t v = int64_t{a[i]} - borrow - (i < b.size() ? int64_t{b[i]} : 0);
    borrow = v < 0;
    a[i] = static_cast<uint32_t>(v + (borrow << 32));
  }
  trim(a);
}

inline bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace opacity_detail

// The float nearest to the decimal number `n / 10^k` for 0 < n < 10^k (ties to even), found by
// long division in base 2: exact whatever the number of digits, so "0.35" gives the same float
// as the literal 0.35f.
inline float nearest_float_below_one(opacity_detail::big n, const opacity_detail::big& pow10) {
  using namespace opacity_detail;
  // Bits of n / 10^k after the binary point, one at a time: double the remainder, and the bit
  // is 1 when it reaches the divisor.
  uint32_t mant = 0;  // the significant bits collected so far
  int bits = 0;       // how many of them
  int exp = 0;        // the value so far is mant * 2^-exp
  const int kMantBits = 24;
  const int kMinExp = 149;  // the smallest float is 2^-149
  while (bits < kMantBits && exp < kMinExp) {
    mul_add(n, 2, 0);
    ++exp;
    const bool bit = compare(n, pow10) >= 0;
    if (bit) subtract(n, pow10);
    if (bits > 0 || bit) {
      mant = mant << 1 | (bit ? 1u : 0u);
      ++bits;
    }
  }
  // Round to nearest with what remains: twice the remainder against the divisor.
  mul_add(n, 2, 0);
  const int half = compare(n, pow10);
  if (half > 0 || (half == 0 && (mant & 1))) ++mant;  // may become 2^24: still exact as a float
  return std::ldexp(static_cast<float>(mant), -exp);
}

// The opacity written as `text`, or nothing when the text is not decimal digits with an optional
// fraction ("0", ".5", "0.25", "1.0") or its value is above 1. No sign, exponent, hexadecimal,
// white space or decimal comma; "1." (a point with no digits after it) is refused too.
inline std::optional<float> parse_opacity(std::string_view text) {
  using namespace opacity_detail;
  const size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view frac =
      point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
  if (point != std::string_view::npos && frac.empty()) return std::nullopt;
  if (whole.empty() && frac.empty()) return std::nullopt;
  for (char c : whole)
    if (!is_digit(c)) return std::nullopt;
  for (char c : frac)
    if (!is_digit(c)) return std::nullopt;
  // The integer part may only be 0 or 1 (leading zeros allowed); after 1 only zeros.
  const size_t lead = whole.find_first_not_of('0');
  const bool one = lead != std::string_view::npos;
  if (one && whole.substr(lead) != "1") return std::nullopt;
  const bool frac_zero = frac.find_first_not_of('0') == std::string_view::npos;
  if (one) {
    if (!frac_zero) return std::nullopt;
    return 1.0f;
  }
  if (frac_zero) return 0.0f;
  big n, pow10{1};
  for (char c : frac) {
    mul_add(n, 10, static_cast<uint32_t>(c - '0'));
    mul_add(pow10, 10, 0);
  }
  trim(n);
  return nearest_float_below_one(std::move(n), pow10);
}

}  // namespace qmcli
