// Page placement and the content stream of each output page.
//
// An imported page is a Form XObject whose /Matrix already turns it by the page's rotation; the
// turned box then covers a rectangle whose corner depends on the box origin (x, y) and the
// rotation. The output page's content only translates each XObject so that this rectangle is
// centred on the page: "q 1 0 0 1 tx ty cm /Bg Do Q". Nothing is scaled or clipped.
#include "job/placement.h"

#include <string_view>

#include "text/numfmt.h"

namespace qm {

void rotated_size(const page_rec& p, double* w, double* h) {
  if (p.rotate % 180 == 0) {
    *w = p.width;
    *h = p.height;
  } else {
    *w = p.height;
    *h = p.width;
  }
}

void output_page_size(const overlay_job& j, int32_t t, double* w, double* h) {
  if (has_bg_layer(j, t))
    rotated_size(j.bg.pages[static_cast<size_t>(t)], w, h);
  else
    rotated_size(fg_page_of(j, t), w, h);
}

void calc_placement(const page_rec& p, double w, double h, double* tx, double* ty) {
  const double x = p.x0, y = p.y0;
  // Centring offsets of the turned box on the target (subtract first, then halve).
  double cx, cy;
  if (p.rotate % 180 == 0) {
    cx = (w - p.width) * 0.5;
    cy = (h - p.height) * 0.5;
  } else {
    cx = (w - p.height) * 0.5;
    cy = (h - p.width) * 0.5;
  }
  // Move the turned box's corner to the origin, then by the centring offsets. A rotation that is
  // no multiple of 90 is drawn unturned.
  switch (p.rotate % 360) {
    case 90:
      *tx = cx - y;
      *ty = cy + x;
      break;
    case 180:
      *tx = cx + x;
      *ty = cy + y;
      break;
    case 270:
      *tx = cx + y;
      *ty = cy - x;
      break;
    default:
      *tx = cx - x;
      *ty = cy - y;
      break;
  }
}

namespace {

// One drawing line: "q [/GSovl gs ]1 0 0 1 tx ty cm /Name Do Q\n".
void append_line(std::string& s, bool with_gs, double tx, double ty, std::string_view name) {
  const numtext a = fmt_num(tx), b = fmt_num(ty);
  s += with_gs ? "q /GSovl gs 1 0 0 1 " : "q 1 0 0 1 ";
  s += a.view();
  s += ' ';
  s += b.view();
  s += " cm /";
  s += name;
  s += " Do Q\n";
}

}  // namespace

void build_page_contents(overlay_job& j) {
  const auto n = static_cast<size_t>(j.total_pages);
  j.contents.clear();
  j.content_end.assign(n, 0);
  for (int32_t t = 0; t < j.total_pages; ++t) {
    double w, h;
    output_page_size(j, t, &w, &h);
    const bool bg = has_bg_layer(j, t), fg = has_fg_layer(j, t);
    double bx = 0, by = 0, fx = 0, fy = 0;
    if (bg) calc_placement(j.bg.pages[static_cast<size_t>(t)], w, h, &bx, &by);
    if (fg) calc_placement(fg_page_of(j, t), w, h, &fx, &fy);
    // Mode 0 draws the foreground last (on top), mode 1 first (underneath). The opacity state
    // applies to the foreground alone.
    if (fg && j.mode == 1) append_line(j.contents, j.translucent, fx, fy, "Fg");
    if (bg) append_line(j.contents, false, bx, by, "Bg");
    if (fg && j.mode != 1) append_line(j.contents, j.translucent, fx, fy, "Fg");
    j.content_end[static_cast<size_t>(t)] = j.contents.size();
  }
}

}  // namespace qm
