// The content read-ahead helper: a bounded ring of page slots between one producer (the helper
// thread, reading pages in import order) and one consumer (the job's thread, importing them).
#include "job/prefetch.h"

#include <functional>
#include <new>

namespace qm {

std::atomic<int64_t> prefetch_min_pages{16};
std::atomic<int64_t> prefetch_helpers_started{0};

namespace {

constexpr size_t kSlots = content_prefetch::kSlots;

// Wakes the other side, which waits under the mutex: taking the mutex first makes sure that it is
// either asleep already or has yet to look at the counters (and will see the new value).
void wake(content_prefetch& p) {
  { std::lock_guard<std::mutex> lock(p.mu); }
  p.cv.notify_all();
}

// A slot's buffer keeps its room from page to page, up to this much.
constexpr size_t kKeepRoom = size_t{256} << 10;

// Reads page i into its slot, once the slot of page i - kSlots is free and the pages read ahead
// are within the budget. False when told to stop.
bool read_next(content_prefetch& p, size_t i, const doc& d, const obj_rec& o) {
  if (p.stop.load()) return false;
  const bool full = i >= p.released.load() + kSlots;
  if (full || (p.held.load() >= content_prefetch::kBudget && i > p.released.load())) {
    // Sleep until half the ring is free again, or, over the budget, until the job has caught up.
    const size_t need = full ? i + 1 - kSlots / 2 : i;
    std::unique_lock<std::mutex> lock(p.mu);
    p.helper_wants.store(need);
    // The job's thread may be waiting for more pages than are read: with the helper asleep, what
    // is read is all it gets for now.
    if (p.main_wants.load() != 0) p.cv.notify_all();
    p.cv.wait(lock, [&] { return p.stop.load() || p.released.load() >= need; });
    p.helper_wants.store(0);
    if (p.stop.load()) return false;
  }
  content_prefetch::slot& s = p.slots[i % kSlots];
  s.out_of_memory = false;
  if (s.c.joined.cap > kKeepRoom) buf_free(s.c.joined);
  try {
    read_page_content(d, o, s.c);
  } catch (...) {
    // Exhausted memory is all that reading a page can throw; nothing may leave the thread.
    s.out_of_memory = true;
  }
  s.held = s.c.joined.len;
  p.held.fetch_add(s.held);
  p.ready.store(i + 1);
  const size_t w = p.main_wants.load();
  if (w != 0 && i + 1 >= w) wake(p);
  return true;
}

void helper_main(content_prefetch& p) {
  size_t i = 0;
  for (const prefetch_run& r : p.runs) {
    for (int32_t t = 0; t < r.count; ++t) {
      const obj_rec* o = prefetch_page(r, t);
      if (o && !read_next(p, i++, *r.d, *o)) return;
    }
  }
  p.finished.store(true);
  if (p.main_wants.load() != 0) wake(p);
}

}  // namespace

const obj_rec* prefetch_page(const prefetch_run& r, int32_t t) {
  const int32_t num = r.nums ? r.nums[t] : r.num;
  if (num <= 0) return nullptr;
  return doc_find(*r.d, r.d->pages[static_cast<size_t>(t)].num);
}

content_prefetch::~content_prefetch() {
  if (!helper.joinable()) return;
  stop.store(true);
  wake(*this);
  helper.join();
}

bool prefetch_start(content_prefetch& p) {
  int64_t pages = 0;
  for (const prefetch_run& r : p.runs) pages += r.count;
  if (pages < prefetch_min_pages.load(std::memory_order_relaxed) ||
      std::thread::hardware_concurrency() < 2)
    return false;
  try {
    p.helper = std::thread(helper_main, std::ref(p));
  } catch (...) {
    return false;  // no thread to be had (std::system_error, std::bad_alloc): read on this one
  }
  prefetch_helpers_started.fetch_add(1, std::memory_order_relaxed);
  return true;
}

const page_content& prefetch_take(content_prefetch& p, size_t i) {
  if (p.ready.load() <= i) {
    // Not read yet: sleep until half a ring more is read, not just page i, unless the helper
    // stops before that (every page read, or the helper itself waiting).
    const size_t want = i + kSlots / 2;
    std::unique_lock<std::mutex> lock(p.mu);
    p.main_wants.store(want);
    p.cv.wait(lock, [&] {
      const size_t r = p.ready.load();
      return r >= want || (r > i && (p.finished.load() || p.helper_wants.load() != 0));
    });
    p.main_wants.store(0);
  }
  content_prefetch::slot& s = p.slots[i % kSlots];
  if (s.out_of_memory) throw std::bad_alloc();
  return s.c;
}

void prefetch_release(content_prefetch& p, size_t i) {
  p.held.fetch_sub(p.slots[i % kSlots].held);
  p.released.store(i + 1);
  const size_t w = p.helper_wants.load();
  if (w != 0 && i + 1 >= w) wake(p);
}

}  // namespace qm
