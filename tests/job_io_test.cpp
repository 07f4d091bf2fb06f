// Inputs and outputs that are not files named by paths: a PDF in memory, read in place; a
// descriptor read whole (pipes too); the output into a string or onto a descriptor. And the errno
// of a failed open, read or write, which the job hands back with its message.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>

#include "job/run.h"
#include "reader/load.h"
#include "support/jobpdf.h"

namespace {

using namespace qmtest;
namespace fs = std::filesystem;

struct inputs {
  std::string bg = put_file("io_bg.pdf", n_pages_pdf(3, "bg"));
  std::string fg = put_file("io_fg.pdf", n_pages_pdf(2, "fg", "[0 0 200 100]"));
  std::string bg_bytes = read_file(bg), fg_bytes = read_file(fg);
};

qm::job_options merge_of(const inputs& in, const std::string& out) {
  qm::job_options o;
  o.background = in.bg;
  o.foreground = in.fg;
  o.output = out;
  o.opacity = 0.5f;
  return o;
}

// The whole output of a job on the two paths, as the reference every other form must match.
std::string reference(const inputs& in) {
  const std::string out = (scratch() / "io_ref.pdf").string();
  qm::job_result r;
  qm::job_run(merge_of(in, out), r);
  EXPECT_TRUE(r.ok) << r.message;
  return read_file(out);
}

// A pipe whose write end a thread fills with `bytes` in small pieces, then closes.
struct feeding_pipe {
  int fd[2] = {-1, -1};
  std::thread writer;
  explicit feeding_pipe(const std::string& bytes) {
    EXPECT_EQ(pipe2(fd, O_CLOEXEC), 0);
    writer = std::thread([this, bytes] {
      for (size_t at = 0; at < bytes.size();) {
        const ssize_t n =
            write(fd[1], bytes.data() + at, std::min<size_t>(1000, bytes.size() - at));
        if (n <= 0) break;
        at += static_cast<size_t>(n);
      }
      close(fd[1]);
    });
  }
  ~feeding_pipe() {
    writer.join();
    close(fd[0]);
  }
};

TEST(JobIo, EveryFormOfInputAndOutputGivesTheSameBytes) {
  inputs in;
  const std::string want = reference(in);
  const std::string out = (scratch() / "io_out.pdf").string();

  {  // both inputs in memory, the output into a string
    qm::job_options o = merge_of(in, out);
    o.background_bytes = in.bg_bytes;
    o.foreground_bytes = in.fg_bytes;
    std::string pdf;
    o.output_bytes = &pdf;
    fs::remove(out);
    qm::job_result r;
    qm::job_run(o, r);
    EXPECT_TRUE(r.ok) << r.message;
    EXPECT_EQ(pdf, want);
    EXPECT_FALSE(fs::exists(out));  // the path is only a name then
  }
  {  // an input through a pipe, the output onto a descriptor
    feeding_pipe p(in.fg_bytes);
    qm::job_options o = merge_of(in, out);
    o.foreground_fd = p.fd[0];
    const std::string to = (scratch() / "io_fd.pdf").string();
    const int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    o.output_fd = fd;
    qm::job_result r;
    qm::job_run(o, r);
    close(fd);
    EXPECT_TRUE(r.ok) << r.message;
    EXPECT_EQ(read_file(to), want);
    EXPECT_FALSE(r.output_streamed);
  }
  {  // a regular file's descriptor, read from where it stands
    const std::string padded = put_file("io_padded.pdf", "skipped junk" + in.bg_bytes);
    const int fd = open(padded.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lseek(fd, 12, SEEK_SET), 12);
    qm::job_options o = merge_of(in, out);
    o.background_fd = fd;
    fs::remove(out);
    qm::job_result r;
    qm::job_run(o, r);
    close(fd);
    EXPECT_TRUE(r.ok) << r.message;
    EXPECT_EQ(read_file(out), want);
  }
}

TEST(JobIo, BytesInMemoryAreReadInPlace) {
  inputs in;
  qm::doc d;
  qm::msg m;
  ASSERT_EQ(qm::doc_load_view(in.bg_bytes, "mem", d, m), 0) << m.text;
  EXPECT_EQ(d.data.get(), in.bg_bytes.data());
  EXPECT_EQ(d.pages.size(), 3u);
  qm::doc_free(d);  // gives nothing back: the bytes are the caller's
  EXPECT_EQ(in.bg_bytes, read_file(in.bg));
}

TEST(JobIo, FailuresCarryTheirPartAndErrno) {
  inputs in;
  const fs::path dir = fresh_dir("io_dir");
  const std::string missing = (scratch() / "io_missing.pdf").string();
  const std::string no_dir = (scratch() / "io_no_dir" / "x.pdf").string();
  struct fcase {
    const char* what;
    void (*set)(qm::job_options&, const std::string& missing, const std::string& dir,
                const std::string& no_dir);
    std::string message;
    qm::job_part part;
    int err;
  };
  const fcase cases[] = {
      {"missing background", [](auto& o, auto& ms, auto&, auto&) { o.background = ms; },
       "cannot open " + missing, qm::job_part::background, ENOENT},
      {"folder as foreground", [](auto& o, auto&, auto& d, auto&) { o.foreground = d; },
       "cannot open " + dir.string(), qm::job_part::foreground, EISDIR},
      {"output in a missing folder", [](auto& o, auto&, auto&, auto& nd) { o.output = nd; },
       "cannot open " + no_dir + " for writing", qm::job_part::output, ENOENT},
      {"folder as output", [](auto& o, auto&, auto& d, auto&) { o.output = d; },
       "cannot open " + dir.string() + " for writing", qm::job_part::output, EISDIR},
      {"empty input in memory",
       [](auto& o, auto&, auto&, auto&) {
         o.background = "-";
         o.background_bytes = std::string_view();
       },
       "empty input file: -", qm::job_part::background, 0},
  };
  for (const fcase& c : cases) {
    SCOPED_TRACE(c.what);
    qm::job_options o = merge_of(in, (scratch() / "io_out.pdf").string());
    c.set(o, missing, dir.string(), no_dir);
    qm::job_result r;
    qm::job_run(o, r);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(r.part, c.part);
    EXPECT_EQ(r.sys_errno, c.err);
  }
}

TEST(JobIo, AWriteThatFailsKeepsItsErrno) {
  inputs in;
  signal(SIGPIPE, SIG_IGN);
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  close(p[0]);  // nobody reads
  qm::job_options o = merge_of(in, "-");
  o.output_fd = p[1];
  qm::job_result r;
  qm::job_run(o, r);
  close(p[1]);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "write error on -");
  EXPECT_EQ(r.part, qm::job_part::output);
  EXPECT_EQ(r.sys_errno, EPIPE);

  if (fs::exists("/dev/full")) {
    o = merge_of(in, "/dev/full");
    qm::job_run(o, r);
    EXPECT_EQ(r.message, "write error on /dev/full");
    EXPECT_EQ(r.sys_errno, ENOSPC);
  }
}

}  // namespace
