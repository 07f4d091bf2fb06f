// An input page turned into the body of a Form XObject for the output.
#pragma once
#include <string>
#include <string_view>

#include "import/resources.h"
#include "reader/doc.h"
#include "text/buf.h"

namespace qm {

// The body: stream dictionary with /BBox, /Matrix for the rotation, /Length and the renumbered
// /Resources, then "stream", the page's decoded and joined content, "\nendstream". Any input,
// however broken, yields a body; only exhausted memory throws std::bad_alloc.
std::string build_form_xobject(const doc& d, const obj_rec& o, const page_rec& p,
                               const renum_map& m);

// A page's content: its /Contents streams decoded and joined. `bytes` views either the
// document's own bytes or `joined`. `stored`, when not empty, views the document's own
// Flate-compressed bytes of that same content, which may go to the output as they are
// (read_page_content_stored); `packed`, when not empty, holds the content compressed for the
// output by the job's compressor.
struct page_content {
  buf joined;
  std::string_view bytes;
  std::string_view stored;
  buf packed;
};

// Reads the content of page object o into c (emptied first; its buffer is reused). It only reads
// the document, so any number of threads may read pages of one loaded document at once. Only
// exhausted memory throws std::bad_alloc.
void read_page_content(const doc& d, const obj_rec& o, page_content& c);

// The page dictionary's text, where there is one to read (a page in an object stream whose text
// was not kept has none).
bool page_span(const doc& d, const obj_rec& o, span* s);

// The same body appended to out, the page's inherited resources looked up through memo (one memo
// per document and job). The content is read here, unless `pre` holds what read_page_content
// gave for this page. With `group`, the XObject is a transparency group (" /Group << /S
// /Transparency >>" right after the /Length number): it is composited on its own and then faded
// as a whole by the alpha of the page that draws it, so nothing the page's content sets inside
// (its own /ca or /CA, soft masks, blend modes) can undo the fade. With `compact`, the content
// goes out Flate-compressed (" /Filter /FlateDecode" right after the /Length number): pre's
// stored bytes where it has them, else its packed ones; a content that has neither goes out as
// it is.
void append_form_xobject(const doc& d, const obj_rec& o, const page_rec& p, const renum_map& m,
                         ancestor_memo& memo, buf& out, const page_content* pre = nullptr,
                         bool group = false, bool compact = false);

}  // namespace qm
