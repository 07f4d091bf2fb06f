// Exhausted memory: a job whose n-th allocation fails reports it with its message, result 0,
// leaves no output file and leaks nothing, for every n.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <set>
#include <string>

#include "job/out_stream.h"
#include "job/prefetch.h"
#include "support/jobpdf.h"

namespace {

// Allocation failure injection for this test program: while armed, the allocation that brings
// the countdown to zero throws (every later one succeeds again).
std::atomic<long> g_countdown{-1};

void* checked_alloc(std::size_t n, std::size_t align = 0) {
  if (g_countdown.load(std::memory_order_relaxed) >= 0 &&
      g_countdown.fetch_sub(1, std::memory_order_relaxed) == 0)
    throw std::bad_alloc();
  void* p = align ? std::aligned_alloc(align, (n + align) / align * align) : std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

// Every ordinary form is replaced, so that each allocation and its release meet the same heap.
void* operator new(std::size_t n) {
  return checked_alloc(n);
}
void* operator new[](std::size_t n) {
  return checked_alloc(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return checked_alloc(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept {
  return operator new(n, t);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
// The aligned forms too (input files are read into aligned arrays).
void* operator new(std::size_t n, std::align_val_t a) {
  return checked_alloc(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return checked_alloc(n, static_cast<std::size_t>(a));
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  try {
    return checked_alloc(n, static_cast<std::size_t>(a));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t& t) noexcept {
  return operator new(n, a, t);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}

namespace {

using namespace qmtest;

struct oom_case {
  const char* name;
  job_kind kind;
  bool helpers;                         // contents read ahead, output streamed in small pieces
  std::set<std::string> page_messages;  // the page-import messages that must show up
};

TEST(JobOom, EveryAllocationFailureIsReported) {
  // Two pages each, with resources, so that every phase allocates.
  const std::string res = "/Resources << /Font << /F1 50 0 R >> >>";
  const std::map<int, std::string> font = {
      {50, "<< /Type /Font /Subtype /Type1 /BaseFont /Courier >>"}};
  const std::string bg =
      put_file("oom_bg.pdf",
               doc_pdf({{"[0 0 612 792]", "0 g\n", res}, {"[0 0 612 792]", "0 g\n", res}}, font));
  const std::string fg =
      put_file("oom_fg.pdf",
               doc_pdf({{"[0 0 300 300]", "1 g\n", res}, {"[0 0 300 300]", "1 g\n", res}}, font));
  const std::string out = (scratch() / "oom_out.pdf").string();

  const std::set<std::string> merge_pages = {"failed to build form XObject for background page 1",
                                             "failed to build form XObject for background page 2",
                                             "failed to build form XObject for foreground page 1",
                                             "failed to build form XObject for foreground page 2"};
  const std::set<std::string> stamp_pages = {"failed to build form XObject for background page 1",
                                             "failed to build stamp form XObject"};
  const std::vector<oom_case> cases = {
      {"merge", job_kind::merge, false, merge_pages},
      {"stamp", job_kind::stamp, false, stamp_pages},
      {"merge, helper threads", job_kind::merge, true, merge_pages},
      {"stamp, helper threads", job_kind::stamp, true, stamp_pages},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // These two-page jobs use helper threads only when told to from one page on; otherwise never.
    qm::job_options o = options_for(c.kind, bg, fg, out);
    o.read_ahead_min_pages = c.helpers ? 1 : INT64_MAX;
    o.output_min_pages = c.helpers ? 1 : INT64_MAX;
    o.output_chunk_bytes = 1;
    const job_result ok = run_job(c.kind, bg, fg, out, 0, 1.0f, &o);
    ASSERT_EQ(ok.rc, 1) << ok.err;
    std::set<std::string> seen;
    bool completed = false;
    for (long n = 0; n < 100000 && !completed; ++n) {
      std::filesystem::remove(out);
      quiremark_init();
      // The job's own allocations are counted, its message published as the exports do.
      qm::job_result r;
      g_countdown = n;
      qm::job_run(o, r);
      const bool fired = g_countdown.exchange(-1) < 0;
      const int rc = qm::job_publish(r);
      const std::string err = quiremark_last_error();
      if (!fired) {
        // The job needed fewer than n + 1 allocations: it must have succeeded normally.
        ASSERT_EQ(rc, 1) << err;
        EXPECT_EQ(read_file(out), ok.out);
        completed = true;
        break;
      }
      // Either a reader fallback absorbed the failure and the job still succeeded, or it failed
      // with a message and left no file.
      if (rc == 1) {
        EXPECT_EQ(err, "");
        continue;
      }
      EXPECT_FALSE(err.empty()) << "allocation " << n;
      EXPECT_FALSE(std::filesystem::exists(out)) << "allocation " << n << ": " << err;
      // Nor a temporary file beside it.
      for (const auto& e : std::filesystem::directory_iterator(scratch()))
        EXPECT_EQ(e.path().extension(), ".pdf") << "allocation " << n << ": " << e.path();
      seen.insert(err);
    }
    EXPECT_TRUE(completed);
    EXPECT_TRUE(seen.count("out of memory")) << "no \"out of memory\"";
    for (const std::string& m : c.page_messages) EXPECT_TRUE(seen.count(m)) << m;
  }
}

}  // namespace
