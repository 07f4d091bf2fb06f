// Resource closure and renumbering: which input objects an imported page needs, and their copies.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "reader/doc.h"

namespace qm {

// Input object numbers to output numbers, one map per document. Entries are kept in closure
// order, duplicates included; a lookup gives the first entry with that old number.
struct renum_map {
  std::vector<int32_t> old_num;
  std::vector<int32_t> new_num;
  std::vector<int32_t> first;  // old number -> index of its first entry, -1
  // (old number, index of its first entry) for the numbers that `first` does not cover (negative
  // ones, and those far above the rest), sorted by number.
  std::vector<std::pair<int32_t, int32_t>> far;
};

// old numbers = closure in order; new numbers consecutive from first_new.
void map_build(renum_map& m, const std::vector<int32_t>& closure, int32_t first_new);
// The new number of `old` when the map has it and it is greater than 0, else -1.
int32_t map_lookup(const renum_map& m, int32_t old);

// A copy of the resources dictionary of the object whose dictionary span (dict_span) is given, its
// own (direct, or through a reference) or, for the deep variant, the nearest ancestor's through
// /Parent. The keys /Resources and /Parent count only at the top level of the object's own
// dictionary. The deep variant looks at no more than `depth` ancestors (the callers pass 32), so a
// /Parent loop ends. False when there is none.
bool page_resources_dict(const doc& d, const span& s, std::string* out);
bool page_resources_dict_deep(const doc& d, const span& s, int depth, std::string* out);

// What the ancestors of one document's pages hold, remembered per object number: a page tree node
// (with its /Kids array of perhaps thousands of pages) is then read once per job, however many
// pages inherit their resources from it.
struct ancestor_memo {
  struct node {
    bool usable = false;  // the object exists and has a dictionary span
    bool found = false;   // its own /Resources gave `res`
    std::string res;
    int32_t parent = 0;  // otherwise: the number its /Parent names (0 or less: none)
  };
  std::unordered_map<int32_t, node> nodes;
};

// The page's resources as page_resources_dict finds them, else as page_resources_dict_deep with
// the depth limit 32 finds them, with the ancestors looked up through the memo.
bool page_resources_text(const doc& d, const span& s, ancestor_memo& memo, std::string* out);

// Appends every indirect reference's object number found in text, in order, each occurrence.
void collect_text_refs(std::string_view text, std::vector<int32_t>& out);

// The closure of the seeds over the references of the objects they reach, breadth first: the
// seeds as given (duplicates kept), then each newly named object once, level by level, until a
// level names nothing new. A stream's data are never scanned; numbers naming no object stay in
// the closure without being scanned.
void collect_resources(const doc& d, const std::vector<int32_t>& seeds,
                       std::vector<int32_t>& closure);

// Drops every number that the list holds earlier already, keeping the first of each in order:
// a closure whose every object is copied once, as its first copy is the one referenced.
void keep_first_of_each(std::vector<int32_t>& list);

// The text with every reference the map knows rewritten as "M 0 R"; all other bytes, zero bytes
// included, are copied as they are.
std::string remap_res_text(std::string_view text, const renum_map& m);

}  // namespace qm
