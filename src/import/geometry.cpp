// Annotation geometry under the placement of its page.
//
// The output page has no /Rotate: an input page turned clockwise by r degrees for display is
// drawn through a Form XObject whose /Matrix turns its content by the same r, then translated to
// its place. Every coordinate of the page's annotations, which are given in the input page's
// default user space, goes through the same two steps. A quarter turn only exchanges and mirrors
// the axes, so each coordinate of a moved point depends on one input coordinate alone.
#include "import/geometry.h"

#include <algorithm>
#include <cmath>

namespace qm {

affine affine_then(const affine& m, const affine& n) {
  affine r;
  r.a = m.a * n.a + m.b * n.c;
  r.b = m.a * n.b + m.b * n.d;
  r.c = m.c * n.a + m.d * n.c;
  r.d = m.c * n.b + m.d * n.d;
  r.e = m.e * n.a + m.f * n.c + n.e;
  r.f = m.e * n.b + m.f * n.d + n.f;
  return r;
}

void affine_apply(const affine& m, double x, double y, double* ox, double* oy) {
  *ox = m.a * x + m.c * y + m.e;
  *oy = m.b * x + m.d * y + m.f;
}

int page_turn(const page_rec& p) {
  const int r = p.rotate % 360;
  return r == 90 || r == 180 || r == 270 ? r : 0;
}

namespace {

affine quarter(int turn) {  // clockwise by turn, about the origin
  switch (turn) {
    case 90:
      return {0, -1, 1, 0, 0, 0};
    case 180:
      return {-1, 0, 0, -1, 0, 0};
    case 270:
      return {0, 1, -1, 0, 0, 0};
    default:
      return {};
  }
}

}  // namespace

affine page_turn_matrix(const page_rec& p) {
  affine m = quarter(page_turn(p));
  switch (page_turn(p)) {
    case 90:
      m.f = p.width;
      break;
    case 180:
      m.e = p.width;
      m.f = p.height;
      break;
    case 270:
      m.e = p.height;
      break;
    default:
      break;
  }
  return m;
}

affine page_placement(const page_rec& p, double tx, double ty) {
  affine m = page_turn_matrix(p);
  m.e += tx;
  m.f += ty;
  return m;
}

bool move_rect(pdf_value& v, const affine& m) {
  std::vector<double> n;
  if (!as_numbers(v, &n) || n.size() != 4) return false;
  double xs[4], ys[4];
  affine_apply(m, n[0], n[1], &xs[0], &ys[0]);
  affine_apply(m, n[2], n[3], &xs[1], &ys[1]);
  affine_apply(m, n[0], n[3], &xs[2], &ys[2]);
  affine_apply(m, n[2], n[1], &xs[3], &ys[3]);
  v = make_array(
      {make_number(*std::min_element(xs, xs + 4)), make_number(*std::min_element(ys, ys + 4)),
       make_number(*std::max_element(xs, xs + 4)), make_number(*std::max_element(ys, ys + 4))});
  return true;
}

bool move_points(pdf_value& v, const affine& m) {
  std::vector<double> n;
  if (!as_numbers(v, &n) || n.size() % 2 != 0) return false;
  for (size_t i = 0; i < n.size(); i += 2) {
    double x, y;
    affine_apply(m, n[i], n[i + 1], &x, &y);
    v.items[i] = make_number(x);
    v.items[i + 1] = make_number(y);
  }
  return true;
}

bool move_ink(pdf_value& v, const affine& m) {
  if (v.k != pdf_value::kind::array) return false;
  for (pdf_value& path : v.items)
    if (!move_points(path, m)) return false;
  return true;
}

bool turn_margins(pdf_value& v, int turn) {
  std::vector<double> n;
  if (!as_numbers(v, &n) || n.size() != 4) return false;
  // Which input margin becomes the output's left, bottom, right, top.
  static constexpr int order[4][4] = {{0, 1, 2, 3}, {1, 2, 3, 0}, {2, 3, 0, 1}, {3, 0, 1, 2}};
  const int* o = order[(turn / 90) & 3];
  v = make_array(
      {make_number(n[o[0]]), make_number(n[o[1]]), make_number(n[o[2]]), make_number(n[o[3]])});
  return true;
}

pdf_value turned_matrix(const pdf_value* matrix, int turn) {
  affine old;
  std::vector<double> n;
  if (matrix != nullptr && as_numbers(*matrix, &n) && n.size() == 6)
    old = {n[0], n[1], n[2], n[3], n[4], n[5]};
  const affine r = affine_then(old, quarter(turn));
  return make_array({make_number(r.a), make_number(r.b), make_number(r.c), make_number(r.d),
                     make_number(r.e), make_number(r.f)});
}

int widget_rotation(int old_r, int turn) {
  int r = (old_r - turn) % 360;
  if (r < 0) r += 360;
  return r;
}

}  // namespace qm
