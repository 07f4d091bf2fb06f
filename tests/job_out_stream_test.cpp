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

// Options that stream every job from one page on, handing over stretches of at least `chunk`
// bytes (1: after every page and resource object).
qm::job_options streaming(size_t chunk) {
  qm::job_options o;
  o.output_min_pages = 1;
  o.output_chunk_bytes = chunk;
  return o;
}

qm::job_options never_streaming() {
  qm::job_options o;
  o.output_min_pages = INT64_MAX;
  return o;
}

// Every case runs both ways of making the temporary file: unnamed until it is complete
// (O_TMPFILE), and named from the start, as on systems without it.
class OutStream : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { qm::unnamed_temp_files = GetParam(); }
  void TearDown() override { qm::unnamed_temp_files = true; }
};
INSTANTIATE_TEST_SUITE_P(TempFile, OutStream, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& i) {
                           return std::string(i.param ? "Unnamed" : "Named");
                         });

TEST_P(OutStream, StreamedOutputIsTheOneWrittenAtTheEnd) {
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
    const qm::job_options never = never_streaming();
    const job_result whole = run_job(c.kind, bg, fg, out, c.mode, c.opacity, &never);
    ASSERT_EQ(whole.rc, 1) << whole.err;
    EXPECT_FALSE(whole.output_streamed);
    for (size_t chunk : chunks) {
      SCOPED_TRACE(chunk);
      const qm::job_options o = streaming(chunk);
      const job_result r = run_job(c.kind, bg, fg, out, c.mode, c.opacity, &o);
      ASSERT_EQ(r.rc, 1) << r.err;
      EXPECT_TRUE(r.output_streamed);
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(r.out, whole.out);
      EXPECT_EQ(names_in(d), std::vector<std::string>{"out.pdf"});
    }
  }
  EXPECT_QPDF_ACCEPTS(out);
}

// A write that fails part way (here: the file size limit) fails the job with the write message,
// leaves the old file as it was and removes the temporary file, however much was written.
TEST_P(OutStream, FailedWritePartWayKeepsTheOldFile) {
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
      qm::job_options o = options_for(job_kind::merge, bg, fg, out.string(), 0, 1.0f, streaming(1));
      o.read_ahead_min_pages = 1;
      ::signal(SIGXFSZ, SIG_IGN);
      struct rlimit lim = {limit, limit};
      ::setrlimit(RLIMIT_FSIZE, &lim);
      qm::job_result r;
      qm::job_run(o, r);
      const std::string want = "write error on " + out.string();
      ::_exit(!r.ok && r.message == want && r.part == qm::job_part::output ? 0 : 1);
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
TEST_P(OutStream, OutputMayReplaceAnInput) {
  const fs::path d = fresh_dir("replace");
  const std::string bg = (d / "bg.pdf").string();
  const std::string fg = put_file("st_fg.pdf", varied_contents_pdf(3, "fg"));
  const std::string original = varied_contents_pdf(30, "bg");
  put_file("replace/bg.pdf", original);
  const qm::job_options never = never_streaming();
  const job_result whole =
      run_job(job_kind::stamp, bg, fg, (d / "whole.pdf").string(), 0, 1.0f, &never);
  ASSERT_EQ(whole.rc, 1) << whole.err;
  qm::job_result r;
  qm::job_run(options_for(job_kind::stamp, bg, fg, bg, 0, 1.0f, streaming(1)), r);
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_TRUE(r.output_streamed);
  EXPECT_EQ(r.pages, 30);
  EXPECT_EQ(read_file(bg), whole.out);
  EXPECT_EQ(names_in(d), (std::vector<std::string>{"bg.pdf", "whole.pdf"}));
}

}  // namespace
