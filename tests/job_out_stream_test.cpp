// Output written while the job makes it: the same file as one write at the end, and on every
// failure part way the same outcome (the old file untouched, no temporary file left behind).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "job/out_stream.h"
#include "job/prefetch.h"
#include "support/jobpdf.h"

namespace {

namespace fs = std::filesystem;
using namespace qmtest;

// Streams every job from one page on, handing over stretches of at least `chunk` bytes (1: after
// every page and resource object), for one scope.
struct streaming_for_scope {
  int64_t saved_pages;
  size_t saved_chunk;
  explicit streaming_for_scope(size_t chunk)
      : saved_pages(qm::stream_min_pages.exchange(1)),
        saved_chunk(qm::stream_chunk_bytes.exchange(chunk)) {}
  ~streaming_for_scope() {
    qm::stream_min_pages = saved_pages;
    qm::stream_chunk_bytes = saved_chunk;
  }
};

struct never_streaming_for_scope {
  int64_t saved = qm::stream_min_pages.exchange(INT64_MAX);
  ~never_streaming_for_scope() { qm::stream_min_pages = saved; }
};

TEST(OutStream, StreamedOutputIsTheOneWrittenAtTheEnd) {
  // Resources shared by the pages and a second font only some pages use, so that resource
  // objects follow the pages in the output.
  const std::string bg = put_file("st_bg.pdf", varied_contents_pdf(37, "bg"));
  const std::string fg = put_file("st_fg.pdf", varied_contents_pdf(12, "fg"));
  struct scase {
    const char* name;
    job_kind kind;
    int mode;
    float opacity;
  };
  const scase cases[] = {{"merge", job_kind::merge, 0, 1.0f},
                         {"stamp underneath", job_kind::stamp, 1, 1.0f},
                         {"translucent merge", job_kind::opacity, 0, 0.3f}};
  const size_t chunks[] = {1, 700, 5000, size_t{1} << 30};
  const fs::path d = fresh_dir("streamed");
  const std::string out = (d / "out.pdf").string();
  for (const scase& c : cases) {
    SCOPED_TRACE(c.name);
    job_result whole;
    {
      never_streaming_for_scope never;
      whole = run_job(c.kind, bg, fg, out, c.mode, c.opacity);
    }
    ASSERT_EQ(whole.rc, 1) << whole.err;
    for (size_t chunk : chunks) {
      SCOPED_TRACE(chunk);
      streaming_for_scope streaming(chunk);
      const job_result r = run_job(c.kind, bg, fg, out, c.mode, c.opacity);
      ASSERT_EQ(r.rc, 1) << r.err;
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(r.out, whole.out);
      EXPECT_EQ(names_in(d), std::vector<std::string>{"out.pdf"});
    }
  }
  EXPECT_QPDF_ACCEPTS(out);
}

// A write that fails part way (here: the file size limit) fails the job with the write message,
// leaves the old file as it was and removes the temporary file, however much was written.
TEST(OutStream, FailedWritePartWayKeepsTheOldFile) {
  const std::string bg = put_file("st_bg.pdf", varied_contents_pdf(40, "bg"));
  const std::string fg = put_file("st_fg.pdf", varied_contents_pdf(40, "fg"));
  for (const rlim_t limit : {rlim_t{100}, rlim_t{5000}, rlim_t{20000}}) {
    SCOPED_TRACE(limit);
    const fs::path d = fresh_dir("fail_" + std::to_string(limit));
    const fs::path out = d / "out.pdf";
    put_file("fail_" + std::to_string(limit) + "/out.pdf", "old contents");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      streaming_for_scope streaming(1);
      qm::prefetch_min_pages = 1;
      ::signal(SIGXFSZ, SIG_IGN);
      struct rlimit lim = {limit, limit};
      ::setrlimit(RLIMIT_FSIZE, &lim);
      const int rc = quiremark_merge(bg.c_str(), fg.c_str(), out.c_str(), 0);
      const std::string want = "write error on " + out.string();
      ::_exit(rc == 0 && want == quiremark_last_error() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the job did not fail with the write message";
    EXPECT_EQ(read_file(out.string()), "old contents");
    EXPECT_EQ(names_in(d), std::vector<std::string>{"out.pdf"});
  }
}

// The output may name one of the inputs: the streamed file replaces it only once complete.
// (Jobs that fail after streaming began, from exhausted memory, are in the allocation-failure
// test, which streams too.)
TEST(OutStream, OutputMayReplaceAnInput) {
  const fs::path d = fresh_dir("replace");
  const std::string bg = (d / "bg.pdf").string();
  const std::string fg = put_file("st_fg.pdf", varied_contents_pdf(3, "fg"));
  const std::string original = varied_contents_pdf(30, "bg");
  put_file("replace/bg.pdf", original);
  job_result whole;
  {
    never_streaming_for_scope never;
    whole = run_job(job_kind::stamp, bg, fg, (d / "whole.pdf").string());
    ASSERT_EQ(whole.rc, 1) << whole.err;
  }
  streaming_for_scope streaming(1);
  ASSERT_EQ(quiremark_stamp(bg.c_str(), fg.c_str(), bg.c_str(), 0), 1) << quiremark_last_error();
  EXPECT_EQ(read_file(bg), whole.out);
  EXPECT_EQ(names_in(d), (std::vector<std::string>{"bg.pdf", "whole.pdf"}));
}

}  // namespace
