// The output document: object numbering plan and the writer of the whole PDF file.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "job/job.h"

namespace qm {

// Numbers every output object (page objects, content streams, XObjects, copied resources), builds
// the renumbering maps from the closures and sets obj_count and obj_offset. 0 with a message when
// the plan does not fit the output's 31-bit object numbers: false with the job's message.
bool plan_objects(overlay_job& j);

// Lays out the beginning of the file in j.out: header, catalog, page tree, page objects and the
// pages' content streams (from j.contents, which it then releases). The Form XObjects follow,
// appended by the import with their positions recorded.
void write_head(overlay_job& j);

// Where the finished output goes: into `bytes` when given, else to the open descriptor `fd` when
// it is one (in one piece), else to the file at `path`, which messages name in every case.
struct output_target {
  const char* path = "";
  int fd = -1;
  std::string* bytes = nullptr;
  void (*sink)(void* context, std::string_view pdf) = nullptr;
  void* context = nullptr;
};

// Appends the rest of the file to j.out (copied resources, cross-reference table, trailer),
// releasing each input document once its copies are made, and writes it to its target. True, or
// false with the job's message (and the errno of a failed open or write), nothing at a path
// changed.
bool write_output(overlay_job& j, const output_target& to);
inline bool write_output(overlay_job& j, const char* path) {
  return write_output(j, output_target{path});
}

// The largest byte position a cross-reference entry can name: ten decimal digits.
inline constexpr int64_t kMaxXrefOffset = 9999999999;

// Appends input object `old` as output object `nw`, renumbered, recording its position in
// offsets[nw] (base plus its place in out: base counts the output bytes before out's first);
// appends nothing when the input has no such object.
void emit_resource_obj(const doc& d, int32_t old, int32_t nw, const renum_map& m, buf& out,
                       std::vector<int64_t>& offsets, int64_t base = 0);

// Whether every written object's position (-1 for none) fits a cross-reference entry.
bool offsets_fit_xref(const std::vector<int64_t>& offsets);

}  // namespace qm
