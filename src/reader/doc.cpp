// The document model: release, lookup by object number, dictionary spans and /Type.
#include "reader/doc.h"

#include <algorithm>

namespace qm {

void doc_free(doc& d) {
  d = doc{};
  // A released record is all zero: trailer_root and catalog too, though a new record starts
  // them at -1 ("none found yet").
  d.trailer_root = 0;
  d.catalog = 0;
}

void doc_index(doc& d) {
  int32_t maxnum = 0;
  for (const obj_rec& o : d.objects) maxnum = std::max(maxnum, o.num);
  d.max_objnum = maxnum;
  std::vector<int32_t> idx;
  idx.assign(static_cast<size_t>(std::min(maxnum, kMaxObjNum)) + 1, -1);
  // Walking backwards leaves the first index of each number in place.
  for (size_t i = d.objects.size(); i-- > 0;) {
    int32_t n = d.objects[i].num;
    if (n > 0 && n <= kMaxObjNum) idx[static_cast<size_t>(n)] = static_cast<int32_t>(i);
  }
  d.index = std::move(idx);
}

const obj_rec* doc_find(const doc& d, int32_t num) {
  if (num <= 0) return nullptr;
  if (static_cast<size_t>(num) < d.index.size()) {
    int32_t i = d.index[static_cast<size_t>(num)];
    return i >= 0 ? &d.objects[static_cast<size_t>(i)] : nullptr;
  }
  // Beyond the index (numbers no finished table holds, or a table never indexed): scan.
  if (!d.index.empty() && num <= kMaxObjNum) return nullptr;
  for (const obj_rec& o : d.objects)
    if (o.num == num) return &o;
  return nullptr;
}

bool dict_span(const char* data, int32_t len, const obj_rec& o, span* s) {
  if (o.in_objstm) {
    s->t = o.text;
    s->start = 0;
    s->end = o.text ? o.text_len : 0;
    return true;
  }
  if (o.dict_start < 0) return false;
  s->t = data;
  s->start = o.dict_start;
  if (o.stream_pos > 0)
    s->end = o.stream_pos;
  else if (o.endobj_pos > 0)
    s->end = o.endobj_pos;
  else
    s->end = len;
  return true;
}

int obj_type(const char* data, int32_t len, const obj_rec& o) {
  span s;
  if (!dict_span(data, len, o, &s)) return 0;
  const char* t = s.t;
  pos_t end = s.end;
  pos_t m = find_name_top(t, end, s.start, end, "Type");
  while (m >= 0) {
    pos_t q = skip_ws(t, m + 5, end);  // past "/Type"
    if (end - q >= 5 && byte_at(t, q) == '/' && t[q + 1] == 'P' && t[q + 2] == 'a' &&
        t[q + 3] == 'g' && t[q + 4] == 'e') {
      pos_t a = q + 5;
      if (a == end || !is_alnum(byte_at(t, a))) return 1;
      if (byte_at(t, a) != 's') return 0;  // /PageLabel, /Page1, ...
      return a + 1 == end || !is_alnum(byte_at(t, a + 1)) ? 2 : 0;
    }
    m = find_name_top(t, end, m + 1, end, "Type");
  }
  return 0;
}

}  // namespace qm
