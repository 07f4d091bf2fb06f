// The content read-ahead: a bounded ring of page slots filled in import order by two readers (the
// helper thread and, when it would otherwise wait, the job's thread) and emptied in order by one
// consumer (the job's thread, importing the pages).
#include "job/prefetch.h"

#include <functional>
#include <new>

namespace qm {

namespace {

constexpr size_t kSlots = content_prefetch::kSlots;

// Wakes the other side, which waits under the mutex: taking the mutex first makes sure that it is
// either asleep already or has yet to look at the counters (and will see the new value).
void wake(content_prefetch& p) {
  { std::lock_guard<std::mutex> lock(p.mu); }
  p.cv.notify_all();
}

// A slot's buffers keep their room from page to page, up to this much each (so that all the
// slots together keep at most 8 MiB that no page uses, 16 MiB for compact output, whose slots also
// hold the compressed content).
constexpr size_t kKeepRoom = size_t{64} << 10;

// Whether page i may be claimed now: its slot is free (page i - kSlots was used) and the pages
// read ahead are within the budget, or it is the page the import needs next.
bool may_claim(const content_prefetch& p, size_t i) {
  const size_t used = p.released.load();
  return i < used + kSlots && (i == used || p.held.load() < content_prefetch::kBudget);
}

// Reads page i, claimed by the calling thread, into its slot and tells the job's thread if it
// waits for this page.
void read_claimed(content_prefetch& p, size_t i) {
  const doc& d = *p.runs[i < p.first_of_run1 ? 0 : 1].d;
  content_prefetch::slot& s = p.slots[i % kSlots];
  s.out_of_memory = false;
  if (s.c.joined.cap > kKeepRoom) buf_free(s.c.joined);
  if (s.c.packed.cap > kKeepRoom) buf_free(s.c.packed);
  try {
    if (p.compact)
      read_page_content_compact(d, *p.items[i], s.c, *p.compact);
    else
      read_page_content(d, *p.items[i], s.c);
  } catch (...) {
    // Exhausted memory is all that reading a page can throw; nothing may leave the helper, and
    // on the job's thread the failure belongs to the page, reported when it is taken.
    s.out_of_memory = true;
  }
  s.held = s.c.joined.len + s.c.packed.len;
  p.held.fetch_add(s.held);
  s.done.store(i + 1);
  if (p.main_wants.load() == i + 1) wake(p);
}

void helper_main(content_prefetch& p) {
  const size_t n = p.items.size();
  for (;;) {
    if (p.stop.load()) return;
    size_t i = p.claimed.load();
    if (i >= n) return;
    if (!may_claim(p, i)) {
      // Sleep until half the ring is free again, or, over the budget, until the import needs
      // page i next. The job's thread never waits for a page that nobody reads, so it needs no
      // word of this.
      const size_t need = i >= p.released.load() + kSlots ? i + 1 - kSlots / 2 : i;
      std::unique_lock<std::mutex> lock(p.mu);
      p.helper_wants.store(need);
      p.cv.wait(lock, [&] { return p.stop.load() || p.released.load() >= need; });
      p.helper_wants.store(0);
      continue;
    }
    if (p.claimed.compare_exchange_strong(i, i + 1)) read_claimed(p, i);
  }
}

// Pages in both runs, missing page objects included.
int64_t run_pages(const content_prefetch& p) {
  int64_t pages = 0;
  for (const prefetch_run& r : p.runs) pages += r.count;
  return pages;
}

}  // namespace

const obj_rec* prefetch_page(const prefetch_run& r, int32_t t) {
  return doc_find(*r.d, r.d->pages[static_cast<size_t>(t)].num);
}

content_prefetch::~content_prefetch() {
  prefetch_stop(*this);
}

void prefetch_stop(content_prefetch& p) {
  if (p.helper.joinable()) {
    p.stop.store(true);
    wake(p);
    p.helper.join();
  }
  for (content_prefetch::slot& s : p.slots) {
    buf_free(s.c.joined);
    buf_free(s.c.packed);
  }
  std::vector<const obj_rec*>().swap(p.items);
}

void prefetch_list(content_prefetch& p) {
  p.items.clear();
  p.items.reserve(static_cast<size_t>(run_pages(p)));
  for (const prefetch_run& r : p.runs) {
    if (&r == &p.runs[1]) p.first_of_run1 = p.items.size();
    for (int32_t t = 0; t < r.count; ++t)
      if (const obj_rec* o = prefetch_page(r, t)) p.items.push_back(o);
  }
}

bool prefetch_start(content_prefetch& p, int64_t min_pages) {
  if (run_pages(p) < min_pages || std::thread::hardware_concurrency() < 2) return false;
  try {
    prefetch_list(p);
    p.helper = std::thread(helper_main, std::ref(p));
  } catch (...) {
    // No memory for the list or no thread to be had (std::system_error, std::bad_alloc): the
    // caller reads every page on its own thread.
    std::vector<const obj_rec*>().swap(p.items);
    return false;
  }
  return true;
}

const page_content& prefetch_take(content_prefetch& p, size_t i) {
  content_prefetch::slot& s = p.slots[i % kSlots];
  while (s.done.load() != i + 1) {
    // Not read yet. Rather than wait, read the next page nobody has claimed (page i itself when
    // the helper has not reached it), unless that page may not be read yet.
    size_t next = p.claimed.load();
    if (next < p.items.size() && may_claim(p, next)) {
      if (p.claimed.compare_exchange_strong(next, next + 1)) read_claimed(p, next);
      continue;
    }
    // The helper is reading page i, and nothing else may be read: wait for it.
    std::unique_lock<std::mutex> lock(p.mu);
    p.main_wants.store(i + 1);
    p.cv.wait(lock, [&] { return s.done.load() == i + 1; });
    p.main_wants.store(0);
  }
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
