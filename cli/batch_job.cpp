// The batch command's job: one library job per file, with the command's job options.
#include <mutex>
#include <new>

#include "batch_run.h"
#include "job/error.h"
#include "job/job.h"
#include "opacity.h"

namespace qmcli::batch {

job_fn library_job(const args& a) {
  int mode = 0;
  float opacity = 1.0f;
  for (const auto& [name, value] : a.job_flags) {
    if (name == "--underlay") mode = 1;
    if (name == "--opacity") opacity = parse_opacity(value).value_or(1.0f);
  }
  const int stamp = a.stamp ? 1 : 0;
  return [mode, opacity, stamp](const item& it, outcome& o) {
    // The library's message is process-wide: one job at a time reads its own.
    static std::mutex one_at_a_time;
    std::lock_guard<std::mutex> lock(one_at_a_time);
    int ok = 0;
    try {
      ok = qm::overlay_exec(it.background.c_str(), it.foreground.c_str(), it.output.c_str(), mode,
                            opacity, stamp);
    } catch (const std::bad_alloc&) {
      qm::set_error("out of memory");
    }
    o.ok = ok == 1;
    if (!o.ok) o.message = qm::g_err;
  };
}

}  // namespace qmcli::batch
