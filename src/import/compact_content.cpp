// A page's content kept as the input compressed it.
//
// Lexical rules used here: /Contents is looked up at the top level of the page dictionary, as
// read_page_content does; one reference is "N G R" with white space between the parts, alone or
// inside "[" and "]".
#include "import/compact_content.h"

#include <new>

#include "import/decode.h"

namespace qm {

const obj_rec* sole_content_stream(const doc& d, const span& page) {
  const char* t = page.t;
  const pos_t end = page.end;
  const pos_t key = find_name_top(t, end, page.start, end, "Contents");
  if (key < 0) return nullptr;
  pos_t p = skip_ws(t, key + 9, end);
  if (p >= end) return nullptr;
  const bool array = t[p] == '[';
  if (array) p = skip_ws(t, p + 1, end);
  // One "N G R", the generation number required.
  if (p >= end || !is_digit(static_cast<unsigned char>(t[p]))) return nullptr;
  const int32_t n = parse_int_at(t, end, &p);
  const pos_t next = ref_tail_end(t, p, end, ref_gen::required);
  if (n <= 0 || next < 0) return nullptr;
  if (array) {
    p = skip_ws(t, next, end);
    if (p >= end || t[p] != ']') return nullptr;
  }
  const obj_rec* o = doc_find(d, n);
  if (o == nullptr || !o->has_stream || o->in_objstm) return nullptr;
  return o;
}

void read_page_content_stored(const doc& d, const obj_rec& o, page_content& c) {
  span s, sd;
  const obj_rec* so = page_span(d, o, &s) ? sole_content_stream(d, s) : nullptr;
  const char* data = d.data.get();
  if (so == nullptr || !dict_span(data, d.len, *so, &sd) || !flate_alone(sd.t, sd.start, sd.end) ||
      so->data_start < 0 || so->data_end > d.len || so->data_end <= so->data_start) {
    read_page_content(d, o, c);
    return;
  }
  // The default reading of this page inflates this one stream with inflate_into, straight into
  // the content's buffer: the same call here gives the same bytes, and tells whether they were
  // whole.
  c.joined.len = 0;
  c.bytes = {};
  c.stored = {};
  c.packed.len = 0;
  const std::string_view raw(data + so->data_start,
                             static_cast<size_t>(so->data_end - so->data_start));
  uint64_t whole = 0;
  bool ok;
  try {
    ok = inflate_into(raw, c.joined, &whole);
  } catch (const std::bad_alloc&) {
    ok = false;  // as decoded_stream: no room for the decoded bytes leaves the stream out
  }
  if (!ok) {
    if (c.joined.data) {
      c.joined.len = 0;
      c.joined.data[0] = 0;
    }
    return;
  }
  c.bytes = c.joined.view();
  if (whole == 0) return;
  for (size_t k = whole; k < raw.size(); ++k)
    if (!is_ws(static_cast<unsigned char>(raw[k]))) return;
  c.stored = raw.substr(0, whole);
}

bool pack_content(const content_compressor& z, page_content& c) {
  c.packed.len = 0;
  if (z.fn == nullptr) return false;
  const size_t room = pack_room(c.bytes.size());
  buf_reserve(c.packed, room);
  const size_t n = z.fn(z.ctx, reinterpret_cast<const unsigned char*>(c.bytes.data()),
                        c.bytes.size(), reinterpret_cast<unsigned char*>(c.packed.data), room);
  if (n == 0 || n > room) return false;
  buf_commit(c.packed, n);
  return true;
}

void read_page_content_compact(const doc& d, const obj_rec& o, page_content& c,
                               const content_compressor& z) {
  read_page_content_stored(d, o, c);
  if (c.stored.empty()) pack_content(z, c);
}

}  // namespace qm
