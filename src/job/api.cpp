// The six exported functions, and the exports' side of a job: the argument treatment of the
// paths and the copy of the job's message into the process-wide error text.
#include <exception>
#include <new>

#include "job/error.h"
#include "job/run.h"
#include "quiremark.h"

namespace qm {

int job_publish(const job_result& r) noexcept {
  if (r.ok) {
    clear_error();
    return 1;
  }
  // A job that could not even keep its message failed for want of memory.
  set_error("%s", r.message.empty() ? "out of memory" : r.message.c_str());
  return 0;
}

int overlay_exec(const char* bg_path, const char* fg_path, const char* out_path, int mode,
                 float opacity, int stamp) noexcept {
  // Paths first, then (in the job) the mode; nothing is opened before both pass.
  if (!fg_path || !out_path || !bg_path) {
    set_error("NULL path argument");
    return 0;
  }
  job_result r;
  try {
    job_options o;
    o.background = bg_path;
    o.foreground = fg_path;
    o.output = out_path;
    o.stamp = stamp != 0;
    o.mode = mode;
    o.opacity = opacity;
    job_run(o, r);
  } catch (const std::bad_alloc&) {  // the options' copies of the paths
    set_error("out of memory");
    return 0;
  }
  return job_publish(r);
}

}  // namespace qm

extern "C" {

QUIREMARK_API int quiremark_init(void) noexcept {
  qm::clear_error();
  return 1;
}

QUIREMARK_API void quiremark_cleanup(void) noexcept {
  qm::clear_error();
}

QUIREMARK_API int quiremark_merge(const char* background_path, const char* foreground_path,
                                  const char* output_path, int mode) noexcept {
  return qm::overlay_exec(background_path, foreground_path, output_path, mode, 1.0f, 0);
}

QUIREMARK_API int quiremark_stamp(const char* background_path, const char* foreground_path,
                                  const char* output_path, int mode) noexcept {
  return qm::overlay_exec(background_path, foreground_path, output_path, mode, 1.0f, 1);
}

QUIREMARK_API int quiremark_merge_opacity(const char* background_path, const char* foreground_path,
                                          const char* output_path, int mode,
                                          float opacity) noexcept {
  return qm::overlay_exec(background_path, foreground_path, output_path, mode, opacity, 0);
}

QUIREMARK_API const char* quiremark_last_error(void) noexcept {
  return qm::g_err;
}

}  // extern "C"
