// Page annotations carried to the output: one copy of each annotation dictionary per output page
// that shows its page, moved with the page.
#pragma once
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

#include "import/acroform.h"
#include "import/dests.h"
#include "import/pdfobj.h"

namespace qm {

// One input page shown on one output page.
struct annot_use {
  int32_t page_obj = 0;  // the input page's object number
  page_place where;      // the output page's object and the placement on it
  int turn = 0;          // the page's quarter turn (page_turn)
};

// The annotations of one document as they are copied.
struct annot_set {
  struct copy {
    pdf_value in;     // the input dictionary
    int32_t num = 0;  // its input number; 0 when written inside /Annots
    int32_t idx = 0;  // its new object
  };
  std::vector<std::vector<copy>> per_use;  // by use, in /Annots order
  // Widget input number -> the references of its copies.
  std::unordered_map<int32_t, std::vector<pdf_value>> widgets;
  // (appearance stream, turn) -> its turned copy.
  std::map<std::pair<int32_t, int>, int32_t> turned;
};

// Reads every use's /Annots and gives each annotation that can be read (a dictionary with a
// /Rect of four numbers) its new object; an annotation listed twice on one page is copied once.
// Widgets are left out unless keep_widgets (their form is carried).
void plan_annots(const doc& d, const std::vector<annot_use>& uses, bool keep_widgets,
                 std::vector<new_object>& objs, int source, annot_set& a);

// Fills the new objects: /P names the output page; /Popup, /IRT and a popup's /Parent name the
// copies on the same output page (or are left out), a widget's /Parent its field's new object;
// /StructParent, /AA and /OC are left out; /Dest and /A rewritten (left out when they lead
// nowhere); /Rect, /QuadPoints, /InkList, /Vertices, /L and /CL moved, /RD turned; on a turned
// page, unless the annotation has the NoRotate flag, its appearance streams are turned copies and
// its /MK /R turns back by the page's turn.
void fill_annots(const dest_ctx& c, const std::vector<annot_use>& uses, const form_plan* form,
                 annot_set& a, std::vector<new_object>& objs, int source);

}  // namespace qm
