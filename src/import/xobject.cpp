// An input page as a Form XObject body: box, rotation matrix, renumbered resources, joined content.
//
// Lexical rules used here: the page's own keys are found at the top level of its dictionary;
// /Contents is an indirect reference "N G R", an array of such references (generation numbers
// and the R may be missing), or a stream dictionary written in place with its data. Parts of an
// array are joined end to end, with one line feed between two parts exactly where the last byte
// before and the first byte after are both regular characters (neither PDF white space nor one of
// the delimiters ( ) < > [ ] { } / %), so that tokens never run together.
#include "import/xobject.h"

#include "import/decode.h"
#include "reader/streamdict.h"
#include "text/buf.h"
#include "text/numfmt.h"

namespace qm {
namespace {

using content = page_content;

// Appends one part to the joined content.
void join_part(content& c, std::string_view part) {
  if (part.empty()) return;
  if (c.joined.len > 0 && is_regular(static_cast<unsigned char>(c.joined.data[c.joined.len - 1])) &&
      is_regular(static_cast<unsigned char>(part[0])))
    buf_append(c.joined, "\n", 1);
  buf_append(c.joined, part.data(), part.size());
}

// An array of references from the byte after its "[" at p, up to "]" or end.
void read_array(const doc& d, const char* t, pos_t p, pos_t end, content& c) {
  buf part;  // one lent buffer, emptied after every part
  bool any = false;
  while (p < end && t[p] != ']') {
    if (!is_digit(static_cast<unsigned char>(t[p]))) {
      ++p;
      continue;
    }
    const int32_t n = read_array_ref(t, end, &p);
    const obj_rec* o = n > 0 ? doc_find(d, n) : nullptr;
    std::string_view bytes;
    if (o != nullptr && decoded_stream(d.data.get(), d.len, *o, part, &bytes)) {
      join_part(c, bytes);
      any = true;
    }
    part.len = 0;
  }
  if (any) c.bytes = c.joined.view();
}

// /Contents N G R.
void read_indirect(const doc& d, const char* t, pos_t p, pos_t end, content& c) {
  int32_t n = parse_int_at(t, end, &p);
  if (n <= 0) return;
  const obj_rec* o = doc_find(d, n);
  if (o == nullptr) return;
  std::string_view bytes;
  if (decoded_stream(d.data.get(), d.len, *o, c.joined, &bytes)) {
    c.bytes = bytes;
    return;
  }
  if (o->has_stream) return;  // empty or undecodable
  if (o->in_objstm) {
    // An array held in an object stream.
    if (o->text == nullptr) return;
    pos_t q = skip_ws(o->text, 0, o->text_len);
    if (q < o->text_len && o->text[q] == '[') read_array(d, o->text, q + 1, o->text_len, c);
    return;
  }
  if (o->dict_start >= 0 || o->obj_start < 0) return;
  // A plain object holding an array: the first "[" after "N G", unless a "<" comes first.
  const char* data = d.data.get();
  const pos_t end2 = o->endobj_pos > 0 && o->endobj_pos <= d.len ? o->endobj_pos : d.len;
  pos_t q = o->obj_start;
  while (q < end2 && (is_digit(static_cast<unsigned char>(data[q])) || data[q] == '\t' ||
                      data[q] == '\n' || data[q] == '\r' || data[q] == ' '))
    ++q;
  for (; q < end2; ++q) {
    if (data[q] == '<') return;
    if (data[q] == '[') {
      read_array(d, data, q + 1, end2, c);
      return;
    }
  }
}

// /Contents << ... >> stream ... written inside the page dictionary; its bytes are taken raw.
void read_inline(const doc& d, const span& s, pos_t p, content& c) {
  pos_t kw = dict_stream_kw(s.t, s.end, p);
  if (kw < 0) return;
  int32_t direct = -1, ref = -1;
  parse_length(s.t, s.end, p, kw, &direct, &ref);
  int64_t n = -1;
  if (direct >= 0) {
    n = direct;
  } else if (ref >= 0) {
    const obj_rec* o = doc_find(d, ref);
    if (o == nullptr || o->has_stream || o->in_objstm || o->obj_start < 0) return;
    // "N G obj n": the length is the object's value.
    const char* data = d.data.get();
    const pos_t q0 = skip_obj_header(data, o->obj_start, d.len, obj_keyword::optional);
    pos_t q = q0;
    int32_t v = parse_int_at(data, d.len, &q);
    if (q == q0 || v < 0) return;
    n = v;
  } else {
    return;
  }
  int64_t start;
  if (kw + 6 >= s.end)
    start = kw + 6;
  else if (kw + 7 < s.end && s.t[kw + 6] == '\r' && s.t[kw + 7] == '\n')
    start = kw + 8;
  else
    start = kw + 7;
  if (start + n > s.end) return;
  buf_append(c.joined, s.t + start, static_cast<size_t>(n));
  c.bytes = c.joined.view();
}

}  // namespace

std::string build_form_xobject(const doc& d, const obj_rec& o, const page_rec& p,
                               const renum_map& m) {
  ancestor_memo memo;
  buf b;
  append_form_xobject(d, o, p, m, memo, b);
  return std::string(b.view());
}

bool page_span(const doc& d, const obj_rec& o, span* s) {
  return (!o.in_objstm || o.text != nullptr) && dict_span(d.data.get(), d.len, o, s);
}

namespace {

void read_content_of(const doc& d, const span& s, content& c) {
  pos_t key = find_name_top(s.t, s.end, s.start, s.end, "Contents");
  if (key < 0) return;
  pos_t v = skip_ws(s.t, key + 9, s.end);
  if (v >= s.end) return;
  unsigned char b = static_cast<unsigned char>(s.t[v]);
  if (is_digit(b))
    read_indirect(d, s.t, v, s.end, c);
  else if (b == '[')
    read_array(d, s.t, v + 1, s.end, c);
  else if (b == '<' && v + 1 < s.end && s.t[v + 1] == '<')
    read_inline(d, s, v, c);
}

}  // namespace

void read_page_content(const doc& d, const obj_rec& o, page_content& c) {
  c.joined.len = 0;
  c.bytes = {};
  c.stored = {};
  c.packed.len = 0;
  span s;
  if (page_span(d, o, &s)) read_content_of(d, s, c);
}

void append_form_xobject(const doc& d, const obj_rec& o, const page_rec& p, const renum_map& m,
                         ancestor_memo& memo, buf& out, const page_content* pre, bool group,
                         bool compact) {
  content own;
  const content& c = pre ? *pre : own;
  std::string res;
  bool has_res = false;
  span s;
  const bool has_span = page_span(d, o, &s);
  if (has_span) {
    if (!pre) read_content_of(d, s, own);
    std::string raw;
    if (page_resources_text(d, s, memo, &raw)) {
      res = remap_res_text(raw, m);
      has_res = true;
    }
  }

  const numtext x0 = fmt_num(p.x0), y0 = fmt_num(p.y0), x1 = fmt_num(p.x0 + p.width),
                y1 = fmt_num(p.y0 + p.height), w = fmt_num(p.width), h = fmt_num(p.height);
  // The bytes that go out: the content as it is, or compressed.
  std::string_view body = c.bytes;
  bool flate = false;
  if (compact && !c.stored.empty()) {
    body = c.stored;
    flate = true;
  } else if (compact && c.packed.len > 0) {
    body = c.packed.view();
    flate = true;
  }
  const numtext l = fmt_int(static_cast<int64_t>(body.size()));
  buf_reserve(out, 180 + res.size() + body.size());
  auto put = [&](std::string_view t) { buf_str(out, t); };
  put("<< /Type /XObject /Subtype /Form /BBox [");
  put(x0.view());
  put(" ");
  put(y0.view());
  put(" ");
  put(x1.view());
  put(" ");
  put(y1.view());
  put("]");
  switch (p.rotate % 360) {
    case 90:
      put(" /Matrix [0 -1 1 0 0 ");
      put(w.view());
      put("]");
      break;
    case 180:
      put(" /Matrix [-1 0 0 -1 ");
      put(w.view());
      put(" ");
      put(h.view());
      put("]");
      break;
    case 270:
      put(" /Matrix [0 1 -1 0 ");
      put(h.view());
      put(" 0]");
      break;
    default:
      break;
  }
  put(" /Length ");
  put(l.view());
  if (flate) put(" /Filter /FlateDecode");
  if (group) put(" /Group << /S /Transparency >>");
  if (has_res) {
    put(" /Resources ");
    put(res);
  }
  put(" >> stream\n");
  put(body);
  put("\nendstream");
}

}  // namespace qm
