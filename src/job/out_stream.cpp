// The writer thread of a streamed output and its queue of finished stretches.
#include "job/out_stream.h"

#include <cerrno>
#include <functional>
#include <new>
#include <utility>

namespace qm {

namespace {

// Stretches waiting for the writer, at most: the job pauses beyond this.
constexpr size_t kMaxQueued = size_t{64} << 20;
// Written stretches' buffers kept for reuse, and the largest kept.
constexpr size_t kSpares = 4;
constexpr size_t kSpareRoom = size_t{8} << 20;

void writer_main(out_stream& s) {
  std::unique_lock<std::mutex> lock(s.mu);
  for (;;) {
    s.cv.wait(lock, [&] { return !s.queue.empty() || s.closing; });
    if (s.queue.empty()) break;  // closing, and everything written
    buf b = std::move(s.queue.front());
    s.queue.pop_front();
    const bool skip = s.failed;
    lock.unlock();
    const bool ok = skip || write_all(s.file.fd, b.view());
    const int err = ok ? 0 : errno;
    const size_t n = b.len;
    lock.lock();
    s.queued -= n;
    if (!ok) {
      s.failed = true;
      s.failed_errno = err;
    }
    // The buffer comes back for a later stretch: its memory is in place already, where a new one
    // would have every page faulted in again. (One not kept is freed as b goes.)
    b.len = 0;
    if (s.spare.size() < kSpares && b.cap <= kSpareRoom) {
      try {
        s.spare.push_back(std::move(b));
      } catch (...) {
      }
    }
    s.cv.notify_all();
  }
}

// Tells the writer that nothing more comes, and waits for it to finish what it holds.
void stop_writer(out_stream& s, bool drop_queue) {
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.closing = true;
    if (drop_queue) s.failed = true;  // what is still queued is not written
  }
  s.cv.notify_all();
  s.writer.join();
}

}  // namespace

out_stream::~out_stream() {
  if (!active) return;
  stop_writer(*this, true);
  discard_output(file);
}

std::unique_ptr<out_stream> output_begin(const char* path, int64_t pages, int64_t min_pages,
                                         size_t chunk_bytes) {
  if (pages < min_pages) return nullptr;
  std::unique_ptr<out_stream> s;
  try {
    s = std::make_unique<out_stream>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  s->chunk_bytes = chunk_bytes;
  if (prepare_output(path, &s->file) != output_plan::temp) return nullptr;
  try {
    s->writer = std::thread(writer_main, std::ref(*s));
  } catch (...) {
    discard_output(s->file);  // no thread: written in one piece at the end after all
    return nullptr;
  }
  s->active = true;
  return s;
}

void output_hand_over(out_stream* s, buf& out, int64_t* base) {
  if (!s || out.len < s->chunk_bytes) return;
  const size_t n = out.len;
  {
    std::unique_lock<std::mutex> lock(s->mu);
    s->cv.wait(lock, [&] { return s->queued < kMaxQueued || s->failed; });
    s->queue.push_back(std::move(out));
    s->queued += n;
    out = buf();
    if (!s->spare.empty()) {
      out = std::move(s->spare.back());
      s->spare.pop_back();
    }
  }
  s->cv.notify_all();
  *base += static_cast<int64_t>(n);
}

write_result output_finish(out_stream& s, buf& out) {
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.queued += out.len;
    s.queue.push_back(std::move(out));
  }
  out = buf();
  stop_writer(s, false);
  s.active = false;
  // The failed write's errno, on this thread, for the caller's message (the clean-up that
  // follows succeeds without touching it).
  if (s.failed) errno = s.failed_errno;
  return commit_output(s.file, !s.failed);
}

}  // namespace qm
