// Annotations (ISO 32000-1, 12.5): dictionaries listed in a page's /Annots, positioned by /Rect
// in the page's default user space and drawn from their appearance streams (/AP), which a viewer
// fits into /Rect after their own /Matrix. Annotations refer to each other (/Popup, /IRT, a
// popup's /Parent) and to their page (/P); a widget refers to its field through /Parent.
#include "import/annots.h"

#include <unordered_set>

namespace qm {
namespace {

constexpr int kNoRotate = 16;  // annotation flag bit 5

// The geometry keys, which are moved, written in place when they were references.
constexpr std::string_view kGeometry[] = {"Rect", "QuadPoints", "Vertices", "L",
                                          "CL",   "InkList",    "RD"};

void geometry_direct(const doc& d, pdf_value& v) {
  for (std::string_view key : kGeometry) {
    pdf_value* g = dict_get(v, key);
    pdf_value direct;
    if (g == nullptr || g->k != pdf_value::kind::ref) continue;
    if (obj_value(d, g->n, &direct))
      *g = std::move(direct);
    else
      dict_erase(v, key);
  }
}

bool readable(const pdf_value& v) {
  std::vector<double> r;
  const pdf_value* rect = dict_get(v, "Rect");
  return v.k == pdf_value::kind::dict && rect != nullptr && as_numbers(*rect, &r) && r.size() == 4;
}

bool is_subtype(const pdf_value& v, std::string_view s) {
  const pdf_value* t = dict_get(v, "Subtype");
  return t != nullptr && is_name(*t, s);
}

// The page's /Annots entries.
std::vector<pdf_value> annots_of(const doc& d, int32_t page_obj) {
  // Most pages have none: a look for the key comes before reading the dictionary.
  const obj_rec* o = doc_find(d, page_obj);
  span s;
  if (o == nullptr || (o->in_objstm && o->text == nullptr) ||
      !dict_span(d.data.get(), d.len, *o, &s) ||
      find_name_top(s.t, s.end, s.start, s.end, "Annots") < 0)
    return {};
  pdf_value page, list;
  if (!obj_value(d, page_obj, &page)) return {};
  const pdf_value* a = dict_get(page, "Annots");
  if (a == nullptr || !pdf_resolve(d, *a, &list) || list.k != pdf_value::kind::array) return {};
  return std::move(list.items);
}

// A turned copy of appearance stream `num` (made once per stream and turn).
pdf_value turned_stream(const doc& d, int32_t num, int turn, annot_set& a,
                        std::vector<new_object>& objs, int source) {
  const auto key = std::make_pair(num, turn);
  if (auto it = a.turned.find(key); it != a.turned.end()) return make_new_ref(it->second);
  pdf_value dict;
  std::string_view data;
  if (!obj_stream_data(d, num, &data) || !obj_value(d, num, &dict) ||
      dict.k != pdf_value::kind::dict) {
    pdf_value same;
    same.k = pdf_value::kind::ref;
    same.n = num;
    return same;
  }
  dict_set(dict, "Matrix", turned_matrix(dict_get(dict, "Matrix"), turn));
  const int32_t idx = new_object_add(objs, std::move(dict), source);
  objs[static_cast<size_t>(idx)].is_stream = true;
  objs[static_cast<size_t>(idx)].stream = data;
  a.turned.emplace(key, idx);
  return make_new_ref(idx);
}

// /AP with every stream (in /N, /R, /D, directly or by appearance state) turned.
void turn_appearances(const doc& d, pdf_value& annot, int turn, annot_set& a,
                      std::vector<new_object>& objs, int source) {
  pdf_value* ap = dict_get(annot, "AP");
  pdf_value v;
  if (ap == nullptr || !pdf_resolve(d, *ap, &v) || v.k != pdf_value::kind::dict) return;
  for (pdf_entry& e : v.keys) {
    pdf_value states;
    const obj_rec* o = e.value.k == pdf_value::kind::ref ? doc_find(d, e.value.n) : nullptr;
    if (o != nullptr && !o->has_stream && obj_value(d, e.value.n, &states) &&
        states.k == pdf_value::kind::dict) {
      e.value = std::move(states);  // a dictionary of appearance states, made direct
    }
    if (e.value.k == pdf_value::kind::ref) {
      e.value = turned_stream(d, e.value.n, turn, a, objs, source);
    } else if (e.value.k == pdf_value::kind::dict) {
      for (pdf_entry& s : e.value.keys)
        if (s.value.k == pdf_value::kind::ref)
          s.value = turned_stream(d, s.value.n, turn, a, objs, source);
    }
  }
  *ap = std::move(v);
}

// /MK /R of a widget on a turned page.
void turn_mk(const doc& d, pdf_value& annot, int turn) {
  pdf_value* mk = dict_get(annot, "MK");
  pdf_value v;
  if (mk == nullptr || !pdf_resolve(d, *mk, &v) || v.k != pdf_value::kind::dict) return;
  double r = 0;
  if (const pdf_value* old = dict_get(v, "R")) as_number(*old, &r);
  dict_set(v, "R", make_number(widget_rotation(static_cast<int>(r), turn)));
  *mk = std::move(v);
}

void move_geometry(pdf_value& v, const affine& m, int turn) {
  if (pdf_value* r = dict_get(v, "Rect")) move_rect(*r, m);
  for (std::string_view key : {"QuadPoints", "Vertices", "L", "CL"})
    if (pdf_value* p = dict_get(v, key); p && !move_points(*p, m)) dict_erase(v, key);
  if (pdf_value* ink = dict_get(v, "InkList"); ink && !move_ink(*ink, m)) dict_erase(v, "InkList");
  if (pdf_value* rd = dict_get(v, "RD"); rd && turn != 0 && !turn_margins(*rd, turn))
    dict_erase(v, "RD");
}

// A key that names another annotation: the copy of that one on the same output page, else out.
void link_on_page(pdf_value& v, std::string_view key,
                  const std::unordered_map<int32_t, int32_t>& on_page) {
  pdf_value* r = dict_get(v, key);
  if (r == nullptr) return;
  auto it = r->k == pdf_value::kind::ref ? on_page.find(r->n) : on_page.end();
  if (it == on_page.end())
    dict_erase(v, key);
  else
    *r = make_new_ref(it->second);
}

void fill_one(const dest_ctx& c, const annot_use& u, const form_plan* form,
              const std::unordered_map<int32_t, int32_t>& on_page, annot_set& a,
              annot_set::copy& cp, std::vector<new_object>& objs, int source) {
  pdf_value v = cp.in;
  for (std::string_view key : {"P", "StructParent", "StructParents", "AA", "OC"})
    dict_erase(v, key);
  dict_set(v, "P", make_out_ref(u.where.out_obj));
  link_on_page(v, "Popup", on_page);
  link_on_page(v, "IRT", on_page);
  if (pdf_value* p = dict_get(v, "Parent")) {
    const bool field = form != nullptr && is_subtype(v, "Widget") && p->k == pdf_value::kind::ref &&
                       form->nodes.count(p->n) != 0;
    if (field)
      *p = make_new_ref(form->nodes.at(p->n));
    else
      link_on_page(v, "Parent", on_page);
  }
  if (pdf_value* d = dict_get(v, "Dest"); d && !rewrite_dest(c, *d)) dict_erase(v, "Dest");
  if (pdf_value* act = dict_get(v, "A"); act && !rewrite_action(c, *act)) dict_erase(v, "A");
  move_geometry(v, u.where.place, u.turn);
  double flags = 0;
  if (const pdf_value* f = dict_get(v, "F")) as_number(*f, &flags);
  if (u.turn != 0 && !(static_cast<int64_t>(flags) & kNoRotate)) {
    turn_appearances(*c.d, v, u.turn, a, objs, source);
    if (is_subtype(v, "Widget")) turn_mk(*c.d, v, u.turn);
  }
  objs[static_cast<size_t>(cp.idx)].value = std::move(v);
}

}  // namespace

void plan_annots(const doc& d, const std::vector<annot_use>& uses, bool keep_widgets,
                 std::vector<new_object>& objs, int source, annot_set& a) {
  a.per_use.assign(uses.size(), {});
  std::unordered_map<int32_t, std::vector<annot_set::copy>> read;  // per input page
  for (size_t k = 0; k < uses.size(); ++k) {
    auto [it, fresh] = read.try_emplace(uses[k].page_obj);
    if (fresh) {
      std::unordered_set<int32_t> listed;
      for (pdf_value& e : annots_of(d, uses[k].page_obj)) {
        annot_set::copy cp;
        if (e.k == pdf_value::kind::ref) {
          if (!listed.insert(e.n).second || !obj_value(d, e.n, &cp.in)) continue;
          cp.num = e.n;
        } else {
          cp.in = std::move(e);
        }
        if (cp.in.k == pdf_value::kind::dict) geometry_direct(d, cp.in);
        if (!readable(cp.in) || (!keep_widgets && is_subtype(cp.in, "Widget"))) continue;
        it->second.push_back(std::move(cp));
      }
    }
    for (const annot_set::copy& in : it->second) {
      annot_set::copy cp = in;
      cp.idx = new_object_add(objs, pdf_value{}, source);
      if (cp.num > 0 && is_subtype(cp.in, "Widget"))
        a.widgets[cp.num].push_back(make_new_ref(cp.idx));
      a.per_use[k].push_back(std::move(cp));
    }
  }
}

void fill_annots(const dest_ctx& c, const std::vector<annot_use>& uses, const form_plan* form,
                 annot_set& a, std::vector<new_object>& objs, int source) {
  for (size_t k = 0; k < uses.size(); ++k) {
    std::unordered_map<int32_t, int32_t> on_page;
    for (const annot_set::copy& cp : a.per_use[k])
      if (cp.num > 0) on_page.emplace(cp.num, cp.idx);
    for (annot_set::copy& cp : a.per_use[k])
      fill_one(c, uses[k], form, on_page, a, cp, objs, source);
  }
}

}  // namespace qm
