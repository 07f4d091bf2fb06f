// Destinations and actions of a document whose pages are shown on the output: where they lead
// there, or that they lead nowhere and are left out.
#pragma once
#include <string>
#include <unordered_map>
#include <vector>

#include "import/geometry.h"
#include "import/pdfobj.h"
#include "reader/doc.h"

namespace qm {

// Where an input page is shown: the output page's object number and the placement of the input
// page on it.
struct page_place {
  int32_t out_obj = 0;
  affine place;
};

// The named destinations of one document, each already rewritten for the output (explicit
// destinations that reach a page shown there; the others are left out), in the order of the
// document's tables.
struct named_dests {
  struct entry {
    pdf_value key;  // a name (from the catalog's /Dests) or a string (from /Names /Dests)
    pdf_value dest;
  };
  std::vector<entry> by_name, by_string;
  std::unordered_map<std::string, size_t> name_index, string_index;  // key bytes -> entry
};

// What rewriting a document's destinations and actions needs.
struct dest_ctx {
  const doc* d = nullptr;
  // Input page object number -> the output page that shows it (the first, when several do).
  std::unordered_map<int32_t, page_place> shown;
  named_dests names;
  // Field object number -> the objects that stand for it on the output (form actions name them).
  const std::unordered_map<int32_t, std::vector<pdf_value>>* fields = nullptr;
};

// Reads the catalog's /Dests and the /Dests name tree of /Names (cycles in /Kids caught) into
// c.names, rewriting every destination.
void read_named_dests(dest_ctx& c, const pdf_value& catalog);

// An explicit destination [page /Fit...]: the page becomes the output page, the coordinates are
// moved by its placement. False when the page is not shown or the array is no destination.
bool rewrite_explicit_dest(const dest_ctx& c, pdf_value& dest);

// Any destination: explicit, indirect, or named (replaced by the explicit destination it names).
bool rewrite_dest(const dest_ctx& c, pdf_value& dest);

// An action dictionary (or a reference to one), made direct and rewritten together with its
// /Next chain: JavaScript and actions that name objects not carried (threads, optional content,
// annotations, media) are left out, a GoTo whose destination is not shown too; a chain that comes
// back to an action already on it ends there. False when the action itself is left out.
bool rewrite_action(const dest_ctx& c, pdf_value& action);

}  // namespace qm
