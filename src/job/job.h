// The working state of one overlay job and the rule by which input pages meet on an output page.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "import/resources.h"
#include "job/out_stream.h"
#include "job/run.h"
#include "reader/doc.h"
#include "text/buf.h"
#include "text/msg.h"

namespace qm {

// Everything one job owns; it lives on the stack of the job's call and is never shared, so jobs
// on different threads are independent. Members release themselves (the documents through doc's
// own members) when the job returns, on every path.
struct overlay_job {
  doc bg, fg;                // background and foreground documents
  int mode = 0;              // 0: foreground on top; 1: foreground underneath
  float opacity = 1.0f;      // clamped into [0, 1]
  bool stamp = false;        // foreground page 0 on every page; else pages paired one to one
  bool translucent = false;  // opacity < 0.999: the foreground goes through /GSovl
  // Compact output (job_options): contents Flate-compressed, kept as stored or packed with
  // `compressor`; each copied resource object written once.
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
  bool read_ahead = false;             // page contents are read ahead on a helper thread

  // The job's message, written by the phase that fails (job_fail), and the file it concerns.
  msg err;
  job_part err_part = job_part::none;
};

// One input document as the phases see it: its fields of the job record, so that one code path
// serves the background and the foreground.
struct job_input {
  doc& d;
  int32_t imported;  // pages [0, imported) are imported
  std::vector<int32_t>& refs;
  std::vector<int32_t>& res;
  renum_map& map;
  job_part part;  // background or foreground
};
inline job_input job_background(overlay_job& j) {
  return {j.bg, j.bg_count, j.bg_refs, j.bg_res, j.bg_map, job_part::background};
}
// In stamp mode only the foreground's first page is imported.
inline job_input job_foreground(overlay_job& j) {
  return {j.fg, j.stamp ? 1 : j.fg_count, j.fg_refs, j.fg_res, j.fg_map, job_part::foreground};
}
// The output number of the XObject of the input's page t (once numbered): the stamp's for a
// stamp's foreground.
inline int32_t xobj_num_of(const overlay_job& j, const job_input& in, int32_t t) {
  if (in.part == job_part::background) return j.bg_xobj_num[static_cast<size_t>(t)];
  return j.stamp ? j.stamp_xobj_num : j.fg_xobj_num[static_cast<size_t>(t)];
}

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
  return j.stamp || t < j.fg_count;
}
// The foreground page drawn on output page t (only where has_fg_layer).
inline const page_rec& fg_page_of(const overlay_job& j, int32_t t) {
  return j.fg.pages[static_cast<size_t>(j.stamp ? 0 : t)];
}

// Writes the job's message (printf-style, as msg_set) and the file it concerns; returns false,
// so that a phase ends with `return job_fail(...)`. The first failure ends the job.
bool job_fail(overlay_job& j, job_part part, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// The job once both documents are loaded into j (mode, opacity, stamp and translucent set):
// checks the page counts, resolves every page's rotation, collects the resources, numbers the
// objects, composes the pages, imports them and writes o.output. False with the message in j.
bool job_run_loaded(overlay_job& j, const job_options& o);

}  // namespace qm
