// The interactive form (/AcroForm) carried to the output with one document's widgets.
#pragma once
#include <unordered_map>
#include <vector>

#include "import/pdfobj.h"
#include "reader/doc.h"

namespace qm {

// A document's form as it is copied. Fields that are not also widget annotations become new
// objects here; a widget (a terminal field merged with its annotation, or a kid of a field) is
// copied with its page's annotations, once per output page that shows it.
struct form_plan {
  int32_t form = -1;                           // new object of the form dictionary; -1: no form
  std::unordered_map<int32_t, int32_t> nodes;  // field input number -> its new object
  std::vector<int32_t> fields;                 // /Fields, input numbers in order
  std::unordered_map<int32_t, std::vector<int32_t>> kids;  // field input number -> /Kids
  std::vector<int32_t> calc;                               // /CO, input numbers
};

// Whether the catalog has a form with a /Fields array.
bool has_form(const doc& d, const pdf_value& catalog);

// Reads the form of the catalog: the dictionary (its /DR, /DA, /Q, /NeedAppearances, /SigFlags
// and the rest kept) and the field tree below /Fields, each field's /AA left out. A field reached
// a second time (a cycle in /Kids) is not followed again. False when there is no form.
bool plan_form(const doc& d, const pdf_value& catalog, std::vector<new_object>& objs, int source,
               form_plan& f);

// The objects that stand for each field on the output: its new object, or the copies of a widget.
std::unordered_map<int32_t, std::vector<pdf_value>> form_field_refs(
    const form_plan& f, const std::unordered_map<int32_t, std::vector<pdf_value>>& widgets);

// Once the widgets are copied: /Fields, /Kids and /CO list what stands for each field; fields
// and widgets not on the output are left out of them.
void finish_form(const form_plan& f,
                 const std::unordered_map<int32_t, std::vector<pdf_value>>& refs,
                 std::vector<new_object>& objs);

}  // namespace qm
