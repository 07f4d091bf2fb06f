// A page's visible box and its own rotation, read from one object's own dictionary.
#pragma once
#include "reader/doc.h"

namespace qm {

// The object's own /CropBox, else /MediaBox (each only as a direct array of four finite numbers
// with positive width and height, all below 1e15 in magnitude). Returns 1 with the box stored, or
// 0 leaving the outputs untouched.
int obj_box(const char* data, int32_t len, const obj_rec& o, double* x0, double* y0, double* width,
            double* height);

// The object's own /Rotate (looked up at the dictionary's top level) as a non-negative integer,
// not reduced; an indirect value is followed. -1 when there is none.
int32_t obj_rotate_own(const doc& d, const obj_rec& o);

}  // namespace qm
