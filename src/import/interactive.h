// What a job carries besides the pages' content when it keeps the interactive features: page
// annotations, links and their destinations, the form, the outline and the document information.
#pragma once
#include <string>
#include <unordered_map>
#include <vector>

#include "import/annots.h"
#include "import/pdfobj.h"
#include "import/resources.h"
#include "reader/doc.h"

namespace qm {

// One input document's part of the job.
struct interactive_source {
  const doc* d = nullptr;
  std::vector<annot_use> uses;    // its pages on the output, in output page order
  std::vector<int32_t> use_page;  // the output page index of each use
  // Destinations: input page object -> where it is shown (a stamp's page is no destination).
  std::unordered_map<int32_t, page_place> targets;
  bool form = false;          // its /AcroForm is carried
  bool keep_widgets = false;  // its widgets are (with its form, or when it has none)
  bool document = false;      // outline, named destinations, catalog entries and /Info
};

struct interactive_plan {
  std::vector<new_object> objs;
  std::vector<std::vector<int32_t>> page_annots;  // by output page: its annotations' new objects
  std::vector<pdf_entry> catalog;                 // entries added to the output catalog
  pdf_value info;                                 // the trailer's /Info, or null
  // The input objects the copies name, to be added to each document's closure as seeds, and the
  // objects the closure must never enter (pages, the page tree, the catalog): references to them
  // become the output page or null.
  std::vector<int32_t> seeds[2];
  std::vector<uint8_t> stop[2];
};

// Which form goes to the output: the background's when it has one, else in a merge the
// foreground's; never both. Sets form and keep_widgets of both sources.
void choose_form(interactive_source src[2], bool merge);

// Reads and rewrites everything; the new objects' references to input objects are settled
// (seeds, or the output page, or null), ready for numbering.
void interactive_build(interactive_source src[2], int32_t total_pages, interactive_plan& p);

// Texts for the writer once the closures are numbered (maps[0] background, maps[1] foreground)
// and the new objects numbered from first_new: object k's value (with its stream, "stream" to
// "endstream", for a stream); the catalog entries (" /Key value" each); the page's " /Annots [...]"
// (empty when it has none); the trailer's " /Info N 0 R" (empty when none).
std::string interactive_object_text(const interactive_plan& p, size_t k, const renum_map* maps[2],
                                    int32_t first_new);
std::string interactive_catalog_text(const interactive_plan& p, const renum_map* maps[2],
                                     int32_t first_new);
std::string interactive_annots_text(const interactive_plan& p, int32_t page, int32_t first_new);
std::string interactive_info_text(const interactive_plan& p, const renum_map* maps[2]);

}  // namespace qm
