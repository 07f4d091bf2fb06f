// Moving annotation geometry by the transformation that places an input page on an output page.
#pragma once
#include "import/pdfobj.h"
#include "reader/doc.h"

namespace qm {

// An affine map of PDF's form [a b c d e f]: (x, y) -> (a x + c y + e, b x + d y + f).
struct affine {
  double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;
};

// First m, then n.
affine affine_then(const affine& m, const affine& n);
void affine_apply(const affine& m, double x, double y, double* ox, double* oy);

// The quarter turn the page's XObject carries: its rotation modulo 360 when that is 90, 180 or
// 270, else 0 (a page turned by any other angle is drawn unturned).
int page_turn(const page_rec& p);

// The XObject's /Matrix for the page: the turn, then the shift that brings the turned box back to
// positive coordinates (at width or height).
affine page_turn_matrix(const page_rec& p);

// The whole placement: the turn matrix, then the translation (tx, ty) of the page's drawing line.
affine page_placement(const page_rec& p, double tx, double ty);

// A rectangle [x1 y1 x2 y2] replaced by the bounding box of its moved corners, written
// lower-left first. False (v unchanged) when it is not four numbers.
bool move_rect(pdf_value& v, const affine& m);

// An array of x y pairs (/QuadPoints, /Vertices, /L, /CL) moved point by point. False when it is
// not an even number of numbers.
bool move_points(pdf_value& v, const affine& m);

// /InkList: an array of point arrays.
bool move_ink(pdf_value& v, const affine& m);

// /RD [left bottom right top]: the margins follow their edges around a quarter turn.
bool turn_margins(pdf_value& v, int turn);

// An appearance stream's /Matrix (identity when absent) followed by the turn, as a new array.
pdf_value turned_matrix(const pdf_value* matrix, int turn);

// The turn as a counterclockwise angle to add to a widget's /MK /R: the page turned clockwise by
// `turn` for display showed the widget turned back by as much.
int widget_rotation(int old_r, int turn);

}  // namespace qm
