// Outline items (ISO 32000-1, 12.3.3): a tree linked through /First, /Last, /Next, /Prev and
// /Parent, whose /Count says how many descendants are visible (positive: the item is open) or
// would be when opened (negative: closed).
#include "import/outline.h"

#include <unordered_set>

namespace qm {
namespace {

constexpr int kMaxDepth = 64;

struct walker {
  const dest_ctx& c;
  std::vector<new_object>& objs;
  int source;
  std::unordered_set<int32_t> seen;
};

// The item as carried: the keys a reader shows, the destination rewritten.
pdf_value item_copy(const walker& w, const pdf_value& in) {
  pdf_value out;
  out.k = pdf_value::kind::dict;
  for (std::string_view key : {"Title", "C", "F"})
    if (const pdf_value* v = dict_get(in, key)) dict_set(out, key, *v);
  if (const pdf_value* d = dict_get(in, "Dest")) {
    pdf_value dest = *d;
    if (rewrite_dest(w.c, dest)) dict_set(out, "Dest", std::move(dest));
  } else if (const pdf_value* a = dict_get(in, "A")) {
    pdf_value act = *a;
    if (rewrite_action(w.c, act)) dict_set(out, "A", std::move(act));
  }
  return out;
}

bool is_open(const pdf_value& in) {
  double n;
  const pdf_value* c = dict_get(in, "Count");
  return c != nullptr && as_number(*c, &n) && n > 0;
}

// Copies the list that starts at `first` under the new object `parent`; returns the items'
// count of visible entries below parent when it is open.
int64_t copy_list(walker& w, const pdf_value* first, int32_t parent, int depth) {
  std::vector<int32_t> kids;
  std::vector<bool> open;
  int64_t visible = 0;
  pdf_value at = first ? *first : pdf_value{}, in;
  while (depth < kMaxDepth && at.k == pdf_value::kind::ref && w.seen.insert(at.n).second &&
         obj_value(*w.c.d, at.n, &in) && in.k == pdf_value::kind::dict) {
    const int32_t idx = new_object_add(w.objs, item_copy(w, in), w.source);
    dict_set(w.objs[static_cast<size_t>(idx)].value, "Parent", make_new_ref(parent));
    const int64_t below = copy_list(w, dict_get(in, "First"), idx, depth + 1);
    const bool op = is_open(in);
    if (below > 0)
      dict_set(w.objs[static_cast<size_t>(idx)].value, "Count",
               make_number(static_cast<double>(op ? below : -below)));
    visible += 1 + (op ? below : 0);
    kids.push_back(idx);
    open.push_back(op);
    const pdf_value* next = dict_get(in, "Next");
    if (next == nullptr) break;
    at = *next;
  }
  for (size_t i = 0; i < kids.size(); ++i) {
    pdf_value& v = w.objs[static_cast<size_t>(kids[i])].value;
    if (i > 0) dict_set(v, "Prev", make_new_ref(kids[i - 1]));
    if (i + 1 < kids.size()) dict_set(v, "Next", make_new_ref(kids[i + 1]));
  }
  if (!kids.empty()) {
    pdf_value& p = w.objs[static_cast<size_t>(parent)].value;
    dict_set(p, "First", make_new_ref(kids.front()));
    dict_set(p, "Last", make_new_ref(kids.back()));
  }
  return visible;
}

}  // namespace

int32_t copy_outline(const dest_ctx& c, const pdf_value& catalog, std::vector<new_object>& objs,
                     int source) {
  const pdf_value* o = dict_get(catalog, "Outlines");
  pdf_value root;
  if (o == nullptr || !pdf_resolve(*c.d, *o, &root) || root.k != pdf_value::kind::dict) return -1;
  pdf_value top;
  top.k = pdf_value::kind::dict;
  dict_set(top, "Type", make_name("/Outlines"));
  const int32_t idx = new_object_add(objs, std::move(top), source);
  walker w{c, objs, source, {}};
  if (o->k == pdf_value::kind::ref) w.seen.insert(o->n);
  const int64_t visible = copy_list(w, dict_get(root, "First"), idx, 0);
  if (visible > 0)
    dict_set(objs[static_cast<size_t>(idx)].value, "Count",
             make_number(static_cast<double>(visible)));
  return idx;
}

}  // namespace qm
