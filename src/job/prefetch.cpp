// The content read-ahead helper: a bounded ring of page slots between one producer (the helper
// thread, reading pages in import order) and one consumer (the job's thread, importing them).
#include "job/prefetch.h"

#include <functional>
#include <new>

namespace qm {

std::atomic<int64_t> prefetch_min_pages{16};
std::atomic<int64_t> prefetch_helpers_started{0};

namespace {

// Reads the next page into its slot: waits for the slot of the page kSlots before to be
// released. False when told to stop.
bool read_next(content_prefetch& p, size_t i, const doc& d, const obj_rec& o) {
  {
    std::unique_lock<std::mutex> lock(p.mu);
    p.cv.wait(lock, [&] { return p.stop || i < p.released + content_prefetch::kSlots; });
    if (p.stop) return false;
  }
  content_prefetch::slot& s = p.slots[i % content_prefetch::kSlots];
  s.out_of_memory = false;
  try {
    read_page_content(d, o, s.c);
  } catch (...) {
    // Exhausted memory is all that reading a page can throw; nothing may leave the thread.
    s.out_of_memory = true;
  }
  {
    std::lock_guard<std::mutex> lock(p.mu);
    p.ready = i + 1;
  }
  p.cv.notify_all();
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
}

}  // namespace

const obj_rec* prefetch_page(const prefetch_run& r, int32_t t) {
  const int32_t num = r.nums ? r.nums[t] : r.num;
  if (num <= 0) return nullptr;
  return doc_find(*r.d, r.d->pages[static_cast<size_t>(t)].num);
}

content_prefetch::~content_prefetch() {
  if (!helper.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mu);
    stop = true;
  }
  cv.notify_all();
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
  {
    std::unique_lock<std::mutex> lock(p.mu);
    p.cv.wait(lock, [&] { return p.ready > i; });
  }
  content_prefetch::slot& s = p.slots[i % content_prefetch::kSlots];
  if (s.out_of_memory) throw std::bad_alloc();
  return s.c;
}

void prefetch_release(content_prefetch& p, size_t i) {
  {
    std::lock_guard<std::mutex> lock(p.mu);
    p.released = i + 1;
  }
  p.cv.notify_all();
}

}  // namespace qm
