// The catalog and the page tree: which object is the catalog, and the pages in document order.
//
// The walk trusts the tree only as far as it can check it: every node is an indirect object of
// /Type /Pages or /Page, /Kids is a direct array of references "N G R", and no /Pages node is
// entered twice. /Count and /Parent are never read. The page box and rotation are handed down
// from node to node as the walk descends.
#include "reader/pagetree.h"

#include <algorithm>
#include <climits>
#include <new>

#include "reader/box.h"
#include "reader/search_memo.h"
#include "text/msg.h"

namespace qm {

namespace {

// The text in which the catalog is searched: an entry's own text, or a plain object from its
// dictionary to "endobj" (to the end of the file when there is none). False for a plain object
// without a dictionary.
bool catalog_text(const doc& d, const obj_rec& o, span* s) {
  if (o.in_objstm) {
    s->t = o.text;
    s->start = 0;
    s->end = o.text_len;
    return true;
  }
  if (o.dict_start < 0) return false;
  s->t = d.data.get();
  s->start = o.dict_start;
  s->end = o.endobj_pos > 0 ? o.endobj_pos : d.len;
  return true;
}

// The catalog: the trailer's /Root when that object exists, else the first object that mentions
// /Catalog, else object 1.
int32_t choose_catalog(const doc& d) {
  if (d.trailer_root >= 0 && doc_find(d, d.trailer_root)) return d.trailer_root;
  search_memo plain;  // plain objects may share their end (see search_memo.h)
  for (const obj_rec& o : d.objects) {
    span s;
    if (o.in_objstm && o.text_len <= 7) continue;
    if (!catalog_text(d, o, &s)) continue;
    const pos_t k = o.in_objstm ? find_name(s.t, s.end, s.start, s.end, "Catalog")
                                : memo_find_name(plain, s.t, s.start, s.end, "Catalog");
    if (k >= 0) return o.num;
  }
  return 1;
}

// The page-tree root named by the catalog, or -1.
int32_t find_tree_root(const doc& d, int32_t catalog) {
  const obj_rec* c = doc_find(d, catalog);
  if (!c) return -1;
  int type = obj_type(d.data.get(), d.len, *c);
  if (type == 1 || type == 2) return catalog;  // the catalog is itself the tree (or its page)
  span s;
  if (!catalog_text(d, *c, &s)) return -1;
  for (pos_t k = find_name(s.t, s.end, s.start, s.end, "Pages"); k >= 0;
       k = find_name(s.t, s.end, k + 1, s.end, "Pages")) {
    const int32_t v = int_after_key(s.t, k, "Pages", s.end);
    if (v > 0) return v;
  }
  return -1;
}

// The object's table index, for the per-walk caches.
size_t index_of(const doc& d, const obj_rec& o) {
  return static_cast<size_t>(&o - d.objects.data());
}

int type_of(page_walk& w, const obj_rec& o) {
  signed char& t = w.type[index_of(*w.d, o)];
  if (t < 0) t = static_cast<signed char>(obj_type(w.d->data.get(), w.d->len, o));
  return t;
}

// A page record with the page's own box, else the given one, else 595 by 842 points at 0, 0.
page_rec make_page(page_walk& w, const obj_rec& o, int32_t parent, int32_t rotation,
                   const inherited& box) {
  page_rec pg;
  pg.num = o.num;
  pg.parent = parent;
  pg.inherited_rotate = ((rotation % 360) + 360) % 360;
  auto [it, fresh] = w.boxes.try_emplace(static_cast<int32_t>(index_of(*w.d, o)));
  page_walk::box& own = it->second;
  if (fresh)
    own.found = obj_box(w.d->data.get(), w.d->len, o, &own.x0, &own.y0, &own.width, &own.height);
  if (own.found) {
    pg.x0 = own.x0;
    pg.y0 = own.y0;
    pg.width = own.width;
    pg.height = own.height;
  } else if (box.have_box) {
    pg.x0 = box.x0;
    pg.y0 = box.y0;
    pg.width = box.width;
    pg.height = box.height;
  } else {
    pg.x0 = 0;
    pg.y0 = 0;
    pg.width = 595;
    pg.height = 842;
  }
  return pg;
}

// The kid numbers of a node: the references of the first /Kids that is a direct array, at most
// `room` of them. Returns -2 for an inline dictionary in the array, else the count collected.
int read_kids(const span& s, size_t room, std::vector<int32_t>& kids) {
  const char* t = s.t;
  const pos_t end = s.end;
  pos_t p = -1;
  for (pos_t k = find_name(t, end, s.start, end, "Kids"); k >= 0;
       k = find_name(t, end, k + 1, end, "Kids")) {
    pos_t q = skip_ws(t, k + 5, end);
    if (q < end && byte_at(t, q) == '[') {
      p = q + 1;
      break;
    }
  }
  if (p < 0) return 0;
  p = skip_ws(t, p, end);
  while (p < end && byte_at(t, p) != ']') {
    unsigned char c = byte_at(t, p);
    if (c == '<') {
      if (p + 1 < end && byte_at(t, p + 1) == '<') return -2;
      ++p;
    } else if (is_digit(c)) {
      const int32_t n = read_array_ref(t, end, &p);
      if (n > 0 && kids.size() < room) kids.push_back(n);
    } else {
      ++p;
    }
  }
  return static_cast<int>(kids.size() > 0 ? 1 : 0);
}

}  // namespace

int resolve_pages(page_walk& w, int32_t node, const inherited& from, int depth) {
  const doc& d = *w.d;
  const obj_rec* o = doc_find(d, node);
  if (!o) return -1;
  int type = type_of(w, *o);
  if (type == 1) {
    w.pages->push_back(make_page(w, *o, -1, from.rotation, from));
    return 1;
  }
  if (type != 2) return -1;
  // Each /Pages node is entered once (a cycle or a shared node breaks the tree), and only so
  // deep: the walk recurses once per level.
  if (depth >= kMaxTreeDepth) return -1;
  if (node >= 0 && static_cast<size_t>(node) < w.visited.size()) {
    if (w.visited[static_cast<size_t>(node)]) return -1;
    w.visited[static_cast<size_t>(node)] = 1;
  }

  // Room for every reference the node's text can hold, with some to spare.
  size_t room = 4096;
  if (o->in_objstm)
    room += static_cast<size_t>(o->text_len) / 4;
  else if (o->endobj_pos > o->obj_start)
    room += static_cast<size_t>(o->endobj_pos - o->obj_start) / 4;
  span s;
  if (!dict_span(d.data.get(), d.len, *o, &s)) return 0;
  std::vector<int32_t> kids;
  int r = read_kids(s, room, kids);
  if (r < 0) return r;
  if (kids.empty()) return 0;

  // What this node hands down: its own rotation and box, else the ones it was given.
  inherited down = from;
  int32_t own = obj_rotate_own(d, *o);
  if (own >= 0) down.rotation = own;
  double x0, y0, wd, ht;
  if (obj_box(d.data.get(), d.len, *o, &x0, &y0, &wd, &ht)) {
    down.have_box = true;
    down.x0 = x0;
    down.y0 = y0;
    down.width = wd;
    down.height = ht;
  }

  for (int32_t kid : kids) {
    const obj_rec* k = doc_find(d, kid);
    if (!k) return -1;
    int kt = type_of(w, *k);
    if (kt == 1) {
      w.pages->push_back(make_page(w, *k, node, down.rotation, down));
    } else if (kt == 2) {
      if (resolve_pages(w, kid, down, depth + 1) < 0) return -1;
    } else {
      return -1;
    }
  }
  return static_cast<int>(std::min<size_t>(w.pages->size(), INT32_MAX));
}

int load_pages(doc& d, msg& m) {
  d.catalog = choose_catalog(d);
  int32_t root = find_tree_root(d, d.catalog);
  if (root < 0) {
    msg_set(m, "catalog (obj %ld) has no /Pages reference", static_cast<long>(d.catalog));
    return -1;
  }
  page_walk w;
  w.d = &d;
  w.pages = &d.pages;
  try {
    w.visited.assign(static_cast<size_t>(d.max_objnum) + 1, 0);
    w.type.assign(d.objects.size(), -1);
  } catch (const std::bad_alloc&) {
    msg_set(m, "out of memory");
    return -1;
  }
  int r = resolve_pages(w, root, inherited{}, 0);
  if (r == -2) {
    msg_set(m,
            "page tree uses inline page dictionaries in /Kids \xE2\x80\x94 pages must be indirect "
            "objects");
    return -1;
  }
  if (r < 0) {
    msg_set(m,
            "could not resolve the page tree (obj %ld is not a /Pages or /Page object, or tree "
            "is broken)",
            static_cast<long>(root));
    return -1;
  }
  if (r == 0) {
    msg_set(m, "document has no pages");
    return -1;
  }
  return 0;
}

}  // namespace qm
