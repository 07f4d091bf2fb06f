// Lexical scanning of PDF text in place, without tokens or allocation.
//
// The lexical rules these primitives implement (ISO 32000-1, 7.2):
//   white space     NUL, TAB, LF, FF, CR and SPACE, nothing else (VT is not white space);
//   keyword         a run of bytes that stands as a whole token: the bytes on either side of it,
//                   where they exist, are not ASCII letters or digits ("1 0 obj<<" and "endobj%"
//                   hold keywords, "xref2" and "Xtrailer" do not);
//   name key        "/" and the name's bytes, not followed by a letter, digit, "+", "-" or "_"
//                   ("/Length" is not found in "/Length1", "/Type" is found in "/Type/Page");
//   comment         "%" up to the next CR or LF;
//   literal string  "(" ... ")" with balanced parentheses inside and "\" escaping the next byte;
//   hex string      "<" ... ">" where the "<" is not doubled;
//   dictionary      "<<" ... ">>", which nest;
//   integer         optional white space, an optional "-" (read_int_adv also takes "+"), decimal
//                   digits, read in wrapping 32-bit arithmetic;
//   object header   "N G obj": the object number, the generation number and the keyword;
//   reference       "N G R", where "R" ends the text or is followed by a byte that is not a
//                   letter or digit.
// Positions are signed 32-bit offsets from the first byte of the text; every end bound is
// exclusive and no byte at or past it is read.
#include "text/scan.h"

#include <algorithm>
#include <cstring>

namespace qm {

namespace {

bool same(const char* t, int64_t p, std::string_view s) {
  // The first byte alone settles most comparisons, without a call.
  return s.empty() || (t[p] == s[0] && std::memcmp(t + p + 1, s.data() + 1, s.size() - 1) == 0);
}

// The bytes at which find_name_top's walk has something to do: everything else is passed over
// in a tight loop.
struct top_stops {
  bool at[256] = {};
  constexpr top_stops() {
    for (unsigned char c : {'%', '(', '<', '>', '/'}) at[c] = true;
  }
};
constexpr top_stops kTopStops;

// A name key "/name" at slash position p, with the text ending at `end`: the bytes match and the
// name does not go on past them.
bool name_at(const char* t, int64_t p, int64_t end, std::string_view name) {
  const int64_t stop = p + 1 + static_cast<int64_t>(name.size());
  if (stop > end || t[p] != '/' || !same(t, p + 1, name)) return false;
  return stop == end || !is_name_cont(static_cast<unsigned char>(t[stop]));
}

// The decimal digits from q, read in wrapping 32-bit arithmetic into *v; the position after
// them (q itself when there are none).
pos_t read_digits(const char* t, pos_t q, pos_t end, uint32_t* v) {
  uint32_t x = 0;
  while (q < end && is_digit(byte_at(t, q))) {
    x = x * 10u + static_cast<uint32_t>(t[q] - '0');
    ++q;
  }
  *v = x;
  return q;
}

}  // namespace

pos_t skip_ws(const char* t, pos_t p, pos_t end) {
  if (p < 0) return p;
  while (p < end && is_ws(static_cast<unsigned char>(t[p]))) ++p;
  return p;
}

pos_t find_kw(const char* t, pos_t end, pos_t start, std::string_view kw) {
  const int64_t n = static_cast<int64_t>(kw.size());
  if (n == 0) return -1;
  const char first = kw[0];
  for (int64_t p = start < 0 ? 0 : start; p + n <= end; ++p) {
    // memchr finds the candidates a vector at a time; most of a PDF (stream data) holds few.
    const void* hit = std::memchr(t + p, first, static_cast<size_t>(end - n + 1 - p));
    if (!hit) return -1;
    p = static_cast<const char*>(hit) - t;
    if (!same(t, p, kw)) continue;
    // The byte before is examined even when it lies before start.
    if (p > 0 && is_alnum(static_cast<unsigned char>(t[p - 1]))) continue;
    if (p + n < end && is_alnum(static_cast<unsigned char>(t[p + n]))) continue;
    return static_cast<pos_t>(p);
  }
  return -1;
}

int kw_at(const char* t, pos_t p, pos_t end, std::string_view kw) {
  const int64_t n = static_cast<int64_t>(kw.size());
  if (n == 0 || p < 0 || p + n > end) return 0;
  if (!same(t, p, kw)) return 0;
  if (p > 0 && is_alnum(static_cast<unsigned char>(t[p - 1]))) return 0;
  if (p + n == end) return 1;
  return is_alnum(static_cast<unsigned char>(t[p + n])) ? 0 : 1;
}

pos_t find_name(const char* t, pos_t len, pos_t start, pos_t end, std::string_view name) {
  const int64_t lim = std::min(len, end);
  const int64_t n = static_cast<int64_t>(name.size());
  for (int64_t p = start < 0 ? 0 : start; p + 1 + n <= lim; ++p) {
    const void* slash = std::memchr(t + p, '/', static_cast<size_t>(lim - n - p));
    if (!slash) return -1;
    p = static_cast<const char*>(slash) - t;
    if (name_at(t, p, lim, name)) return static_cast<pos_t>(p);
  }
  return -1;
}

pos_t find_name_top(const char* t, pos_t len, pos_t start, pos_t end, std::string_view name) {
  // Depth 1 is the inside of the first dictionary entered; keys met before any "<<" (depth 0)
  // count too. Arrays are not tracked.
  const int64_t lim = std::min(len, end);
  int depth = 0;
  int64_t p = start < 0 ? 0 : start;
  while (p < lim) {
    while (!kTopStops.at[static_cast<unsigned char>(t[p])])
      if (++p >= lim) return -1;
    const char c = t[p];
    if (c == '%') {
      // A comment: resume at the CR or LF that ends it, then pass over that byte.
      const pos_t q = skip_comment(t, static_cast<pos_t>(p), static_cast<pos_t>(lim));
      if (q >= lim) return -1;
      p = q + 1;
    } else if (c == '(') {
      const pos_t q = skip_literal_string(t, static_cast<pos_t>(p), static_cast<pos_t>(lim));
      if (q < 0) return -1;
      p = q;
    } else if (c == '<') {
      if (p + 1 >= lim) return -1;
      if (t[p + 1] == '<') {
        ++depth;
        p += 2;
      } else {
        // A hex string: up to the next ">".
        int64_t q = p + 1;
        while (q < lim && t[q] != '>') ++q;
        if (q >= lim) return -1;
        p = q + 1;
      }
    } else if (c == '>') {
      if (p + 1 >= lim) return -1;
      if (t[p + 1] == '>') {
        if (depth > 0) --depth;
        p += 2;
      } else {
        ++p;
      }
    } else if (c == '/') {
      if (depth <= 1 && name_at(t, p, lim, name)) return static_cast<pos_t>(p);
      ++p;
    } else {
      ++p;
    }
  }
  return -1;
}

int32_t parse_int_at(const char* t, pos_t end, pos_t* p) {
  pos_t q = *p;
  if (q < 0 || q >= end) return -1;
  q = skip_ws(t, q, end);
  if (q >= end) return -1;
  bool neg = false;
  if (t[q] == '-') {
    neg = true;
    if (++q >= end) return -1;
  }
  uint32_t v = 0;
  const pos_t after = read_digits(t, q, end, &v);
  if (after == q) return -1;
  *p = after;
  return static_cast<int32_t>(neg ? 0u - v : v);
}

int32_t read_int_adv(const char* t, pos_t end, pos_t* p) {
  pos_t q = *p;
  if (q < 0 || q >= end) return -1;
  q = skip_ws(t, q, end);
  if (q >= end) {
    *p = end;
    return -1;
  }
  bool neg = false;
  if (t[q] == '+' || t[q] == '-') {
    neg = t[q] == '-';
    if (++q >= end) {
      *p = q;
      return -1;
    }
  }
  uint32_t v = 0;
  const pos_t after = read_digits(t, q, end, &v);
  if (after == q) {
    // Step past the offending byte so that a caller reading pairs makes progress, but stay on an
    // "R" so that a reference keyword is not swallowed.
    *p = t[q] == 'R' ? q : q + 1;
    return -1;
  }
  *p = after;
  return static_cast<int32_t>(neg ? 0u - v : v);
}

int32_t int_after_key(const char* t, pos_t key, std::string_view name, pos_t end) {
  const int64_t p = static_cast<int64_t>(key) + 1 + static_cast<int64_t>(name.size());
  if (key < 0 || p >= end) return -1;
  pos_t q = static_cast<pos_t>(p);
  return parse_int_at(t, end, &q);
}

pos_t skip_comment(const char* t, pos_t p, pos_t end) {
  while (p < end && t[p] != '\r' && t[p] != '\n') ++p;
  return p;
}

pos_t skip_ws_comments(const char* t, pos_t p, pos_t end) {
  for (;;) {
    p = skip_ws(t, p, end);
    if (p >= end || t[p] != '%') return p;
    p = skip_comment(t, p, end);
  }
}

pos_t skip_literal_string(const char* t, pos_t p, pos_t end) {
  // Counted in 64 bits: an escape near the end of a 2 GiB text steps past INT32_MAX.
  int64_t q = static_cast<int64_t>(p) + 1;
  int64_t level = 1;
  while (q < end) {
    const char d = t[q];
    if (d == '\\') {
      q += 2;
      continue;
    }
    if (d == '(') {
      ++level;
    } else if (d == ')' && --level == 0) {
      return static_cast<pos_t>(q + 1);
    }
    ++q;
  }
  return -1;
}

pos_t skip_obj_header(const char* t, pos_t p, pos_t end, obj_keyword kw, header_space sp) {
  if (p < 0) return -1;
  auto gap = [&](pos_t q) {
    if (sp == header_space::pdf) return skip_ws(t, q, end);
    while (q < end && (is_ws(byte_at(t, q)) || is_cspace(byte_at(t, q)))) ++q;
    return q;
  };
  uint32_t unused;
  p = gap(read_digits(t, p, end, &unused));  // the object number
  p = gap(read_digits(t, p, end, &unused));  // the generation number, when there is one
  if (!kw_at(t, p, end, "obj")) return kw == obj_keyword::required ? -1 : p;
  return skip_ws(t, p + 3, end);
}

pos_t ref_tail_end(const char* t, pos_t p, pos_t end, ref_gen gen) {
  pos_t r = skip_ws(t, p, end);
  if (r < end && is_digit(byte_at(t, r))) {
    uint32_t unused;
    r = skip_ws(t, read_digits(t, r, end, &unused), end);  // the generation number
  } else if (gen == ref_gen::required) {
    return -1;
  }
  if (r >= end || t[r] != 'R') return -1;
  if (r + 1 < end && is_alnum(byte_at(t, r + 1))) return -1;
  return r + 1;
}

int32_t parse_int_or_ref(const char* t, pos_t end, pos_t* p, bool* ref) {
  pos_t q = *p;
  const int32_t v = parse_int_at(t, end, &q);
  *ref = q != *p && ref_tail_end(t, q, end, ref_gen::required) >= 0;
  *p = q;
  return v;
}

int32_t read_array_ref(const char* t, pos_t end, pos_t* p) {
  const int32_t n = parse_int_at(t, end, p);
  *p = skip_ws(t, *p, end);
  if (*p < end && is_digit(byte_at(t, *p))) {
    parse_int_at(t, end, p);
    *p = skip_ws(t, *p, end);
  }
  if (*p < end && t[*p] == 'R') *p = skip_ws(t, *p + 1, end);
  return n;
}

}  // namespace qm
