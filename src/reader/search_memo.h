// Memory of the last forward search, for searches repeated from growing starting points.
//
// The loader searches many overlapping stretches of one text: records whose dictionaries share an
// end (objects whose value starts with a hex string's "<" take their dictionary's end from the
// next dictionary in the file), trailers that all run to the same "startxref", and keywords that
// may be missing altogether. A search for "the first position p >= x that qualifies" whose
// qualification does not depend on x gives the same answer for every x between the last x and
// the last answer; remembering that pair makes a run of such searches cost one pass instead of
// one pass each.
#pragma once
#include <limits>

#include "text/scan.h"

namespace qm {

struct search_memo {
  pos_t bound = std::numeric_limits<pos_t>::min();  // what else the search depends on (its end)
  pos_t from = std::numeric_limits<pos_t>::max();
  pos_t found = -1;
};

// search(x) is the first qualifying position >= x for the given bound, or -1.
template <class Search>
pos_t memo_search(search_memo& m, pos_t x, pos_t bound, Search search) {
  if (bound == m.bound && x >= m.from && (m.found < 0 || x <= m.found)) return m.found;
  m.bound = bound;
  m.from = x;
  m.found = search(x);
  return m.found;
}

// The first occurrence of the name key /name at or after x in [x, end) of t, remembered.
inline pos_t memo_find_name(search_memo& m, const char* t, pos_t x, pos_t end,
                            std::string_view name) {
  return memo_search(m, x, end, [&](pos_t s) { return find_name(t, end, s, end, name); });
}

}  // namespace qm
