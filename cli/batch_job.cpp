// The batch command's job: one library job per file, with the command's job options.
#include "batch_run.h"
#include "job/run.h"

namespace qmcli::batch {

job_fn library_job(const args& a) {
  qm::job_options base;
  apply_job_flags(a, base);
  // The pool's threads are the parallelism: a job of a batch starts no helper threads of its own.
  base.helper_threads = false;
  return [base](const item& it, outcome& o) {
    qm::job_options opts = base;
    opts.background = it.background;
    opts.foreground = it.foreground;
    opts.output = it.output;
    qm::job_result r;
    qm::job_run(opts, r);
    o.ok = r.ok;
    o.pages = r.ok ? r.pages : 0;
    if (!r.ok) o.message = r.message.empty() ? "out of memory" : r.message;
  };
}

}  // namespace qmcli::batch
