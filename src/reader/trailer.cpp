// Cross-reference sections and trailers: which object is the catalog, and is the file encrypted.
//
// Only /Root, /Encrypt and (in cross-reference streams) /Prev are read; the cross-reference
// entries themselves are never interpreted, because objects are located by scanning the file.
// The walk starts at the offset after the file's last "startxref":
//   - "xref" there is a classic table: every "trailer" from it to the end of the file is read,
//     and the last valid /Root wins (this also covers trailers that an update appended after the
//     section that "startxref" names). A classic section always ends the walk.
//   - a digit there starts "N G obj <<...>>", a cross-reference stream: its first /Root (only
//     while none is known) and its /Prev, which continues the walk. At most 32 are examined, so a
//     /Prev that points back at an earlier section ends the walk.
#include "reader/trailer.h"

#include <limits>

#include "reader/search_memo.h"
#include "reader/streamdict.h"

namespace qm {

namespace {

constexpr int kMaxXrefStreams = 32;

void read_classic_trailers(doc& d, pos_t xref_pos) {
  const char* t = d.data.get();
  const pos_t len = d.len;
  search_memo startxref, root, encrypt;
  pos_t tr = find_kw(t, len, xref_pos + 4, "trailer");
  while (tr >= 0) {
    pos_t p = skip_ws(t, tr + 7, len);
    pos_t h =
        memo_search(startxref, p, len, [&](pos_t x) { return find_kw(t, len, x, "startxref"); });
    if (h <= 0) h = len;
    if (p < h && byte_at(t, p) == '<') {
      // The first /Root with a usable number.
      pos_t r = memo_search(root, p, h, [&](pos_t x) {
        for (pos_t k = find_name(t, len, x, h, "Root"); k >= 0;
             k = find_name(t, len, k + 1, h, "Root"))
          if (int_after_key(t, k, "Root", h) >= 0) return k;
        return pos_t{-1};
      });
      if (r >= 0) d.trailer_root = int_after_key(t, r, "Root", h);
      if (memo_find_name(encrypt, t, p, h, "Encrypt") >= 0) d.encrypted = 1;
    }
    tr = tr + 1 < len ? find_kw(t, len, tr + 1, "trailer") : -1;
  }
}

// Examines the cross-reference stream whose object number starts at o; returns the /Prev offset
// to continue with, or -1.
pos_t read_xref_stream(doc& d, pos_t o, int* examined) {
  const char* t = d.data.get();
  const pos_t len = d.len;
  ++*examined;
  const pos_t p = skip_obj_header(t, o, len, obj_keyword::required);
  if (p < 0) return -1;
  pos_t end = len;
  if (p < len && byte_at(t, p) == '<') {
    pos_t s = dict_stream_kw(t, len, p);
    if (s > 0) end = s;
  }
  pos_t next = -1;
  pos_t k = find_name(t, len, p, end, "Prev");
  if (k >= 0) {
    int32_t v = int_after_key(t, k, "Prev", end);
    if (v >= 0 && v < len) next = v;
  }
  if (d.trailer_root < 0) {
    k = find_name(t, len, p, end, "Root");
    if (k >= 0) {
      int32_t v = int_after_key(t, k, "Root", end);
      if (v >= 0) d.trailer_root = v;
    }
  }
  if (find_name(t, len, p, end, "Encrypt") >= 0) d.encrypted = 1;
  return next;
}

}  // namespace

void read_trailers(doc& d) {
  const char* t = d.data.get();
  const pos_t len = d.len;
  if (!t || len <= 0) return;
  // The last whole-token "startxref".
  pos_t last = -1;
  for (pos_t k = find_kw(t, len, 0, "startxref"); k >= 0;
       k = k + 9 < len ? find_kw(t, len, k + 9, "startxref") : -1)
    last = k;
  if (last < 0) return;
  pos_t p = last + 9;
  if (p >= len) return;
  int32_t off = parse_int_at(t, len, &p);
  if (off < 0 || off >= len) return;

  int examined = 0;
  while (off >= 0 && off < len && examined < kMaxXrefStreams) {
    pos_t q = skip_ws(t, off, len);
    if (q >= len) return;
    if (kw_at(t, q, len, "xref")) {
      read_classic_trailers(d, q);
      return;
    }
    if (!is_digit(byte_at(t, q))) return;
    off = read_xref_stream(d, q, &examined);
  }
}

}  // namespace qm
