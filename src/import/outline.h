// The document outline (bookmarks) carried to the output.
#pragma once
#include <vector>

#include "import/dests.h"
#include "import/pdfobj.h"

namespace qm {

// Copies the outline that the catalog's /Outlines holds: every item reachable through /First and
// /Next, in order, with its title, colour, style and its destination or action rewritten (an item
// whose destination is not shown keeps its place and title, without the destination). /Parent,
// /Prev, /Next, /First, /Last and /Count are made anew from the items kept, the open or closed
// state of each item kept. An item reached a second time (a cycle in /Next or /First) ends its
// list. Returns the index of the outline dictionary in objs, or -1 when there is no outline.
int32_t copy_outline(const dest_ctx& c, const pdf_value& catalog, std::vector<new_object>& objs,
                     int source);

}  // namespace qm
