// Interactive forms (ISO 32000-1, 12.7): the form dictionary and the field tree. Fields are
// linked downwards by /Kids and upwards by /Parent; a terminal field with one widget is often one
// dictionary that is field and annotation at once (/Subtype /Widget).
#include "import/acroform.h"

#include <unordered_set>

namespace qm {
namespace {

constexpr int kMaxDepth = 64;

bool is_widget(const pdf_value& v) {
  const pdf_value* s = dict_get(v, "Subtype");
  return s != nullptr && is_name(*s, "Widget");
}

// Input numbers of the references in an array (or a reference to one).
std::vector<int32_t> ref_list(const doc& d, const pdf_value* v) {
  std::vector<int32_t> out;
  pdf_value a;
  if (v == nullptr || !pdf_resolve(d, *v, &a) || a.k != pdf_value::kind::array) return out;
  for (const pdf_value& x : a.items)
    if (x.k == pdf_value::kind::ref) out.push_back(x.n);
  return out;
}

struct tree_walk {
  const doc& d;
  std::vector<new_object>& objs;
  int source;
  form_plan& f;
  std::unordered_set<int32_t> seen;
};

// The field `num` below the field node `parent` (-1 at the top) and its kids.
void walk_field(tree_walk& w, int32_t num, int32_t parent, int depth) {
  if (depth > kMaxDepth || !w.seen.insert(num).second) return;
  pdf_value v;
  if (!obj_value(w.d, num, &v) || v.k != pdf_value::kind::dict || is_widget(v)) return;
  std::vector<int32_t> kids = ref_list(w.d, dict_get(v, "Kids"));
  dict_erase(v, "AA");
  dict_erase(v, "Kids");
  dict_erase(v, "Parent");
  if (parent >= 0) dict_set(v, "Parent", make_new_ref(parent));
  const int32_t idx = new_object_add(w.objs, std::move(v), w.source);
  w.f.nodes.emplace(num, idx);
  for (int32_t k : kids) walk_field(w, k, idx, depth + 1);
  w.f.kids.emplace(num, std::move(kids));
}

std::vector<pdf_value> refs_for(const std::vector<int32_t>& nums,
                                const std::unordered_map<int32_t, std::vector<pdf_value>>& refs) {
  std::vector<pdf_value> out;
  for (int32_t n : nums)
    if (auto it = refs.find(n); it != refs.end())
      out.insert(out.end(), it->second.begin(), it->second.end());
  return out;
}

}  // namespace

bool has_form(const doc& d, const pdf_value& catalog) {
  pdf_value form;
  const pdf_value* a = dict_get(catalog, "AcroForm");
  return a != nullptr && pdf_resolve(d, *a, &form) && form.k == pdf_value::kind::dict &&
         dict_get(form, "Fields") != nullptr;
}

bool plan_form(const doc& d, const pdf_value& catalog, std::vector<new_object>& objs, int source,
               form_plan& f) {
  pdf_value form;
  const pdf_value* a = dict_get(catalog, "AcroForm");
  if (a == nullptr || !pdf_resolve(d, *a, &form) || form.k != pdf_value::kind::dict) return false;
  f.fields = ref_list(d, dict_get(form, "Fields"));
  f.calc = ref_list(d, dict_get(form, "CO"));
  dict_erase(form, "Fields");
  dict_erase(form, "CO");
  f.form = new_object_add(objs, std::move(form), source);
  tree_walk w{d, objs, source, f, {}};
  for (int32_t n : f.fields) walk_field(w, n, -1, 0);
  return true;
}

std::unordered_map<int32_t, std::vector<pdf_value>> form_field_refs(
    const form_plan& f, const std::unordered_map<int32_t, std::vector<pdf_value>>& widgets) {
  std::unordered_map<int32_t, std::vector<pdf_value>> refs = widgets;
  for (const auto& [num, idx] : f.nodes) refs[num] = {make_new_ref(idx)};
  return refs;
}

void finish_form(const form_plan& f,
                 const std::unordered_map<int32_t, std::vector<pdf_value>>& refs,
                 std::vector<new_object>& objs) {
  if (f.form < 0) return;
  pdf_value& form = objs[static_cast<size_t>(f.form)].value;
  dict_set(form, "Fields", make_array(refs_for(f.fields, refs)));
  if (!f.calc.empty()) dict_set(form, "CO", make_array(refs_for(f.calc, refs)));
  for (const auto& [num, idx] : f.nodes) {
    auto k = f.kids.find(num);
    if (k == f.kids.end() || k->second.empty()) continue;
    dict_set(objs[static_cast<size_t>(idx)].value, "Kids", make_array(refs_for(k->second, refs)));
  }
}

}  // namespace qm
