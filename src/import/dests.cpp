// Destinations (ISO 32000-1, 12.3.2) and actions (12.6) carried to the output.
//
// An explicit destination is an array: the page (a reference to the page object, or, as some
// producers write it, the page's index), a fit type and its coordinates. The coordinates are in
// the page's default user space, so they move with the page's placement; on a page turned by a
// quarter the horizontal and vertical fits exchange their roles (/FitH top <-> /FitV left,
// /FitBH <-> /FitBV), and /XYZ's left and top exchange theirs. A null coordinate ("keep the
// current one") stays null.
#include "import/dests.h"

#include <algorithm>
#include <unordered_set>

namespace qm {
namespace {

constexpr int kMaxTreeDepth = 32;
constexpr int kMaxChain = 64;

bool quarter_turned(const affine& m) {
  return m.a == 0 && m.d == 0;
}

// The moved x (or y) of a point of which only the coordinate that the output's x (or y) depends
// on is given; null stays null.
pdf_value moved_x(const affine& m, const pdf_value& from_x, const pdf_value& from_y) {
  double v;
  if (!quarter_turned(m)) return as_number(from_x, &v) ? make_number(m.a * v + m.e) : pdf_value{};
  return as_number(from_y, &v) ? make_number(m.c * v + m.e) : pdf_value{};
}

pdf_value moved_y(const affine& m, const pdf_value& from_x, const pdf_value& from_y) {
  double v;
  if (!quarter_turned(m)) return as_number(from_y, &v) ? make_number(m.d * v + m.f) : pdf_value{};
  return as_number(from_x, &v) ? make_number(m.b * v + m.f) : pdf_value{};
}

const page_place* place_of(const dest_ctx& c, const pdf_value& page) {
  int32_t num = -1;
  if (page.k == pdf_value::kind::ref) {
    num = page.n;
  } else if (page.k == pdf_value::kind::number && page.num >= 0 &&
             page.num < static_cast<double>(c.d->pages.size()) && page.num == int32_t(page.num)) {
    num = c.d->pages[static_cast<size_t>(page.num)].num;
  }
  auto it = c.shown.find(num);
  return it == c.shown.end() ? nullptr : &it->second;
}

void move_fit(const affine& m, std::vector<pdf_value>& a) {
  const pdf_value none;
  auto arg = [&](size_t i) -> const pdf_value& { return i < a.size() ? a[i] : none; };
  const bool turned = quarter_turned(m);
  if (is_name(a[1], "XYZ")) {
    pdf_value x = moved_x(m, arg(2), arg(3)), y = moved_y(m, arg(2), arg(3));
    if (a.size() > 2) a[2] = x;
    if (a.size() > 3) a[3] = y;
  } else if (is_name(a[1], "FitH") || is_name(a[1], "FitBH")) {
    if (turned) a[1] = make_name(is_name(a[1], "FitH") ? "/FitV" : "/FitBV");
    if (a.size() > 2) a[2] = turned ? moved_x(m, none, a[2]) : moved_y(m, none, a[2]);
  } else if (is_name(a[1], "FitV") || is_name(a[1], "FitBV")) {
    if (turned) a[1] = make_name(is_name(a[1], "FitV") ? "/FitH" : "/FitBH");
    if (a.size() > 2) a[2] = turned ? moved_y(m, a[2], none) : moved_x(m, a[2], none);
  } else if (is_name(a[1], "FitR") && a.size() >= 6) {
    pdf_value r = make_array({a[2], a[3], a[4], a[5]});
    if (move_rect(r, m)) std::copy(r.items.begin(), r.items.end(), a.begin() + 2);
  }
}

// A named destination's value: an array, or a dictionary whose /D is one.
bool dest_of_named(const dest_ctx& c, const pdf_value& value, pdf_value* out) {
  pdf_value v;
  if (!pdf_resolve(*c.d, value, &v)) return false;
  if (v.k == pdf_value::kind::dict) {
    const pdf_value* d = dict_get(v, "D");
    if (d == nullptr || !pdf_resolve(*c.d, *d, out)) return false;
  } else {
    *out = std::move(v);
  }
  return rewrite_explicit_dest(c, *out);
}

void add_named(const dest_ctx& c, std::vector<named_dests::entry>& list,
               std::unordered_map<std::string, size_t>& index, const pdf_value& key,
               const pdf_value& value) {
  std::string bytes =
      key.k == pdf_value::kind::string ? string_bytes(key.text) : std::string(key.text.substr(1));
  if (index.count(bytes)) return;  // the first of equal keys counts
  pdf_value dest;
  if (!dest_of_named(c, value, &dest)) return;
  index.emplace(std::move(bytes), list.size());
  list.push_back({key, std::move(dest)});
}

// One node of the /Dests name tree and what lies below it.
void walk_name_tree(dest_ctx& c, const pdf_value& node, int depth,
                    std::unordered_set<int32_t>& seen) {
  if (depth > kMaxTreeDepth || node.k != pdf_value::kind::dict) return;
  pdf_value names;
  if (const pdf_value* n = dict_get(node, "Names");
      n && pdf_resolve(*c.d, *n, &names) && names.k == pdf_value::kind::array) {
    for (size_t i = 0; i + 1 < names.items.size(); i += 2)
      if (names.items[i].k == pdf_value::kind::string)
        add_named(c, c.names.by_string, c.names.string_index, names.items[i], names.items[i + 1]);
  }
  pdf_value kids;
  const pdf_value* k = dict_get(node, "Kids");
  if (!k || !pdf_resolve(*c.d, *k, &kids) || kids.k != pdf_value::kind::array) return;
  for (const pdf_value& kid : kids.items) {
    if (kid.k != pdf_value::kind::ref || !seen.insert(kid.n).second) continue;
    pdf_value child;
    if (obj_value(*c.d, kid.n, &child)) walk_name_tree(c, child, depth + 1, seen);
  }
}

const named_dests::entry* find_named(const dest_ctx& c, const pdf_value& key) {
  std::string bytes;
  if (key.k == pdf_value::kind::name)
    bytes = std::string(key.text.substr(1));
  else if (key.k == pdf_value::kind::string)
    bytes = string_bytes(key.text);
  else
    return nullptr;
  // Names are looked up in /Dests and strings in the name tree, each falling back on the other:
  // producers mix them up.
  const bool str = key.k == pdf_value::kind::string;
  const auto& first = str ? c.names.string_index : c.names.name_index;
  const auto& second = str ? c.names.name_index : c.names.string_index;
  const auto& fl = str ? c.names.by_string : c.names.by_name;
  const auto& sl = str ? c.names.by_name : c.names.by_string;
  if (auto it = first.find(bytes); it != first.end()) return &fl[it->second];
  if (auto it = second.find(bytes); it != second.end()) return &sl[it->second];
  return nullptr;
}

bool action_kept(const pdf_value& s) {
  static constexpr std::string_view kept[] = {"GoTo",   "GoToR",      "URI",       "Named",
                                              "Launch", "SubmitForm", "ResetForm", "ImportData"};
  for (std::string_view k : kept)
    if (is_name(s, k)) return true;
  return false;
}

// A form action's /Fields: references become the objects that stand for the fields on the
// output; fields that are not there are left out, names (strings) are kept.
void rewrite_form_fields(const dest_ctx& c, pdf_value& a) {
  pdf_value* f = dict_get(a, "Fields");
  if (f == nullptr) return;
  pdf_value list;
  if (!pdf_resolve(*c.d, *f, &list) || list.k != pdf_value::kind::array) {
    dict_erase(a, "Fields");
    return;
  }
  std::vector<pdf_value> out;
  for (pdf_value& v : list.items) {
    if (v.k == pdf_value::kind::string) {
      out.push_back(std::move(v));
    } else if (v.k == pdf_value::kind::ref && c.fields) {
      auto it = c.fields->find(v.n);
      if (it != c.fields->end()) out.insert(out.end(), it->second.begin(), it->second.end());
    }
  }
  *dict_get(a, "Fields") = make_array(std::move(out));
}

bool rewrite_action_at(const dest_ctx& c, pdf_value& a, std::vector<int32_t>& chain);

// /Next: one action or an array of them, each rewritten; those left out are removed.
void rewrite_next(const dest_ctx& c, pdf_value& a, std::vector<int32_t>& chain) {
  pdf_value* next = dict_get(a, "Next");
  if (next == nullptr) return;
  std::vector<pdf_value> list;
  if (next->k == pdf_value::kind::array)
    list = std::move(next->items);
  else
    list.push_back(std::move(*next));
  std::vector<pdf_value> kept;
  for (pdf_value& n : list)
    if (rewrite_action_at(c, n, chain)) kept.push_back(std::move(n));
  if (kept.empty())
    dict_erase(a, "Next");
  else if (kept.size() == 1)
    *dict_get(a, "Next") = std::move(kept[0]);
  else
    *dict_get(a, "Next") = make_array(std::move(kept));
}

bool rewrite_action_at(const dest_ctx& c, pdf_value& a, std::vector<int32_t>& chain) {
  if (chain.size() >= kMaxChain) return false;
  const size_t depth = chain.size();
  if (a.k == pdf_value::kind::ref) {
    if (std::find(chain.begin(), chain.end(), a.n) != chain.end()) return false;
    chain.push_back(a.n);
    pdf_value v;
    if (!obj_value(*c.d, a.n, &v)) return false;
    a = std::move(v);
  } else {
    chain.push_back(0);
  }
  bool ok = a.k == pdf_value::kind::dict;
  const pdf_value* s = ok ? dict_get(a, "S") : nullptr;
  ok = ok && s != nullptr && action_kept(*s);
  if (ok && is_name(*s, "GoTo")) {
    pdf_value* d = dict_get(a, "D");
    ok = d != nullptr && rewrite_dest(c, *d);
  }
  if (ok && (is_name(*s, "SubmitForm") || is_name(*s, "ResetForm"))) rewrite_form_fields(c, a);
  if (ok) rewrite_next(c, a, chain);
  chain.resize(depth);
  return ok;
}

}  // namespace

void read_named_dests(dest_ctx& c, const pdf_value& catalog) {
  pdf_value dests;
  if (const pdf_value* d = dict_get(catalog, "Dests");
      d && pdf_resolve(*c.d, *d, &dests) && dests.k == pdf_value::kind::dict) {
    for (const pdf_entry& e : dests.keys) {
      pdf_value key = make_name({e.key.data() - 1, e.key.size() + 1});
      add_named(c, c.names.by_name, c.names.name_index, key, e.value);
    }
  }
  pdf_value names, tree;
  const pdf_value* n = dict_get(catalog, "Names");
  if (!n || !pdf_resolve(*c.d, *n, &names)) return;
  const pdf_value* t = dict_get(names, "Dests");
  if (!t || !pdf_resolve(*c.d, *t, &tree)) return;
  std::unordered_set<int32_t> seen;
  if (t->k == pdf_value::kind::ref) seen.insert(t->n);
  walk_name_tree(c, tree, 0, seen);
}

bool rewrite_explicit_dest(const dest_ctx& c, pdf_value& dest) {
  if (dest.k != pdf_value::kind::array || dest.items.size() < 2) return false;
  const page_place* p = place_of(c, dest.items[0]);
  if (p == nullptr || dest.items[1].k != pdf_value::kind::name) return false;
  dest.items[0] = make_out_ref(p->out_obj);
  move_fit(p->place, dest.items);
  return true;
}

bool rewrite_dest(const dest_ctx& c, pdf_value& dest) {
  if (dest.k == pdf_value::kind::name || dest.k == pdf_value::kind::string) {
    const named_dests::entry* e = find_named(c, dest);
    if (e == nullptr) return false;
    dest = e->dest;
    return true;
  }
  pdf_value v;
  if (!pdf_resolve(*c.d, dest, &v)) return false;
  if (v.k == pdf_value::kind::dict) {  // { /D [...] } written where a destination stands
    const pdf_value* d = dict_get(v, "D");
    pdf_value inner;
    if (d == nullptr || !pdf_resolve(*c.d, *d, &inner)) return false;
    v = std::move(inner);
  }
  if (!rewrite_explicit_dest(c, v)) return false;
  dest = std::move(v);
  return true;
}

bool rewrite_action(const dest_ctx& c, pdf_value& action) {
  std::vector<int32_t> chain;
  return rewrite_action_at(c, action, chain);
}

}  // namespace qm
