// The working state of one overlay job and the rule by which input pages meet on an output page.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "import/compact_content.h"
#include "import/resources.h"
#include "job/out_stream.h"
#include "reader/doc.h"
#include "text/buf.h"

namespace qm {

// Everything one job owns; it lives on the stack of the job's call and is never shared, so jobs
// on different threads are independent. Members release themselves (the documents through doc's
// own members) when the job returns, on every path.
struct overlay_job {
  doc bg, fg;                // background and foreground documents
  int mode = 0;              // 0: foreground on top; 1: foreground underneath
  float opacity = 1.0f;      // clamped into [0, 1]
  int stamp = 0;             // 1: foreground page 0 on every page; 0: pages paired one to one
  bool translucent = false;  // opacity < 0.999: the foreground goes through /GSovl
  // Compact output: the Form XObjects' contents go out Flate-compressed (kept as the input
  // stored them where that is safe, else packed with `compressor`), and every copied resource
  // object is written once.
  bool compact = false;
  content_compressor compressor;

  int32_t bg_count = 0, fg_count = 0;
  int32_t total_pages = 0;  // 1 to 1,000,000

  // Object numbers named by the imported pages' resources (duplicates kept, in order found), and
  // their closure over the references of the objects they reach.
  std::vector<int32_t> bg_refs, fg_refs;
  std::vector<int32_t> bg_res, fg_res;

  // Output numbers of the XObject each output page draws, -1 where the page has no such layer.
  std::vector<int32_t> bg_xobj_num, fg_xobj_num;  // fg_xobj_num only without stamp
  int32_t stamp_xobj_num = -1;

  renum_map bg_map, fg_map;         // input number -> output number of each copied object
  int32_t obj_count = 0;            // cross-reference size: highest output number + 1
  std::vector<int64_t> obj_offset;  // byte position of each output object, -1 when not written

  // Content streams of all output pages back to back: page t holds the bytes from
  // content_end[t - 1] (0 for the first page) to content_end[t].
  std::string contents;
  std::vector<size_t> content_end;

  // The output file from byte out_base on; the bytes before it were handed to the stream's
  // writer (a job that does not stream keeps the whole file here, out_base 0). Positions in the
  // output are out_base + out.len.
  buf out;
  int64_t out_base = 0;
  std::unique_ptr<out_stream> stream;  // null unless the output is written as it is made
};

// Where the next byte of the output goes.
inline int64_t out_pos(const overlay_job& j) {
  return j.out_base + static_cast<int64_t>(j.out.len);
}

// Layer pairing. Output page t shows background page t while t < bg_count, and a foreground
// layer on every page in stamp mode (the foreground's page 0) or while t < fg_count. The shorter
// document is not repeated.
inline bool has_bg_layer(const overlay_job& j, int32_t t) {
  return t < j.bg_count;
}
inline bool has_fg_layer(const overlay_job& j, int32_t t) {
  return j.stamp == 1 || t < j.fg_count;
}
// The foreground page drawn on output page t (only where has_fg_layer).
inline const page_rec& fg_page_of(const overlay_job& j, int32_t t) {
  return j.fg.pages[static_cast<size_t>(j.stamp == 1 ? 0 : t)];
}

// The job behind the three exports, after their argument treatment: rejects null paths and bad
// modes, clamps the opacity, runs the job. 1 on success (error text emptied), 0 with a message.
// Throws std::bad_alloc when memory runs out; the exports catch it. With `compact`, the output
// is compact, its contents packed with that compressor.
int overlay_exec(const char* bg_path, const char* fg_path, const char* out_path, int mode,
                 float opacity, int stamp, const content_compressor* compact = nullptr);

// Loads both documents, fixes the page count and every page's rotation, runs the phases.
int overlay_run(const char* bg_path, const char* fg_path, const char* out_path, int mode,
                float opacity, int stamp, const content_compressor* compact = nullptr);

// The job once both documents are loaded into j (mode, opacity, stamp and translucent set):
// checks the page counts, resolves every page's rotation and runs the phases.
int overlay_loaded(overlay_job& j, const char* out_path);

// Resource gathering, numbering, page import, page contents and output, on a loaded job.
int overlay_phases(overlay_job& j, const char* out_path);

}  // namespace qm
