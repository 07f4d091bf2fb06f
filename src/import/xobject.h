// An input page turned into the body of a Form XObject for the output.
#pragma once
#include <string>

#include "import/resources.h"
#include "reader/doc.h"
#include "text/buf.h"

namespace qm {

// The body: stream dictionary with /BBox, /Matrix for the rotation, /Length and the renumbered
// /Resources, then "stream", the page's decoded and joined content, "\nendstream". Any input,
// however broken, yields a body; only exhausted memory throws std::bad_alloc.
std::string build_form_xobject(const doc& d, const obj_rec& o, const page_rec& p,
                               const renum_map& m);

// The same body appended to out, the page's inherited resources looked up through memo (one memo
// per document and job).
void append_form_xobject(const doc& d, const obj_rec& o, const page_rec& p, const renum_map& m,
                         ancestor_memo& memo, buf& out);

}  // namespace qm
