// Safe output: a finished job replaces its output in one step; a failed one changes nothing.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "job/safe_write.h"
#include "support/jobpdf.h"

namespace {

namespace fs = std::filesystem;
using namespace qmtest;

mode_t mode_of(const fs::path& p) {
  struct stat st;
  EXPECT_EQ(::stat(p.c_str(), &st), 0);
  return st.st_mode & 07777;
}

struct inputs {
  std::string bg = put_file("sw_bg.pdf", n_pages_pdf(2, "bg"));
  std::string fg = put_file("sw_fg.pdf", n_pages_pdf(1, "fg"));
  std::string expected;
  inputs() {
    const std::string ref = (scratch() / "sw_ref.pdf").string();
    EXPECT_EQ(quiremark_stamp(bg.c_str(), fg.c_str(), ref.c_str(), 0), 1);
    expected = read_file(ref);
  }
  int run(const std::string& out) const {
    return quiremark_stamp(bg.c_str(), fg.c_str(), out.c_str(), 0);
  }
};

// Every case runs both ways of making the temporary file: unnamed until it is complete
// (O_TMPFILE), and named from the start, as on systems without it.
class SafeWrite : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { qm::unnamed_temp_files = GetParam(); }
  void TearDown() override { qm::unnamed_temp_files = true; }
};
INSTANTIATE_TEST_SUITE_P(TempFile, SafeWrite, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& i) {
                           return std::string(i.param ? "Unnamed" : "Named");
                         });

TEST_P(SafeWrite, NewFileGetsTheUmaskPermissions) {
  inputs in;
  const fs::path d = fresh_dir("sw_new");
  for (mode_t mask : {mode_t{022}, mode_t{077}, mode_t{002}}) {
    const fs::path out = d / ("out" + std::to_string(mask) + ".pdf");
    const mode_t old = ::umask(mask);
    const int rc = in.run(out.string());
    ::umask(old);
    ASSERT_EQ(rc, 1) << quiremark_last_error();
    EXPECT_EQ(read_file(out.string()), in.expected);
    EXPECT_EQ(mode_of(out), 0666 & ~mask);
  }
  // Only the outputs remain: no temporary file.
  EXPECT_EQ(names_in(d).size(), 3u);
}

TEST_P(SafeWrite, ExistingFileKeepsItsPermissions) {
  inputs in;
  const fs::path d = fresh_dir("sw_perm");
  for (mode_t m : {mode_t{0640}, mode_t{0600}, mode_t{0755}}) {
    const fs::path out = d / "out.pdf";
    put_file("sw_perm/out.pdf", "old contents");
    ASSERT_EQ(::chmod(out.c_str(), m), 0);
    ASSERT_EQ(in.run(out.string()), 1) << quiremark_last_error();
    EXPECT_EQ(read_file(out.string()), in.expected);
    EXPECT_EQ(mode_of(out), m);
  }
  EXPECT_EQ(names_in(d), std::vector<std::string>{"out.pdf"});
}

TEST_P(SafeWrite, SymlinkIsFollowed) {
  inputs in;
  const fs::path d = fresh_dir("sw_link");
  fs::create_directories(d / "real");
  put_file("sw_link/real/target.pdf", "old contents");
  fs::create_symlink("real/target.pdf", d / "link.pdf");   // relative
  fs::create_symlink(d / "link.pdf", d / "link2.pdf");     // a chain, absolute
  fs::create_symlink("real/new.pdf", d / "dangling.pdf");  // names nothing yet
  for (const char* name : {"link.pdf", "link2.pdf"}) {
    put_file("sw_link/real/target.pdf", "old contents");
    ASSERT_EQ(in.run((d / name).string()), 1) << quiremark_last_error();
    EXPECT_TRUE(fs::is_symlink(d / name));
    EXPECT_EQ(read_file((d / "real" / "target.pdf").string()), in.expected);
  }
  ASSERT_EQ(in.run((d / "dangling.pdf").string()), 1) << quiremark_last_error();
  EXPECT_TRUE(fs::is_symlink(d / "dangling.pdf"));
  EXPECT_EQ(read_file((d / "real" / "new.pdf").string()), in.expected);
  EXPECT_EQ(names_in(d / "real"), (std::vector<std::string>{"new.pdf", "target.pdf"}));
}

// A write that fails (here: the file-size limit) leaves the old file exactly as it was and no
// temporary file behind. Run in a child process, which alone gets the limit.
TEST_P(SafeWrite, FailedWriteKeepsTheOldFile) {
  inputs in;
  const fs::path d = fresh_dir("sw_fail");
  const fs::path out = d / "out.pdf";
  put_file("sw_fail/out.pdf", "old contents");
  ASSERT_EQ(::chmod(out.c_str(), 0640), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {100, 100};  // far below the output's size
    ::setrlimit(RLIMIT_FSIZE, &lim);
    const int rc = in.run(out.string());
    const std::string want = "write error on " + out.string();
    ::_exit(rc == 0 && want == quiremark_last_error() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the job did not fail with the write message";
  EXPECT_EQ(read_file(out.string()), "old contents");
  EXPECT_EQ(mode_of(out), 0640u);
  EXPECT_EQ(names_in(d), std::vector<std::string>{"out.pdf"});
}

// Runs fn in a child process without root's privileges (as "nobody" when the tests run as root,
// after handing it the given paths), so that permissions bind. Returns fn's exit code.
template <class Fn>
int unprivileged(const std::vector<fs::path>& give, Fn fn) {
  const bool root = ::geteuid() == 0;
  if (root) {
    for (const fs::path& p : give) EXPECT_EQ(::chown(p.c_str(), 65534, 65534), 0) << p;
  }
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (root && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
      ::_exit(99);
    ::_exit(fn());
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Without write permission on the file, nothing is replaced (as opening it would fail).
TEST_P(SafeWrite, ReadOnlyFileIsNotReplaced) {
  inputs in;
  const fs::path d = fresh_dir("sw_ro");
  const fs::path out = d / "out.pdf";
  put_file("sw_ro/out.pdf", "old contents");
  const int code = unprivileged({d, out}, [&] {
    if (::chmod(out.c_str(), 0444) != 0) return 2;
    if (in.run(out.string()) != 0) return 3;
    return "cannot open " + out.string() + " for writing" == quiremark_last_error() ? 0 : 4;
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(read_file(out.string()), "old contents");
  EXPECT_EQ(names_in(d), std::vector<std::string>{"out.pdf"});
}

// A writable file in a directory that takes no new file is written in place; a new file cannot
// be made there at all.
TEST_P(SafeWrite, WritableFileInReadOnlyDirectory) {
  inputs in;
  const fs::path d = fresh_dir("sw_rodir");
  const fs::path out = d / "out.pdf";
  const fs::path fresh = d / "new.pdf";
  put_file("sw_rodir/out.pdf", "old contents");
  const int code = unprivileged({d, out}, [&] {
    if (::chmod(d.c_str(), 0555) != 0) return 2;
    if (in.run(out.string()) != 1) return 3;
    if (in.run(fresh.string()) != 0) return 4;
    if ("cannot open " + fresh.string() + " for writing" != quiremark_last_error()) return 5;
    return ::chmod(d.c_str(), 0755) == 0 ? 0 : 6;
  });
  ::chmod(d.c_str(), 0755);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(read_file(out.string()), in.expected);
  EXPECT_EQ(names_in(d), std::vector<std::string>{"out.pdf"});
}

// Devices and pipes are written directly.
TEST_P(SafeWrite, DevicesAndPipesAreWrittenDirectly) {
  inputs in;
  EXPECT_EQ(in.run("/dev/null"), 1) << quiremark_last_error();
  EXPECT_TRUE(fs::is_character_file("/dev/null"));

  const fs::path d = fresh_dir("sw_fifo");
  const fs::path fifo = d / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string got;
  std::thread reader([&] {
    const int fd = ::open(fifo.c_str(), O_RDONLY);
    char b[4096];
    ssize_t n;
    while ((n = ::read(fd, b, sizeof b)) > 0) got.append(b, static_cast<size_t>(n));
    ::close(fd);
  });
  const int rc = in.run(fifo.string());
  reader.join();
  EXPECT_EQ(rc, 1) << quiremark_last_error();
  EXPECT_EQ(got, in.expected);
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_EQ(names_in(d), std::vector<std::string>{"pipe"});
}

// The function itself, for the results the job turns into messages.
TEST_P(SafeWrite, Results) {
  const fs::path d = fresh_dir("sw_fn");
  EXPECT_EQ(qm::safe_write((d / "a").c_str(), "abc"), qm::write_result::ok);
  EXPECT_EQ(read_file((d / "a").string()), "abc");
  EXPECT_EQ(qm::safe_write((d / "a").c_str(), ""), qm::write_result::ok);
  EXPECT_EQ(read_file((d / "a").string()), "");
  EXPECT_EQ(qm::safe_write((d / "missing" / "a").c_str(), "abc"), qm::write_result::cannot_open);
  EXPECT_EQ(qm::safe_write(d.c_str(), "abc"), qm::write_result::cannot_open);
  EXPECT_EQ(qm::safe_write("", "abc"), qm::write_result::cannot_open);
  EXPECT_EQ(qm::safe_write("/dev/full", "abc"), qm::write_result::write_error);
  EXPECT_EQ(names_in(d), std::vector<std::string>{"a"});
}

// The temporary file has no name while it is written when unnamed files are in use; else it has
// one from the start. Either way only the output remains once it is committed, and nothing once
// it is discarded.
TEST_P(SafeWrite, TemporaryFileNamedOnlyWhenComplete) {
  const fs::path d = fresh_dir("sw_steps");
  const std::string out = (d / "out.pdf").string();
  qm::pending_output p;
  ASSERT_EQ(qm::prepare_output(out.c_str(), &p), qm::output_plan::temp);
  EXPECT_EQ(p.unnamed, GetParam());
  const std::vector<std::string> during = names_in(d);
  if (GetParam()) {
    EXPECT_TRUE(during.empty());
  } else {
    ASSERT_EQ(during.size(), 1u);
    EXPECT_EQ(during[0].rfind(".out.pdf.", 0), 0u) << during[0];
  }
  ASSERT_TRUE(qm::write_all(p.fd, "complete"));
  EXPECT_EQ(qm::commit_output(p, true), qm::write_result::ok);
  EXPECT_EQ(read_file(out), "complete");
  EXPECT_EQ(names_in(d), std::vector<std::string>{"out.pdf"});

  // A file that is not wanted after all, and one whose writing failed.
  for (bool commit : {false, true}) {
    qm::pending_output q;
    ASSERT_EQ(qm::prepare_output(out.c_str(), &q), qm::output_plan::temp);
    ASSERT_TRUE(qm::write_all(q.fd, "partial"));
    if (commit)
      EXPECT_EQ(qm::commit_output(q, false), qm::write_result::write_error);
    else
      qm::discard_output(q);
    EXPECT_EQ(read_file(out), "complete");
    EXPECT_EQ(names_in(d), std::vector<std::string>{"out.pdf"});
  }
}

// A process killed while it writes the output leaves no trace when the temporary file is unnamed;
// a named one stays behind (what unnamed files exist to prevent).
TEST_P(SafeWrite, KilledWhileWriting) {
  const fs::path d = fresh_dir("sw_killed");
  const std::string out = (d / "out.pdf").string();
  put_file(fs::relative(out, scratch()).string(), "old contents");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    qm::pending_output p;
    if (qm::prepare_output(out.c_str(), &p) != qm::output_plan::temp) ::_exit(1);
    if (!qm::write_all(p.fd, std::string(100000, 'x'))) ::_exit(2);
    if (::write(ready[1], "w", 1) != 1) ::_exit(3);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  ::kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(read_file(out), "old contents");
  const std::vector<std::string> left = names_in(d);
  if (GetParam()) {
    EXPECT_EQ(left, std::vector<std::string>{"out.pdf"});
  } else {
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].rfind(".out.pdf.", 0), 0u) << left[0];
  }
}

// A process without privileges names the unnamed file through its descriptor's /proc link.
TEST_P(SafeWrite, UnprivilegedJobReplacesItsOutput) {
  inputs in;
  const fs::path d = fresh_dir("sw_user");
  const fs::path out = d / "out.pdf";
  put_file(fs::relative(out, scratch()).string(), "old contents");
  const int code = unprivileged({d, out}, [&] { return in.run(out.string()) == 1 ? 0 : 1; });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(read_file(out.string()), in.expected);
  EXPECT_EQ(names_in(d), std::vector<std::string>{"out.pdf"});
}

}  // namespace
