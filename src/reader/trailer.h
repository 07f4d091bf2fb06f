// The trailer facts of a loaded file: the catalog named by /Root, the document information named
// by /Info, and whether it is encrypted.
#pragma once
#include "reader/doc.h"

namespace qm {

// Follows the cross-reference sections from the last "startxref" (classic tables with their
// trailers, cross-reference streams through /Prev) and sets d.trailer_root, d.trailer_info and
// d.encrypted from d.data. Never fails: a file without usable sections leaves them as they were.
void read_trailers(doc& d);

}  // namespace qm
