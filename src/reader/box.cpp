// A page's visible box (/CropBox, else /MediaBox) and its own /Rotate, from one dictionary.
//
// Lexical rules of the box array reader:
//   - "]" ends the array.
//   - "+" or "-" is a sign; the unsigned number after it is negated for "-". A sign followed by
//     neither a digit nor "." reads as zero.
//   - A digit or "." starts an unsigned number: digits, then optionally "." and more digits.
//     Exponents are not part of PDF number syntax and are not recognised.
//   - Any other byte is stepped over (with the white space after it) and counts for nothing.
#include "reader/box.h"

#include <cmath>

namespace qm {

namespace {

// Reads an unsigned number at *p (digits, then an optional fraction), stopping at end.
double read_unsigned(const char* t, pos_t* p, pos_t end) {
  double v = 0;
  pos_t q = *p;
  while (q < end && is_digit(byte_at(t, q))) {
    v = v * 10 + (byte_at(t, q) - '0');
    ++q;
  }
  if (q < end && byte_at(t, q) == '.') {
    ++q;
    double f = 0.1;
    while (q < end && is_digit(byte_at(t, q))) {
      v += (byte_at(t, q) - '0') * f;
      f *= 0.1;
      ++q;
    }
  }
  *p = q;
  return v;
}

// Reads up to four numbers of an array whose "[" is at p. Returns true when four were read
// before a "]" or the end.
bool read_four(const char* t, pos_t p, pos_t end, double out[4]) {
  p = skip_ws(t, p + 1, end);
  int n = 0;
  while (n < 4) {
    if (p >= end) return false;
    unsigned char c = byte_at(t, p);
    if (c == ']') return false;
    if (c == '+' || c == '-') {
      ++p;
      double v = 0;
      if (p < end && (is_digit(byte_at(t, p)) || byte_at(t, p) == '.'))
        v = read_unsigned(t, &p, end);
      out[n++] = c == '-' ? -v : v;
      p = skip_ws(t, p, end);
    } else if (is_digit(c) || c == '.') {
      out[n++] = read_unsigned(t, &p, end);
      p = skip_ws(t, p, end);
    } else {
      p = skip_ws(t, p + 1, end);
    }
  }
  return true;
}

// Coordinates this large or not finite cannot describe a page and would print as garbage.
inline bool sane(double v) {
  return std::isfinite(v) && std::fabs(v) < 1e15;
}

// Tries every occurrence of one key; true with the box stored when one is usable.
bool box_for_key(const span& s, std::string_view key, double* x0, double* y0, double* width,
                 double* height) {
  pos_t k = find_name(s.t, s.end, s.start, s.end, key);
  while (k >= 0) {
    pos_t p = skip_ws(s.t, k + 1 + static_cast<pos_t>(key.size()), s.end);
    double v[4];
    if (p < s.end && byte_at(s.t, p) == '[' && read_four(s.t, p, s.end, v)) {
      double w = v[2] - v[0];
      double h = v[3] - v[1];
      if (w > 0 && h > 0 && sane(v[0]) && sane(v[1]) && sane(v[2]) && sane(v[3]) && sane(w) &&
          sane(h)) {
        *x0 = v[0];
        *y0 = v[1];
        *width = w;
        *height = h;
        return true;
      }
    }
    k = find_name(s.t, s.end, k + 1, s.end, key);
  }
  return false;
}

// The integer value of an indirect object (the target of "N G R"), or -1 when the object is not
// a plain non-negative integer.
int32_t referenced_int(const obj_rec& o, const char* data, int32_t len) {
  const char* t;
  pos_t p, end;
  if (o.in_objstm) {
    t = o.text;
    p = 0;
    end = o.text_len;
  } else {
    if (o.has_stream || o.obj_start < 0) return -1;
    t = data;
    end = o.endobj_pos >= 0 ? o.endobj_pos : len;
    // Past "N G obj" to the value. The header was found with the C locale's white space between
    // its parts (VT included).
    p = skip_obj_header(t, o.obj_start, end, obj_keyword::required, header_space::pdf_or_cspace);
    if (p < 0) return -1;
  }
  pos_t q = p;
  bool ref = false;
  const int32_t v = parse_int_or_ref(t, end, &q, &ref);
  // A further reference ("M G R") is not an integer object.
  if (q == p || v < 0 || ref) return -1;
  return v;
}

}  // namespace

int obj_box(const char* data, int32_t len, const obj_rec& o, double* x0, double* y0, double* width,
            double* height) {
  span s;
  if (!dict_span(data, len, o, &s)) return 0;
  if (box_for_key(s, "CropBox", x0, y0, width, height)) return 1;
  if (box_for_key(s, "MediaBox", x0, y0, width, height)) return 1;
  return 0;
}

int32_t obj_rotate_own(const doc& d, const obj_rec& o) {
  span s;
  if (!dict_span(d.data.get(), d.len, o, &s)) return -1;
  pos_t k = find_name_top(s.t, s.end, s.start, s.end, "Rotate");
  if (k < 0) return -1;
  pos_t p = skip_ws(s.t, k + 7, s.end);  // past "/Rotate"
  pos_t q = p;
  bool ref = false;
  const int32_t v = parse_int_or_ref(s.t, s.end, &q, &ref);
  if (q == p || v < 0) return -1;
  if (ref) {
    // "/Rotate N G R": the rotation is the integer held by object N.
    const obj_rec* target = doc_find(d, v);
    if (!target) return -1;
    return referenced_int(*target, d.data.get(), d.len);
  }
  return v;
}

}  // namespace qm
