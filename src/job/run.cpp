// One overlay job, from the options to the written file: load, count, rotate, collect, number,
// compose, import, write. Each phase either goes on or ends the job with its message (job_fail);
// the job record releases everything it holds however the job ends.
#include "job/run.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <exception>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "import/compact_content.h"
#include "import/resources.h"
#include "import/xobject.h"
#include "job/job.h"
#include "job/keep_interactive.h"
#include "job/placement.h"
#include "job/prefetch.h"
#include "job/spare.h"
#include "job/writer.h"
#include "reader/box.h"
#include "reader/load.h"
#include "text/numfmt.h"

namespace qm {

namespace {

// The job's own limit on output pages.
constexpr int32_t kMaxPages = 1000000;

// What the job is asked for: the layering, the opacity and the page pairing. The mode is tested
// unsigned, so that every negative mode is refused too, and printed signed; the opacity is
// clamped, never refused (compared in single precision).
bool configure(overlay_job& j, const job_options& o) {
  if (static_cast<unsigned>(o.mode) > 1u)
    return job_fail(j, job_part::none,
                    "invalid mode %d: must be 0 (foreground on top) or 1 (underlay)", o.mode);
  float opacity = o.opacity;
  if (std::isnan(opacity))
    opacity = 1.0f;
  else if (opacity < 0.0f)
    opacity = 0.0f;
  else if (opacity > 1.0f)
    opacity = 1.0f;
  j.mode = o.mode;
  j.opacity = opacity;
  j.stamp = o.stamp;
  j.keep_interactive = o.keep_interactive;
  // Compared in single precision against the float nearest 0.999.
  j.translucent = opacity < 0.999f;
  j.compact = o.compact;
  j.compressor = {o.compress, o.compress_ctx};
  return true;
}

// Load: the background, then the foreground. The loader writes its own message and leaves its
// document empty on failure.
bool load_inputs(overlay_job& j, const job_options& o) {
  const struct {
    const std::string& path;
    const std::optional<std::string_view>& bytes;
    int fd;
    doc& d;
    job_part part;
  } inputs[] = {{o.background, o.background_bytes, o.background_fd, j.bg, job_part::background},
                {o.foreground, o.foreground_bytes, o.foreground_fd, j.fg, job_part::foreground}};
  for (const auto& in : inputs) {
    const char* name = in.path.c_str();
    const int r = in.bytes     ? doc_load_view(*in.bytes, name, in.d, j.err)
                  : in.fd >= 0 ? doc_load_fd(in.fd, name, in.d, j.err, o.input_map_min_bytes)
                               : doc_load(name, in.d, j.err, o.input_map_min_bytes);
    if (r != 0) {
      j.err_part = in.part;
      return false;
    }
  }
  return true;
}

// Count. Stamp mode draws the foreground's first page on every background page; merge mode
// pairs pages one to one and runs to the longer document's end.
bool count_pages(overlay_job& j) {
  const size_t nbg = j.bg.pages.size(), nfg = j.fg.pages.size();
  if (nbg < 1) return job_fail(j, job_part::background, "background PDF has no pages");
  if (nfg < 1) return job_fail(j, job_part::foreground, "foreground PDF has no pages");
  const size_t total = j.stamp ? nbg : std::max(nbg, nfg);
  if (total > kMaxPages)
    return job_fail(j, job_part::none, "invalid total page count: %ld", static_cast<long>(total));
  j.total_pages = static_cast<int32_t>(total);
  j.bg_count = static_cast<int32_t>(nbg);  // at most total_pages
  // A stamp's foreground may be longer than the output; only its first page is used then.
  j.fg_count = static_cast<int32_t>(std::min<size_t>(nfg, INT32_MAX));
  return true;
}

// Rotate: each page's effective rotation is its own /Rotate when it has one, else the rotation
// inherited from the page tree, brought into 0..359. A page whose object is missing keeps what it
// has. Every page of the document is resolved, a stamp's later pages too.
void resolve_rotation(doc& d) {
  for (page_rec& p : d.pages) {
    const obj_rec* o = doc_find(d, p.num);
    if (!o) continue;
    const int32_t own = obj_rotate_own(d, *o);
    if (own >= 0) {
      p.rotate = own % 360;
    } else {
      int32_t r = p.inherited_rotate % 360;
      if (r < 0) r += 360;
      p.rotate = r;
    }
  }
}

// Appends the object numbers named by the resources of the imported pages of one input, in page
// order: the page's own /Resources, else the nearest ancestor's. Pages whose object is missing or
// has no dictionary contribute nothing. The result depends on the page object alone, so a page
// tree that lists one page object many times has its resources looked up once.
void gather_refs(const job_input& in, ancestor_memo& memo) {
  const doc& d = in.d;
  std::vector<int32_t>& refs = in.refs;
  std::unordered_map<int32_t, std::pair<size_t, size_t>> seen;  // page object -> its refs
  std::string res;
  for (int32_t t = 0; t < in.imported; ++t) {
    const int32_t num = d.pages[static_cast<size_t>(t)].num;
    if (auto it = seen.find(num); it != seen.end()) {
      const auto [from, n] = it->second;
      refs.reserve(refs.size() + n);
      for (size_t k = 0; k < n; ++k) refs.push_back(refs[from + k]);
      continue;
    }
    const size_t from = refs.size();
    const obj_rec* o = doc_find(d, num);
    span s;
    if (o && dict_span(d.data.get(), d.len, *o, &s) && page_resources_text(d, s, memo, &res))
      collect_text_refs(res, refs);
    seen.emplace(num, std::make_pair(from, refs.size() - from));
  }
}

// The page import in order, with the contents either read ahead on the helper thread or read
// here, page by page.
struct importer {
  overlay_job& j;
  content_prefetch ahead;
  bool reading_ahead = false;
  size_t next_item = 0;
  page_content own;  // without the read-ahead: each page's content, read here in turn

  explicit importer(overlay_job& job) : j(job) { own.joined = spare_take(spare_kind::content); }
  ~importer() {
    spare_keep(spare_kind::content, own.joined);
    buf_free(own.packed);
  }

  // Starts reading the imported pages' contents ahead, if the job is large enough: the background
  // pages, then the stamp or every foreground page, the order of import_input.
  void start_reading_ahead(const job_options& o) {
    ahead.runs[0] = {&j.bg, job_background(j).imported};
    ahead.runs[1] = {&j.fg, job_foreground(j).imported};
    if (j.compact) ahead.compact = &j.compressor;
    reading_ahead = o.helper_threads && prefetch_start(ahead, o.read_ahead_min_pages);
  }

  // Appends page t of the input to the output as object num, its Form XObject, and records its
  // position. A page whose object is missing gets no object (the rule of prefetch_page, so that
  // the pages read ahead are the pages imported). Exhausted memory propagates as std::bad_alloc
  // for the caller to name the page. A foreground page of a translucent job becomes a
  // transparency group, faded as one layer.
  void page(const job_input& in, int32_t t, ancestor_memo& memo, int32_t num) {
    const doc& d = in.d;
    const page_rec& p = d.pages[static_cast<size_t>(t)];
    const obj_rec* o = doc_find(d, p.num);
    if (!o) return;
    const page_content* pre = nullptr;
    if (reading_ahead) {
      pre = &prefetch_take(ahead, next_item);
    } else if (j.compact) {
      read_page_content_compact(d, *o, own, j.compressor);
      pre = &own;
    } else {
      read_page_content(d, *o, own);
      pre = &own;
    }
    if (num > 0) {  // always, by the numbering; the page read ahead is used up all the same
      j.obj_offset[static_cast<size_t>(num)] = out_pos(j);
      buf_str(j.out, fmt_int(num).view());
      buf_str(j.out, " 0 obj\n");
      const bool group = in.part == job_part::foreground && j.translucent;
      append_form_xobject(d, *o, p, in.map, memo, j.out, pre, group, j.compact);
      buf_str(j.out, "\nendobj\n");
    }
    if (reading_ahead) prefetch_release(ahead, next_item++);
    output_hand_over(j.stream.get(), j.out, &j.out_base);
  }
};

// The message for an imported page that could not be built.
bool import_failed(overlay_job& j, const job_input& in, int32_t t) {
  const long page = static_cast<long>(t) + 1;
  if (in.part == job_part::background)
    return job_fail(j, in.part, "failed to build form XObject for background page %ld", page);
  if (j.stamp) return job_fail(j, in.part, "failed to build stamp form XObject");
  return job_fail(j, in.part, "failed to build form XObject for foreground page %ld", page);
}

// Import: every imported page of one input, in page order.
bool import_input(importer& imp, const job_input& in, ancestor_memo& memo) {
  for (int32_t t = 0; t < in.imported; ++t) {
    try {
      imp.page(in, t, memo, xobj_num_of(imp.j, in, t));
    } catch (const std::bad_alloc&) {
      return import_failed(imp.j, in, t);
    }
  }
  return true;
}

}  // namespace

bool job_fail(overlay_job& j, job_part part, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  msg_vset(j.err, fmt, ap);
  va_end(ap);
  j.err_part = part;
  return false;
}

bool job_run_loaded(overlay_job& j, const job_options& o) {
  if (!count_pages(j)) return false;
  resolve_rotation(j.bg);
  resolve_rotation(j.fg);
  const job_input inputs[] = {job_background(j), job_foreground(j)};

  // The page contents are read ahead from the start: collecting, numbering and the beginning of
  // the file need none of them. The helper thread, if any, is gone when imp goes.
  importer imp(j);
  imp.start_reading_ahead(o);
  j.read_ahead = imp.reading_ahead;

  // Collect: the references of every page that will be imported, and their closure, per input.
  // What each page tree node above the pages holds is read once per document. Annotations, form,
  // outline and document information, when kept, add what they name to the same closures, which
  // then never enter the pages, the page tree or the catalog.
  ancestor_memo memo[2];
  for (int k = 0; k < 2; ++k) gather_refs(inputs[k], memo[k]);
  interactive_collect(j);
  for (int k = 0; k < 2; ++k) {
    collect_resources(inputs[k].d, inputs[k].refs, inputs[k].res,
                      j.keep_interactive ? &j.inter.plan.stop[k] : nullptr);
    // The closure keeps a seed named by many pages once per naming, and the default output
    // copies every entry, though references name the first copy only. Compact output copies
    // each object once.
    if (j.compact) keep_first_of_each(inputs[k].res);
  }

  // Number: the job's objects and the copies, then the interactive features' new objects.
  if (!plan_objects(j)) return false;
  interactive_number(j);

  // Compose: the pages' drawing instructions, and the beginning of the file up to the content
  // streams. The XObjects come right after them, so the import can write each body straight
  // into the output and no body is ever held twice.
  build_page_contents(j);
  // Only a file is written while it is made; a descriptor or a string gets the output whole.
  if (o.helper_threads && !o.output_bytes && !o.output_sink && o.output_fd < 0)
    j.stream =
        output_begin(o.output.c_str(), j.total_pages, o.output_min_pages, o.output_chunk_bytes);
  write_head(j);
  output_hand_over(j.stream.get(), j.out, &j.out_base);

  // Import: every background page first, then the stamp or every foreground page.
  for (int k = 0; k < 2; ++k)
    if (!import_input(imp, inputs[k], memo[k])) return false;
  prefetch_stop(imp.ahead);

  // The page lists are not read again (placement and page objects are written): their memory
  // goes back before the output grows by the copied resources.
  std::vector<page_rec>().swap(j.bg.pages);
  std::vector<page_rec>().swap(j.fg.pages);

  // Write: the copied resources, the cross-reference table and the trailer; then the file.
  return write_output(
      j, {o.output.c_str(), o.output_fd, o.output_bytes, o.output_sink, o.output_context});
}

void job_run(const job_options& o, job_result& r) noexcept {
  r.ok = false;
  r.part = job_part::none;
  r.pages = 0;
  r.read_ahead = r.output_streamed = false;
  r.sys_errno = 0;
  // The record owns both documents and every table and releases them however the job ends.
  overlay_job j;
  bool ok = false;
  try {
    r.message.clear();
    r.message.reserve(kMsgSize);  // the message is copied out without allocating
    j.out = spare_take(spare_kind::output);
    ok = configure(j, o) && load_inputs(j, o) && job_run_loaded(j, o);
  } catch (const std::bad_alloc&) {
    job_fail(j, job_part::none, "out of memory");
  } catch (const std::exception& e) {
    job_fail(j, job_part::none, "internal error: %s", e.what());
  } catch (...) {
    job_fail(j, job_part::none, "internal error: unknown exception");
  }
  spare_keep(spare_kind::output, j.out);
  r.ok = ok;
  r.read_ahead = j.read_ahead;
  r.output_streamed = j.stream != nullptr;
  if (ok) {
    r.pages = j.total_pages;
    return;
  }
  r.part = j.err_part;
  r.sys_errno = j.err.sys_errno;
  if (r.message.capacity() >= kMsgSize) r.message.assign(j.err.text);
}

}  // namespace qm
