// One overlay job: what it is asked for, what it gives back, and the entry point that runs it.
//
// This is the library's own interface to a job, beneath the six exports: the exports build the
// options from their arguments and copy the result's message into the process-wide error text;
// the command-line tool calls job_run directly. A job touches no global state: its message is
// its own, so jobs on several threads each learn why they failed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "import/compact_content.h"
#include "reader/file_data.h"

namespace qm {

struct job_options {
  // Paths; for an input or output that comes from or goes to elsewhere (below), the name that
  // messages give it.
  std::string background, foreground, output;
  bool stamp = false;    // foreground page 1 on every background page
  int mode = 0;          // 0 foreground on top, 1 underneath
  float opacity = 1.0f;  // clamped into [0, 1]; NaN counts as 1
  // Carry the pages' annotations and links, the form, the outline and the document information
  // (keep_interactive.h); off, the output is what it always was.
  bool keep_interactive = false;
  bool helper_threads = true;  // jobs of 16+ pages may read ahead / write on helper threads

  // Compact output: each Form XObject's content goes out Flate-compressed (the input's own
  // compressed bytes where the page's content is one whole Flate stream, else packed by
  // `compress`), and every copied resource object is written once. The library links no
  // compressor: the program supplies one (the tool and the Python module give libdeflate's,
  // ext/deflate). `compress(compress_ctx, src, n, dst, cap)` writes one zlib stream of src[0, n)
  // into dst's cap bytes and returns its length, or 0 when it cannot; it is called from the
  // job's thread and its read-ahead helper at once and must not throw. Without one, compact
  // output keeps the stored contents and writes the others as they are.
  bool compact = false;
  zlib_compress_fn compress = nullptr;
  void* compress_ctx = nullptr;

  // Where helper threads start paying off; tests move them to run small jobs through the
  // helpers, or none. Only with helper_threads.
  int64_t read_ahead_min_pages = 16;  // pages to import from which contents are read ahead
  int64_t output_min_pages = 16;      // output pages from which the output is written as made
  size_t output_chunk_bytes = size_t{1} << 20;  // stretches of the output handed to the writer
  // Input files from this size on are read into a mapping of their own (file_data.h); SIZE_MAX
  // reads every file into new[], where tests can refuse allocations.
  size_t input_map_min_bytes = kFileMapMin;

  // An input given in memory, read in place (not copied: the bytes must stay as they are until
  // job_run returns), or read whole from an open descriptor (a pipe too), instead of the file
  // that its path names. Memory is taken before a descriptor.
  std::optional<std::string_view> background_bytes, foreground_bytes;
  int background_fd = -1, foreground_fd = -1;
  // The output put into this string, or handed whole to `output_sink` (with `output_context`;
  // called once, on the job's thread, before the job lets its memory go: it copies what it
  // keeps, and may throw std::bad_alloc), or written to this open descriptor (built whole in
  // memory, then written at once), instead of the file that `output` names; the first of them
  // that is set.
  std::string* output_bytes = nullptr;
  void (*output_sink)(void* context, std::string_view pdf) = nullptr;
  void* output_context = nullptr;
  int output_fd = -1;
};

enum class job_part { none, background, foreground, output };

struct job_result {
  bool ok = false;
  std::string message;  // the failed job's message, exactly the C error text; "" on success
  job_part part = job_part::none;  // the file the failure concerns, where the job knows it
  int32_t pages = 0;               // output pages written on success
  bool read_ahead = false;         // page contents were read ahead on a helper thread
  bool output_streamed = false;    // the output was written while it was made
  int sys_errno = 0;  // the errno of the failed system call (open, read, write), else 0
};

// Runs one job. Never throws: exhausted memory is "out of memory", any other exception
// "internal error: <its what()>". Everything the job allocated is released before it returns.
void job_run(const job_options& o, job_result& r) noexcept;

// The exports' side of a job: copies the result's message into the error text (emptied on
// success) and returns 1 on success, 0 on failure.
int job_publish(const job_result& r) noexcept;

// The job behind the three exports: null paths are refused ("NULL path argument"), then the job
// runs with these arguments (its mode and opacity treated by job_run; stamp 0 or 1) and its result
// is published. 1 on success, 0 with the message in the error text. Never throws.
int overlay_exec(const char* bg_path, const char* fg_path, const char* out_path, int mode,
                 float opacity, int stamp) noexcept;

}  // namespace qm
