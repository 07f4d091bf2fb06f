// The catalog and the page tree: choosing the catalog and walking /Kids into the page list.
#pragma once
#include <unordered_map>
#include <vector>

#include "reader/doc.h"
#include "text/msg.h"

namespace qm {

// Deepest chain of /Pages nodes that the walk follows; a deeper tree counts as broken.
inline constexpr int kMaxTreeDepth = 256;

// Sets d.catalog and fills d.pages (the final object table and its index must be built).
// Returns 0, or -1 after writing one message into m.
int load_pages(doc& d, msg& m);

// What a node hands down to the pages below it.
struct inherited {
  int32_t rotation = 0;
  bool have_box = false;
  double x0 = 0, y0 = 0, width = 0, height = 0;
};

// The state of one walk: the /Pages nodes entered so far, and the type and box of every object
// already classified (a page may be listed many times; its dictionary is read once).
struct page_walk {
  const doc* d = nullptr;
  std::vector<page_rec>* pages = nullptr;
  std::vector<unsigned char> visited;  // per object number
  std::vector<signed char> type;       // per table index, -1 until classified
  struct box {
    bool found;
    double x0, y0, width, height;
  };
  std::unordered_map<int32_t, box> boxes;  // per table index
};

// Visits one node of the page tree, appending its pages with the inherited box and rotation.
// `depth` counts the /Pages nodes above this one. Returns -2 when the node's own /Kids holds an
// inline dictionary, -1 for any other broken tree, 0 when the node yields no pages, else the
// number of records in the page list.
int resolve_pages(page_walk& w, int32_t node, const inherited& from, int depth);

}  // namespace qm
