// Page placement: the output page size, where each layer's XObject goes, the page content streams.
#pragma once
#include <cstdint>

#include "job/job.h"
#include "reader/doc.h"

namespace qm {

// The page's size as displayed: width and height swapped unless the rotation is a multiple of 180.
void rotated_size(const page_rec& p, double* w, double* h);

// The size of output page t: its background page's displayed size, or its foreground page's
// when it has no background layer.
void output_page_size(const overlay_job& j, int32_t t, double* w, double* h);

// The translation that centres the page's XObject on a target of w by h.
void calc_placement(const page_rec& p, double w, double h, double* tx, double* ty);

// Fills j.contents and j.content_end with the content stream of every output page.
void build_page_contents(overlay_job& j);

}  // namespace qm
