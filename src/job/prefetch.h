// Page contents read ahead of the import, on a helper thread and on the job's own.
//
// Decoding the pages' content streams is most of a job's work, and it depends on nothing but the
// loaded document, while the import itself (numbering, resources, the output's bytes) must run in
// page order on the job's thread. So a job over many pages starts one helper thread as soon as
// both documents are loaded, which reads the pages in import order ahead of the import. The job's
// thread, whenever the page it needs next is still being read, reads the next unread page itself
// instead of waiting: the two threads share the decoding, and neither idles while the other works.
// The output is the same byte for byte: every page is read by the same function, once, and the
// import takes the pages in the same order as when it reads each page itself.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "import/compact_content.h"
#include "import/xobject.h"
#include "reader/doc.h"

namespace qm {

// Pages [0, count) of one document, in import order. Every page in the run has an output number;
// it is imported, and so read, when its object exists.
struct prefetch_run {
  const doc* d = nullptr;
  int32_t count = 0;
};

// The object of page t of the run when the page is imported, else null. The importer uses the same
// rule, so that the i-th page read is the i-th page imported.
const obj_rec* prefetch_page(const prefetch_run& r, int32_t t);

struct content_prefetch {
  // Pages read ahead of the import at most; each holds one page's decoded content.
  static constexpr size_t kSlots = 128;
  // Decoded bytes read ahead at most: beyond this, no page but the one the import needs next is
  // read until the import has used the pages before it (a few very large pages are not all held
  // at once).
  static constexpr size_t kBudget = size_t{16} << 20;

  struct slot {
    page_content c;
    size_t held = 0;              // bytes of c's own buffers counted in `held` below
    bool out_of_memory = false;   // reading this page ran out of memory
    std::atomic<size_t> done{0};  // i + 1 once page i is read into this slot
  };

  prefetch_run runs[2];  // the background's pages, then the foreground's
  // Set for compact output: each page is read with read_page_content_compact and this compressor
  // (which must allow calls from two threads at once).
  const content_compressor* compact = nullptr;
  std::vector<const obj_rec*> items;  // the object of every page to read, in import order
  size_t first_of_run1 = 0;           // items from here on belong to runs[1]
  slot slots[kSlots];

  // The hand-over. Pages are claimed in order, each by one thread, through `claimed`; each side
  // looks at the other's counters without locking. A side that must wait says what it waits for in
  // its `wants` (nonzero) and sleeps, and the other side wakes it only once that is reached. The
  // counters each side writes live on their own cache lines.
  alignas(64) std::atomic<size_t> claimed{0};   // pages [0, claimed) are read or being read
  std::atomic<size_t> held{0};                  // decoded bytes of pages read and not released
  std::atomic<size_t> helper_wants{0};          // the helper sleeps until released reaches this
  alignas(64) std::atomic<size_t> released{0};  // pages [0, released) were used; slots free
  std::atomic<size_t> main_wants{0};  // the job's thread sleeps until page main_wants - 1 is read
  std::atomic<bool> stop{false};      // the job is over: the helper leaves
  alignas(64) std::mutex mu;
  std::condition_variable cv;
  std::thread helper;

  content_prefetch() = default;
  content_prefetch(const content_prefetch&) = delete;
  content_prefetch& operator=(const content_prefetch&) = delete;
  ~content_prefetch();
};

// Lists the pages of p.runs (already set) that will be read, in import order, in p.items. Only
// exhausted memory throws std::bad_alloc. prefetch_start does this first; without a helper, the
// job's thread then reads every page itself through prefetch_take.
void prefetch_list(content_prefetch& p);

// Lists the pages and starts the helper over p.runs (already set). False, with nothing started,
// when the runs hold fewer than min_pages pages (the job's options say 16: for fewer, the helper
// would cost more than it saves), the machine has one processor, or no thread or memory can be
// had: the caller then reads every page itself. The documents and their page lists must stay as
// they are until p is destroyed.
bool prefetch_start(content_prefetch& p, int64_t min_pages);

// The content of the i-th imported page, read by the helper or, if it has not got there yet, by
// the job's thread here; pages are taken in order, each once, and each released before the next
// is taken. Throws std::bad_alloc when reading this page ran out of memory, as reading it at the
// import would have.
const page_content& prefetch_take(content_prefetch& p, size_t i);
void prefetch_release(content_prefetch& p, size_t i);

// Stops and joins the helper, if any, and gives back the slots' memory. Harmless twice; the
// destructor does the same.
void prefetch_stop(content_prefetch& p);

}  // namespace qm
