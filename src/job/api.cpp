// The six exported functions and the argument treatment shared by the three job functions.
#include <cmath>
#include <exception>
#include <new>

#include "job/error.h"
#include "job/job.h"
#include "quiremark.h"

namespace qm {

int overlay_exec(const char* bg_path, const char* fg_path, const char* out_path, int mode,
                 float opacity, int stamp, const content_compressor* compact) {
  // Paths first, then the mode; nothing is opened before both pass.
  if (!fg_path || !out_path || !bg_path) {
    set_error("NULL path argument");
    return 0;
  }
  // Tested unsigned so that every negative mode is refused too; printed signed.
  if (static_cast<unsigned>(mode) > 1u) {
    set_error("invalid mode %d: must be 0 (foreground on top) or 1 (underlay)", mode);
    return 0;
  }
  // The opacity is clamped, never rejected.
  if (std::isnan(opacity))
    opacity = 1.0f;
  else if (opacity < 0.0f)
    opacity = 0.0f;
  else if (opacity > 1.0f)
    opacity = 1.0f;
  return overlay_run(bg_path, fg_path, out_path, mode, opacity, stamp, compact);
}

namespace {

// No exception crosses the C boundary: every job is run under this guard. The job's state lives
// in objects that release themselves, so unwinding leaves nothing allocated.
int guarded_exec(const char* bg, const char* fg, const char* out, int mode, float opacity,
                 int stamp) noexcept {
  try {
    return overlay_exec(bg, fg, out, mode, opacity, stamp);
  } catch (const std::bad_alloc&) {
    set_error("out of memory");
  } catch (const std::exception& e) {
    set_error("internal error: %s", e.what());
  } catch (...) {
    set_error("internal error: unknown exception");
  }
  return 0;
}

}  // namespace
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
  return qm::guarded_exec(background_path, foreground_path, output_path, mode, 1.0f, 0);
}

QUIREMARK_API int quiremark_stamp(const char* background_path, const char* foreground_path,
                                  const char* output_path, int mode) noexcept {
  return qm::guarded_exec(background_path, foreground_path, output_path, mode, 1.0f, 1);
}

QUIREMARK_API int quiremark_merge_opacity(const char* background_path, const char* foreground_path,
                                          const char* output_path, int mode,
                                          float opacity) noexcept {
  return qm::guarded_exec(background_path, foreground_path, output_path, mode, opacity, 0);
}

QUIREMARK_API const char* quiremark_last_error(void) noexcept {
  return qm::g_err;
}

}  // extern "C"
