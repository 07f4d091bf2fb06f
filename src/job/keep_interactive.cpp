// Keeping the interactive features in a job: the pages' placements handed to the import, and the
// new objects numbered after the copied resources.
#include "job/keep_interactive.h"

#include <algorithm>

#include "import/geometry.h"
#include "job/job.h"
#include "job/out_stream.h"
#include "job/placement.h"
#include "text/numfmt.h"

namespace qm {
namespace {

// Input page p on output page t.
annot_use use_of(const page_rec& p, int32_t t, double w, double h) {
  double tx, ty;
  calc_placement(p, w, h, &tx, &ty);
  annot_use u;
  u.page_obj = p.num;
  u.where.out_obj = 3 + t;  // the page objects' numbers (writer.cpp)
  u.where.place = page_placement(p, tx, ty);
  u.turn = page_turn(p);
  return u;
}

void add_use(interactive_source& s, const annot_use& u, int32_t t, bool target) {
  s.uses.push_back(u);
  s.use_page.push_back(t);
  if (target) s.targets.try_emplace(u.page_obj, u.where);
}

std::vector<int32_t> marked(const std::vector<uint8_t>& stop) {
  std::vector<int32_t> out;
  for (size_t n = 0; n < stop.size(); ++n)
    if (stop[n]) out.push_back(static_cast<int32_t>(n));
  return out;
}

}  // namespace

void interactive_collect(overlay_job& j) {
  if (!j.keep_interactive) return;
  interactive_source src[2];
  src[0].d = &j.bg;
  src[1].d = &j.fg;
  src[0].document = true;
  for (int32_t t = 0; t < j.total_pages; ++t) {
    double w, h;
    output_page_size(j, t, &w, &h);
    if (has_bg_layer(j, t))
      add_use(src[0], use_of(j.bg.pages[static_cast<size_t>(t)], t, w, h), t, true);
    // A stamp's page is drawn on every page but is the destination of none.
    if (has_fg_layer(j, t)) add_use(src[1], use_of(fg_page_of(j, t), t, w, h), t, j.stamp != 1);
  }
  choose_form(src, j.stamp != 1);
  interactive_build(src, j.total_pages, j.inter.plan);
  const interactive_plan& p = j.inter.plan;
  j.bg_refs.insert(j.bg_refs.end(), p.seeds[0].begin(), p.seeds[0].end());
  j.fg_refs.insert(j.fg_refs.end(), p.seeds[1].begin(), p.seeds[1].end());
}

void interactive_number(overlay_job& j) {
  if (!j.keep_interactive) return;
  interactive_part& in = j.inter;
  in.first_new = j.obj_count;
  j.obj_count += static_cast<int32_t>(in.plan.objs.size());
  j.obj_offset.resize(static_cast<size_t>(j.obj_count), -1);
  j.bg_map.nulled = marked(in.plan.stop[0]);
  j.fg_map.nulled = marked(in.plan.stop[1]);
  const renum_map* maps[2] = {&j.bg_map, &j.fg_map};
  in.texts.clear();
  for (size_t k = 0; k < in.plan.objs.size(); ++k)
    in.texts.push_back(interactive_object_text(in.plan, k, maps, in.first_new));
  in.catalog = interactive_catalog_text(in.plan, maps, in.first_new);
  in.info = interactive_info_text(in.plan, maps);
  // The plan's values view the input documents, which are released before the objects are
  // written; only the texts are kept.
  in.plan.objs.clear();
  in.plan.catalog.clear();
}

void interactive_write(overlay_job& j) {
  if (!j.keep_interactive) return;
  interactive_part& in = j.inter;
  for (size_t k = 0; k < in.texts.size(); ++k) {
    const int64_t num = static_cast<int64_t>(in.first_new) + static_cast<int64_t>(k);
    j.obj_offset[static_cast<size_t>(num)] = out_pos(j);
    buf_str(j.out, fmt_int(num).view());
    buf_str(j.out, " 0 obj\n");
    buf_str(j.out, in.texts[k]);
    buf_str(j.out, "\nendobj\n");
    output_hand_over(j.stream.get(), j.out, &j.out_base);
  }
}

}  // namespace qm
