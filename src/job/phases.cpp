// The import and output phases of a job: gather resources, number, compose, import, write.
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "import/resources.h"
#include "import/xobject.h"
#include "job/error.h"
#include "job/job.h"
#include "job/placement.h"
#include "job/prefetch.h"
#include "job/writer.h"
#include "text/numfmt.h"

namespace qm {

namespace {

// Appends the object numbers named by the resources of pages [0, count) of d, in page order:
// the page's own /Resources, else the nearest ancestor's. Pages whose object is missing or has
// no dictionary contribute nothing. The result depends on the page object alone, so a page tree
// that lists one page object many times has its resources looked up once.
void gather_refs(const doc& d, int32_t count, ancestor_memo& memo, std::vector<int32_t>& refs) {
  std::unordered_map<int32_t, std::pair<size_t, size_t>> seen;  // page object -> its refs
  std::string res;
  for (int32_t t = 0; t < count; ++t) {
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
  page_content own;  // compact output without the read-ahead: each page's content, read here

  ~importer() {
    buf_free(own.joined);
    buf_free(own.packed);
  }

  // Appends page t of d to the output as object num, its Form XObject, and records its position.
  // A page whose object is missing gets no object (the rule of prefetch_page, so that the pages
  // read ahead are the pages imported). Exhausted memory propagates as std::bad_alloc for the
  // caller to name the page.
  // A foreground page of a translucent job becomes a transparency group, faded as one layer.
  void page(const doc& d, int32_t t, const renum_map& m, ancestor_memo& memo, int32_t num,
            bool group) {
    const page_rec& p = d.pages[static_cast<size_t>(t)];
    const obj_rec* o = doc_find(d, p.num);
    if (!o) return;
    const page_content* pre = nullptr;
    if (reading_ahead) {
      pre = &prefetch_take(ahead, next_item);
    } else if (j.compact) {
      read_page_content_compact(d, *o, own, j.compressor);
      pre = &own;
    }
    if (num > 0) {  // always, by the numbering; the page read ahead is used up all the same
      j.obj_offset[static_cast<size_t>(num)] = out_pos(j);
      buf_str(j.out, fmt_int(num).view());
      buf_str(j.out, " 0 obj\n");
      append_form_xobject(d, *o, p, m, memo, j.out, pre, group, j.compact);
      buf_str(j.out, "\nendobj\n");
    }
    if (reading_ahead) prefetch_release(ahead, next_item++);
    stream_hand_over(j.stream.get(), j.out, &j.out_base);
  }

  // Starts reading the imported pages' contents ahead, if the job is large enough: the background
  // pages, then the stamp or every foreground page, the order of import_pages.
  void start_reading_ahead() {
    ahead.runs[0] = {&j.bg, j.bg_count};
    ahead.runs[1] = {&j.fg, j.stamp == 1 ? 1 : j.fg_count};
    if (j.compact) ahead.compact = &j.compressor;
    reading_ahead = prefetch_start(ahead);
  }
};

// Import: every background page first, then the stamp or every foreground page. Each failure
// names the page that could not be built.
bool import_pages(importer& imp, ancestor_memo& bg_memo, ancestor_memo& fg_memo) {
  overlay_job& j = imp.j;
  for (int32_t t = 0; t < j.bg_count; ++t) {
    try {
      imp.page(j.bg, t, j.bg_map, bg_memo, j.bg_xobj_num[static_cast<size_t>(t)], false);
    } catch (const std::bad_alloc&) {
      set_error("failed to build form XObject for background page %ld", static_cast<long>(t) + 1);
      return false;
    }
  }
  if (j.stamp == 1) {
    try {
      imp.page(j.fg, 0, j.fg_map, fg_memo, j.stamp_xobj_num, j.translucent);
    } catch (const std::bad_alloc&) {
      set_error("failed to build stamp form XObject");
      return false;
    }
  } else {
    for (int32_t t = 0; t < j.fg_count; ++t) {
      try {
        imp.page(j.fg, t, j.fg_map, fg_memo, j.fg_xobj_num[static_cast<size_t>(t)], j.translucent);
      } catch (const std::bad_alloc&) {
        set_error("failed to build form XObject for foreground page %ld", static_cast<long>(t) + 1);
        return false;
      }
    }
  }

  return true;
}

}  // namespace

int overlay_phases(overlay_job& j, const char* out_path) {
  // The page contents are read ahead from the start: collecting, numbering and the beginning of
  // the file need none of them. The helper thread, if any, is gone when imp goes.
  importer imp{j, {}, false, 0, {}};
  imp.start_reading_ahead();

  // What each page tree node above the pages holds, read once per document.
  ancestor_memo bg_memo, fg_memo;

  // Collect: the references of every page that will be imported, and their closure, per
  // document. In stamp mode only the foreground's first page is imported.
  gather_refs(j.bg, j.bg_count, bg_memo, j.bg_refs);
  collect_resources(j.bg, j.bg_refs, j.bg_res);
  gather_refs(j.fg, j.stamp == 1 ? 1 : j.fg_count, fg_memo, j.fg_refs);
  collect_resources(j.fg, j.fg_refs, j.fg_res);
  // The closure keeps a seed named by many pages once per naming, and the writer copies every
  // entry, though references name the first copy only. Compact output copies each object once.
  if (j.compact) {
    keep_first_of_each(j.bg_res);
    keep_first_of_each(j.fg_res);
  }

  // Number.
  if (!plan_objects(j)) return 0;

  // The pages' drawing instructions, and the beginning of the file up to the content streams: the
  // XObjects come right after them, so the import can write each body straight into the output
  // and no body is ever held twice.
  build_page_contents(j);
  j.stream = stream_begin(out_path, j.total_pages);
  write_head(j);
  stream_hand_over(j.stream.get(), j.out, &j.out_base);

  if (!import_pages(imp, bg_memo, fg_memo)) return 0;
  prefetch_stop(imp.ahead);

  // The page lists are not read again (placement and page objects are written): their memory
  // goes back before the output grows by the copied resources.
  std::vector<page_rec>().swap(j.bg.pages);
  std::vector<page_rec>().swap(j.fg.pages);

  // The copied resources, the cross-reference table and the trailer; then the file.
  return write_output(j, out_path);
}

}  // namespace qm
