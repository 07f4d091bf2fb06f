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
  static constexpr size_t kSlots = 32;
  // Decoded bytes read ahead at most: beyond this the helper waits until the job has used every
  // page but the one it reads (a few very large pages are not all held at once).
  static constexpr size_t kBudget = size_t{16} << 20;

  struct slot {
    page_content c;
    size_t held = 0;             // bytes of c's own buffer counted in `held` below
    bool out_of_memory = false;  // reading this page ran out of memory
  };

  prefetch_run runs[2];  // the background's pages, then the foreground's
  slot slots[kSlots];

  // The hand-over. Each side moves its own counter and looks at the other's without locking; a
  // side that must wait says what it waits for in its `wants` (nonzero) and sleeps, and the other
  // side wakes it only once that is reached. Waits are for half the ring at a time, so that even
  // on tiny pages the threads seldom sleep and wake.
  std::atomic<size_t> ready{0};         // pages [0, ready) have been read
  std::atomic<size_t> released{0};      // pages [0, released) were used; their slots are free
  std::atomic<size_t> held{0};          // decoded bytes of pages read and not yet released
  std::atomic<bool> finished{false};    // the helper has read every page
  std::atomic<bool> stop{false};        // the job is over: the helper leaves
  std::atomic<size_t> main_wants{0};    // the job's thread sleeps until ready reaches this
  std::atomic<size_t> helper_wants{0};  // the helper sleeps until released reaches this
  std::mutex mu;
  std::condition_variable cv;
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
