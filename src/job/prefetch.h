// Page contents read ahead of the import on a helper thread.
//
// Decoding the pages' content streams is most of a job's work, and it depends on nothing but the
// loaded document, while the import itself (numbering, resources, the output's bytes) must run in
// page order on the job's thread. So a job over many pages hands the decoding to one helper
// thread, which reads the pages in import order a few pages ahead of the import and hands each
// page's content over as the import reaches it. The output is the same byte for byte: the import
// uses the same content, in the same order, as when it reads each page itself.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "import/xobject.h"
#include "reader/doc.h"

namespace qm {

// Pages [0, count) of one document, in import order. Page t is imported, and so read, when its
// object exists and it has an output number: nums[t], or `num` for every page when nums is null.
struct prefetch_run {
  const doc* d = nullptr;
  int32_t count = 0;
  const int32_t* nums = nullptr;
  int32_t num = 0;
};

// The object of page t of the run when the page is imported, else null. The importer uses the same
// rule, so that the i-th page read is the i-th page imported.
const obj_rec* prefetch_page(const prefetch_run& r, int32_t t);

struct content_prefetch {
  // Pages read ahead of the import at most; each holds one page's decoded content.
  static constexpr size_t kSlots = 8;

  struct slot {
    page_content c;
    bool out_of_memory = false;  // reading this page ran out of memory
  };

  prefetch_run runs[2];  // the background's pages, then the foreground's
  slot slots[kSlots];
  std::mutex mu;
  std::condition_variable cv;
  size_t ready = 0;     // pages [0, ready) have been read
  size_t released = 0;  // pages [0, released) have been used and their slots may be reused
  bool stop = false;
  std::thread helper;

  content_prefetch() = default;
  content_prefetch(const content_prefetch&) = delete;
  content_prefetch& operator=(const content_prefetch&) = delete;
  ~content_prefetch();
};

// Jobs with fewer pages to import decode them on their own thread: the helper would cost more
// than it saves. 16 unless a test changes it (to run small jobs through the helper, or none).
extern std::atomic<int64_t> prefetch_min_pages;
// Helper threads started so far, for tests that must know the read-ahead ran.
extern std::atomic<int64_t> prefetch_helpers_started;

// Starts the helper over p.runs (already set). False, with nothing started, when the job is too
// small, the machine has one processor, or no thread can be created: the caller then reads every
// page itself. The documents and their page lists must stay as they are until p is destroyed.
bool prefetch_start(content_prefetch& p);

// The content of the i-th imported page, once the helper has read it; pages are taken in order,
// each once, and each released before the next is taken. Throws std::bad_alloc when the helper ran
// out of memory reading this page, as reading it on the job's thread would have.
const page_content& prefetch_take(content_prefetch& p, size_t i);
void prefetch_release(content_prefetch& p, size_t i);

}  // namespace qm
