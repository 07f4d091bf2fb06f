// The output file written while the job still makes it.
//
// A large job's output is mostly the imported pages, complete long before the cross-reference
// table at the end. Instead of holding the whole file and writing it in one piece at the end, a
// job over many pages hands each finished stretch of the output to a writer thread, which copies
// it into the temporary file that will replace the target, while the job goes on with the next
// pages. The bytes, the temporary file and the final rename are those of a single write; only
// the copying into the file happens earlier and alongside, and the finished stretches no longer
// take memory.
//
// Only output that goes through a temporary file is written this way. A target written in place
// (a pipe, a device, a file in a directory that takes no new file) is still written in one piece
// at the end, so that a job that fails has written nothing there.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "job/safe_write.h"
#include "text/buf.h"

namespace qm {

struct out_stream {
  pending_output file;
  bool active = false;                   // the temporary file is open and the writer runs
  size_t chunk_bytes = size_t{1} << 20;  // stretches are handed over once they reach this

  std::thread writer;
  std::mutex mu;
  std::condition_variable cv;
  std::deque<buf> queue;   // finished stretches not yet written, oldest first
  std::vector<buf> spare;  // written stretches' buffers, emptied, for the next stretches
  size_t queued = 0;       // their bytes
  bool closing = false;    // no more stretches will come
  bool failed = false;     // a write failed: the rest is not written
  int failed_errno = 0;    // that write's errno

  out_stream() = default;
  out_stream(const out_stream&) = delete;
  out_stream& operator=(const out_stream&) = delete;
  // A stream still active (a job that failed) stops its writer and removes its temporary file.
  ~out_stream();
};

// Starts writing the output for path through its temporary file, for a job of `pages` output
// pages, handing over stretches of chunk_bytes. Null, with nothing started and no file made, when
// the job has fewer than min_pages pages (the job's options say 16: smaller outputs are written
// in one piece at the end), when the output is not written through a temporary file, or when no
// thread or memory can be had: the caller then writes the whole output at the end with
// safe_write, whose result is then the one that counts.
std::unique_ptr<out_stream> output_begin(const char* path, int64_t pages, int64_t min_pages,
                                         size_t chunk_bytes);

// Hands `out` over to the writer when there is a stream and out holds a whole stretch:
// *base grows by its length and out is left empty. Waits while the writer is far behind, so
// that the stretches in flight stay within a bounded amount of memory.
void output_hand_over(out_stream* s, buf& out, int64_t* base);

// Writes the rest (`out`), waits for the writer, and closes and renames the temporary file.
write_result output_finish(out_stream& s, buf& out);

}  // namespace qm
