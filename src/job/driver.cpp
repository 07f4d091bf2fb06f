// The overlay job's frame: load both documents, fix the page count and every page's rotation.
#include <algorithm>
#include <climits>

#include "import/box.h"
#include "job/error.h"
#include "job/job.h"
#include "reader/load.h"

namespace qm {

namespace {

// The job's own limit on output pages.
constexpr int32_t kMaxPages = 1000000;

// Each page's effective rotation: its own /Rotate when it has one, else the rotation inherited
// from the page tree, brought into 0..359. A page whose object is missing keeps what it has.
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

}  // namespace

int overlay_run(const char* bg_path, const char* fg_path, const char* out_path, int mode,
                float opacity, int stamp, const content_compressor* compact) {
  // The record owns both documents and every table and releases them however this function is
  // left, by return or by exception.
  overlay_job j;
  j.mode = mode;
  j.opacity = opacity;
  j.stamp = stamp;
  // Compared in single precision against the float nearest 0.999.
  j.translucent = opacity < 0.999f;
  if (compact) {
    j.compact = true;
    j.compressor = *compact;
  }

  // Load: the loader writes its own message and leaves its document empty on failure.
  if (doc_load(bg_path, j.bg) != 0) return 0;
  if (doc_load(fg_path, j.fg) != 0) return 0;
  return overlay_loaded(j, out_path);
}

int overlay_loaded(overlay_job& j, const char* out_path) {
  // Count. Stamp mode draws the foreground's first page on every background page; merge mode
  // pairs pages one to one and runs to the longer document's end.
  const size_t nbg = j.bg.pages.size(), nfg = j.fg.pages.size();
  if (nbg < 1) {
    set_error("background PDF has no pages");
    return 0;
  }
  if (nfg < 1) {
    set_error("foreground PDF has no pages");
    return 0;
  }
  const size_t total = j.stamp == 1 ? nbg : std::max(nbg, nfg);
  if (total > kMaxPages) {
    set_error("invalid total page count: %ld", static_cast<long>(total));
    return 0;
  }
  j.total_pages = static_cast<int32_t>(total);
  j.bg_count = static_cast<int32_t>(nbg);  // at most total_pages
  // A stamp's foreground may be longer than the output; only its first page is used then.
  j.fg_count = static_cast<int32_t>(std::min<size_t>(nfg, INT32_MAX));

  // Rotate: every page of both documents, the foreground's too in stamp mode.
  resolve_rotation(j.bg);
  resolve_rotation(j.fg);

  return overlay_phases(j, out_path);
}

}  // namespace qm
