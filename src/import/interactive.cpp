// The interactive features of a job, put together: per document its annotations and form, and
// from the background the document level (outline, named destinations, catalog entries, /Info).
//
// Everything rewritten is a new object; what the rewritten objects name without being rewritten
// (appearance streams, fonts of the form's /DR, field values, the XMP metadata) goes into the
// document's resource closure, so that it is copied and renumbered with the pages' resources and
// each input object is copied by one rule. References to pages are never followed: a page shown
// on the output becomes that output page, any other page null.
#include "import/interactive.h"

#include <algorithm>
#include <unordered_set>

#include "import/outline.h"
#include "text/numfmt.h"

namespace qm {
namespace {

constexpr int kMaxTreeDepth = 64;

// Pages, the page tree above them, and the catalog.
std::vector<uint8_t> stop_set(const doc& d) {
  std::vector<uint8_t> stop(static_cast<size_t>(std::max(d.max_objnum, 0)) + 1, 0);
  auto mark = [&](int32_t n) {
    if (n > 0 && n <= d.max_objnum) stop[static_cast<size_t>(n)] = 1;
  };
  mark(d.catalog);
  std::unordered_set<int32_t> nodes;
  for (const page_rec& p : d.pages) {
    mark(p.num);
    int32_t n = p.parent;
    for (int depth = 0; depth < kMaxTreeDepth && n > 0 && nodes.insert(n).second; ++depth) {
      mark(n);
      pdf_value v;
      const pdf_value* up = obj_value(d, n, &v) ? dict_get(v, "Parent") : nullptr;
      n = up != nullptr && up->k == pdf_value::kind::ref ? up->n : 0;
    }
  }
  return stop;
}

struct settler {
  const doc& d;
  const std::unordered_map<int32_t, page_place>& targets;
  const std::vector<uint8_t>& stop;
  std::unordered_set<int32_t> pages;
  std::vector<int32_t>& seeds;

  void operator()(pdf_value& v) {
    using K = pdf_value::kind;
    if (v.k == K::array) {
      for (pdf_value& x : v.items) (*this)(x);
    } else if (v.k == K::dict) {
      for (pdf_entry& e : v.keys) (*this)(e.value);
    } else if (v.k == K::ref) {
      if (pages.count(v.n)) {
        auto it = targets.find(v.n);
        v = it == targets.end() ? pdf_value{} : make_out_ref(it->second.out_obj);
      } else if (v.n > 0 && v.n <= d.max_objnum && stop[static_cast<size_t>(v.n)]) {
        v = pdf_value{};
      } else {
        seeds.push_back(v.n);
      }
    }
  }
};

// The document information: the trailers' /Info as the reader found it; for a file whose
// cross-reference sections could not be followed, the /Info of the last "trailer" dictionary
// that names an object of the file.
int32_t info_number(const doc& d) {
  if (d.trailer_info > 0) return d.trailer_info;
  const char* t = d.data.get();
  const std::string_view all(t, static_cast<size_t>(std::max(d.len, 0)));
  for (size_t at = all.rfind("trailer"); at != std::string_view::npos;
       at = at == 0 ? std::string_view::npos : all.rfind("trailer", at - 1)) {
    const pos_t p = static_cast<pos_t>(at);
    if (!kw_at(t, p, d.len, "trailer")) continue;
    pos_t end = find_kw(t, d.len, p, "startxref");
    if (end < 0) end = d.len;
    const pos_t key = find_name(t, d.len, p, end, "Info");
    if (key < 0) continue;
    const int32_t n = int_after_key(t, key, "Info", end);
    if (n > 0 && doc_find(d, n) != nullptr) return n;
  }
  return -1;
}

// The catalog entries taken over as they are (their references go into the closure).
void plain_catalog_entries(const pdf_value& catalog, interactive_plan& p) {
  for (std::string_view key : {"PageLabels", "Lang", "ViewerPreferences", "PageMode", "Metadata"})
    if (const pdf_value* v = dict_get(catalog, key)) p.catalog.push_back({key, *v});
}

// The named destinations that lead somewhere: /Dests, and a flat /Names /Dests tree sorted by key.
void named_catalog_entries(const dest_ctx& c, interactive_plan& p) {
  if (!c.names.by_name.empty()) {
    pdf_value dests;
    dests.k = pdf_value::kind::dict;
    for (const named_dests::entry& e : c.names.by_name)
      dests.keys.push_back({e.key.text.substr(1), e.dest});
    p.catalog.push_back({"Dests", std::move(dests)});
  }
  if (c.names.by_string.empty()) return;
  std::vector<const named_dests::entry*> sorted;
  for (const named_dests::entry& e : c.names.by_string) sorted.push_back(&e);
  std::stable_sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) {
    return string_bytes(a->key.text) < string_bytes(b->key.text);
  });
  pdf_value list = make_array({});
  for (const named_dests::entry* e : sorted) {
    list.items.push_back(e->key);
    list.items.push_back(e->dest);
  }
  pdf_value tree, names;
  tree.k = names.k = pdf_value::kind::dict;
  dict_set(tree, "Names", std::move(list));
  dict_set(names, "Dests", make_new_ref(new_object_add(p.objs, std::move(tree), 0)));
  p.catalog.push_back({"Names", std::move(names)});
}

void build_source(interactive_source& s, int source, interactive_plan& p) {
  const doc& d = *s.d;
  pdf_value catalog;
  obj_value(d, d.catalog, &catalog);
  dest_ctx c;
  c.d = &d;
  c.shown = s.targets;
  read_named_dests(c, catalog);
  const size_t first = p.objs.size();
  form_plan form;
  const bool with_form = s.form && plan_form(d, catalog, p.objs, source, form);
  annot_set a;
  plan_annots(d, s.uses, s.keep_widgets, p.objs, source, a);
  const auto fields = form_field_refs(form, a.widgets);
  c.fields = &fields;
  fill_annots(c, s.uses, with_form ? &form : nullptr, a, p.objs, source);
  finish_form(form, fields, p.objs);
  for (size_t k = 0; k < s.uses.size(); ++k)
    for (const annot_set::copy& cp : a.per_use[k])
      p.page_annots[static_cast<size_t>(s.use_page[k])].push_back(cp.idx);
  if (with_form) p.catalog.push_back({"AcroForm", make_new_ref(form.form)});
  if (s.document) {
    const int32_t outline = copy_outline(c, catalog, p.objs, source);
    if (outline >= 0) p.catalog.push_back({"Outlines", make_new_ref(outline)});
    named_catalog_entries(c, p);
    plain_catalog_entries(catalog, p);
    // The information is a dictionary of the file's own; a trailer that names anything else
    // (an object the file lacks, the catalog, a number) carries nothing over.
    const int32_t info = info_number(d);
    pdf_value info_value;
    if (info > 0 && info != d.catalog && obj_value(d, info, &info_value) &&
        info_value.k == pdf_value::kind::dict) {
      p.info.k = pdf_value::kind::ref;
      p.info.n = info;
    }
  }
  // Settle what was made from this document.
  p.stop[source] = stop_set(d);
  settler st{d, s.targets, p.stop[source], {}, p.seeds[source]};
  for (const page_rec& pg : d.pages) st.pages.insert(pg.num);
  for (size_t k = first; k < p.objs.size(); ++k)
    if (p.objs[k].source == source) st(p.objs[k].value);
  if (s.document) {
    for (pdf_entry& e : p.catalog) st(e.value);
    st(p.info);
  }
}

struct ref_text {
  const interactive_plan& p;
  const renum_map* const* maps;
  int32_t first_new;
  int source;

  void operator()(std::string& out, const pdf_value& v) const {
    int64_t n = -1;
    if (v.k == pdf_value::kind::new_ref)
      n = static_cast<int64_t>(first_new) + v.n;
    else if (v.k == pdf_value::kind::out_ref)
      n = v.n;
    else if (maps[source] != nullptr)
      n = map_lookup(*maps[source], v.n);
    if (n <= 0) {
      out += "null";
      return;
    }
    out += fmt_int(n).view();
    out += " 0 R";
  }
};

}  // namespace

void choose_form(interactive_source src[2], bool merge) {
  pdf_value cat[2];
  bool has[2] = {false, false};
  for (int s = 0; s < 2; ++s)
    if (src[s].d && obj_value(*src[s].d, src[s].d->catalog, &cat[s]))
      has[s] = has_form(*src[s].d, cat[s]);
  src[0].form = has[0];
  src[1].form = !has[0] && merge && has[1];
  // A widget goes with its form; a document without a form keeps its widgets as annotations.
  for (int s = 0; s < 2; ++s) src[s].keep_widgets = src[s].form || !has[s];
}

void interactive_build(interactive_source src[2], int32_t total_pages, interactive_plan& p) {
  p.page_annots.assign(static_cast<size_t>(std::max(total_pages, 0)), {});
  for (int s = 0; s < 2; ++s)
    if (src[s].d != nullptr) build_source(src[s], s, p);
}

std::string interactive_object_text(const interactive_plan& p, size_t k, const renum_map* maps[2],
                                    int32_t first_new) {
  const new_object& o = p.objs[k];
  ref_text refs{p, maps, first_new, o.source};
  std::string out;
  pdf_write(o.value, out, refs);
  if (o.is_stream) {
    out += "\nstream\n";
    out += o.stream;
    out += "\nendstream";
  }
  return out;
}

std::string interactive_catalog_text(const interactive_plan& p, const renum_map* maps[2],
                                     int32_t first_new) {
  ref_text refs{p, maps, first_new, 0};
  std::string out;
  for (const pdf_entry& e : p.catalog) {
    out += " /";
    out += e.key;
    out += ' ';
    pdf_write(e.value, out, refs);
  }
  return out;
}

std::string interactive_annots_text(const interactive_plan& p, int32_t page, int32_t first_new) {
  if (page < 0 || static_cast<size_t>(page) >= p.page_annots.size()) return {};
  const std::vector<int32_t>& list = p.page_annots[static_cast<size_t>(page)];
  if (list.empty()) return {};
  std::string out = " /Annots [";
  for (size_t i = 0; i < list.size(); ++i) {
    if (i) out += ' ';
    out += fmt_int(static_cast<int64_t>(first_new) + list[i]).view();
    out += " 0 R";
  }
  out += ']';
  return out;
}

std::string interactive_info_text(const interactive_plan& p, const renum_map* maps[2]) {
  if (p.info.k != pdf_value::kind::ref || maps[0] == nullptr) return {};
  const int32_t n = map_lookup(*maps[0], p.info.n);
  if (n <= 0) return {};
  return " /Info " + std::string(fmt_int(n).view()) + " 0 R";
}

}  // namespace qm
