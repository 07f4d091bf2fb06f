// The command-line tool: exit statuses and exact standard error for success, every kind of
// usage error and a job failure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "../cli/opacity.h"
#include "support/jobpdf.h"
#include "support/readerpdf.h"

#ifndef QM_CLI_PATH
#error "QM_CLI_PATH must name the built tool"
#endif

extern char** environ;

namespace {

using namespace qmtest;
namespace fs = std::filesystem;

struct cli_result {
  int status = -1;
  std::string out, err;
};

// A document whose page tree has no pages.
std::string no_pages_pdf() {
  return "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
         "2 0 obj\n<< /Type /Pages /Kids [] /Count 0 >>\nendobj\n"
         "trailer\n<< /Root 1 0 R >>\n%%EOF\n";
}

struct stdio_setup {
  enum class in_kind { inherit, null, file, pipe } in = in_kind::inherit;
  std::string in_data;  // the bytes standard input gives (as a file, or through a pipe)
  enum class out_kind { file, closed_pipe, terminal } out = out_kind::file;
};

// Runs the tool with these arguments and its standard streams set up as `io` says, capturing
// standard error (and standard output, when it goes to a file) through files.
cli_result run_cli_stdio(const std::vector<std::string>& args, const stdio_setup& io) {
  const std::string so = (scratch() / "cli_stdout").string(),
                    se = (scratch() / "cli_stderr").string();
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, pty = -1, tty = -1;
  switch (io.in) {
    case stdio_setup::in_kind::inherit:
      break;
    case stdio_setup::in_kind::null:
      posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
      break;
    case stdio_setup::in_kind::file: {
      const std::string in = put_file("cli_stdin", io.in_data);
      posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
      break;
    }
    case stdio_setup::in_kind::pipe:
      EXPECT_EQ(pipe2(in_pipe, O_CLOEXEC), 0);
      posix_spawn_file_actions_adddup2(&fa, in_pipe[0], 0);
      break;
  }
  switch (io.out) {
    case stdio_setup::out_kind::file:
      posix_spawn_file_actions_addopen(&fa, 1, so.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      break;
    case stdio_setup::out_kind::closed_pipe:
      // Nobody will ever read: the reader has gone before the tool writes.
      EXPECT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
      close(out_pipe[0]);
      posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
      break;
    case stdio_setup::out_kind::terminal:
      pty = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      EXPECT_GE(pty, 0);
      EXPECT_EQ(grantpt(pty), 0);
      EXPECT_EQ(unlockpt(pty), 0);
      tty = open(ptsname(pty), O_RDWR | O_NOCTTY | O_CLOEXEC);
      EXPECT_GE(tty, 0);
      posix_spawn_file_actions_adddup2(&fa, tty, 1);
      break;
  }
  posix_spawn_file_actions_addopen(&fa, 2, se.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // The tool starts with SIGPIPE as a shell would give it, whatever this test process does.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t dflt;
  sigemptyset(&dflt);
  sigaddset(&dflt, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &dflt);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> all = {QM_CLI_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  cli_result r;
  pid_t pid;
  const int spawned = posix_spawn(&pid, QM_CLI_PATH, &fa, &attr, argv.data(), environ);
  for (int fd : {in_pipe[0], out_pipe[1], tty})
    if (fd >= 0) close(fd);
  if (in_pipe[1] >= 0) {
    // Written in pieces, as a producer upstream in a shell pipeline would.
    signal(SIGPIPE, SIG_IGN);  // a tool that refused its input has closed the pipe early
    for (size_t at = 0; at < io.in_data.size();) {
      const ssize_t n =
          write(in_pipe[1], io.in_data.data() + at, std::min<size_t>(4096, io.in_data.size() - at));
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    close(in_pipe[1]);
  }
  if (spawned == 0) {
    int st = 0;
    if (waitpid(pid, &st, 0) == pid && WIFEXITED(st)) r.status = WEXITSTATUS(st);
  }
  if (pty >= 0) close(pty);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&fa);
  if (io.out == stdio_setup::out_kind::file) r.out = read_file(so);
  r.err = read_file(se);
  return r;
}

// Runs the tool with these arguments, capturing both output streams through files.
cli_result run_cli(const std::vector<std::string>& args) {
  return run_cli_stdio(args, {});
}

struct files {
  std::string bg = put_file("cli_bg.pdf", n_pages_pdf(2, "bg"));
  std::string fg = put_file("cli_fg.pdf", n_pages_pdf(1, "fg", "[0 0 200 100]"));
  std::string out = (scratch() / "cli_out.pdf").string();
};

// Each job command gives exactly the output of its library call, and says nothing.
TEST(Cli, JobsSucceedSilently) {
  files f;
  const std::string ref = (scratch() / "cli_ref.pdf").string();
  struct jcase {
    std::vector<std::string> args;
    int (*lib)(const std::string&, const std::string&, const std::string&);
  };
  const std::vector<jcase> cases = {
      {{"merge", f.bg, f.fg, f.out},
       [](auto& b, auto& g, auto& o) {
         return quiremark_merge(b.c_str(), g.c_str(), o.c_str(), 0);
       }},
      {{"merge", "--underlay", f.bg, f.fg, f.out},
       [](auto& b, auto& g, auto& o) {
         return quiremark_merge(b.c_str(), g.c_str(), o.c_str(), 1);
       }},
      {{"merge", f.bg, f.fg, f.out, "--opacity", "0.5"},
       [](auto& b, auto& g, auto& o) {
         return quiremark_merge_opacity(b.c_str(), g.c_str(), o.c_str(), 0, 0.5f);
       }},
      {{"merge", f.bg, f.fg, f.out, "--opacity=0.25", "--underlay"},
       [](auto& b, auto& g, auto& o) {
         return quiremark_merge_opacity(b.c_str(), g.c_str(), o.c_str(), 1, 0.25f);
       }},
      // Given twice, the last wins; the forms without a leading digit or fraction are numbers.
      {{"merge", f.bg, f.fg, f.out, "--opacity", ".5", "--opacity", "0.35"},
       [](auto& b, auto& g, auto& o) {
         return quiremark_merge_opacity(b.c_str(), g.c_str(), o.c_str(), 0, 0.35f);
       }},
      {{"merge", f.bg, f.fg, f.out, "--opacity=1", "--opacity=.5"},
       [](auto& b, auto& g, auto& o) {
         return quiremark_merge_opacity(b.c_str(), g.c_str(), o.c_str(), 0, 0.5f);
       }},
      {{"merge", f.bg, f.fg, f.out, "--opacity", "1.0"},
       [](auto& b, auto& g, auto& o) {
         return quiremark_merge_opacity(b.c_str(), g.c_str(), o.c_str(), 0, 1.0f);
       }},
      {{"merge", f.bg, f.fg, f.out, "--opacity", "0"},
       [](auto& b, auto& g, auto& o) {
         return quiremark_merge_opacity(b.c_str(), g.c_str(), o.c_str(), 0, 0.0f);
       }},
      // "--" ends the options: what follows is an argument even when it starts with '-'.
      {{"merge", "--underlay", "--", f.bg, f.fg, f.out},
       [](auto& b, auto& g, auto& o) {
         return quiremark_merge(b.c_str(), g.c_str(), o.c_str(), 1);
       }},
      {{"stamp", f.bg, f.fg, f.out},
       [](auto& b, auto& g, auto& o) {
         return quiremark_stamp(b.c_str(), g.c_str(), o.c_str(), 0);
       }},
      {{"stamp", f.bg, f.fg, f.out, "--opacity", "0.7", "--opacity", "0.00"},
       [](auto& b, auto& g, auto& o) {
         return qm::overlay_exec(b.c_str(), g.c_str(), o.c_str(), 0, 0.0f, 1);
       }},
      {{"stamp", f.bg, f.fg, f.out, "--underlay"},
       [](auto& b, auto& g, auto& o) {
         return quiremark_stamp(b.c_str(), g.c_str(), o.c_str(), 1);
       }},
      // A translucent stamp: the tool reaches the library's job, with the stamp's group.
      {{"stamp", f.bg, f.fg, f.out, "--opacity", "0.3"},
       [](auto& b, auto& g, auto& o) {
         return qm::overlay_exec(b.c_str(), g.c_str(), o.c_str(), 0, 0.3f, 1);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back());
    fs::remove(f.out);
    const cli_result r = run_cli(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(c.lib(f.bg, f.fg, ref), 1);
    EXPECT_EQ(read_file(f.out), read_file(ref));
  }
  EXPECT_QPDF_ACCEPTS(f.out);
  // The last case is the translucent stamp: faded, and drawn as one group.
  const std::string last = read_file(f.out);
  EXPECT_NE(last.find("/ca 0.3000"), std::string::npos);
  EXPECT_NE(last.find("/Group << /S /Transparency >>"), std::string::npos);
}

// --keep-interactive reaches the job's option: the page's link is in the output with it, and only
// with it, and the output is the library's.
TEST(Cli, KeepInteractiveKeepsTheLinks) {
  files f;
  const std::string bg = put_file(
      "cli_link_bg.pdf",
      doc_pdf({page_spec{"[0 0 612 792]", "", "/Annots [20 0 R]"}, page_spec{}},
              {{20, "<< /Type /Annot /Subtype /Link /Rect [10 10 50 30] /Dest [4 0 R /Fit] >>"}}));
  const std::string ref = (scratch() / "cli_ref.pdf").string();
  for (const job_kind kind : {job_kind::merge, job_kind::stamp}) {
    for (const bool keep : {false, true}) {
      std::vector<std::string> args = {kind == job_kind::stamp ? "stamp" : "merge", bg, f.fg,
                                       f.out};
      if (keep) args.push_back("--keep-interactive");
      SCOPED_TRACE(args[0] + (keep ? " --keep-interactive" : ""));
      fs::remove(f.out);
      const cli_result r = run_cli(args);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(r.out, "");
      qm::job_options base;
      base.keep_interactive = keep;
      qm::job_result jr;
      qm::job_run(options_for(kind, bg, f.fg, ref, 0, 1.0f, base), jr);
      ASSERT_TRUE(jr.ok);
      const std::string out = read_file(f.out);
      EXPECT_EQ(out, read_file(ref));
      EXPECT_EQ(out.find("/Subtype /Link") != std::string::npos, keep);
    }
  }
  EXPECT_QPDF_ACCEPTS(f.out);
}

TEST(Cli, JobFailureSaysWhyAndExitsOne) {
  files f;
  const std::string missing = (scratch() / "cli_missing.pdf").string();
  const std::string no_dir = (scratch() / "cli_no_dir" / "o.pdf").string();
  pdfgen enc = pdfgen::simple({"/MediaBox [0 0 100 100]"});
  enc.trailer_extra = "/Encrypt << /Filter /Standard >>";
  const std::string encrypted = put_file("cli_encrypted.pdf", enc.bytes());
  struct fcase {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<fcase> cases = {
      {{"merge", missing, f.fg, f.out},
       "quiremark: cannot open " + missing + ": No such file or directory\n"},
      {{"stamp", f.bg, missing, f.out},
       "quiremark: cannot open " + missing + ": No such file or directory\n"},
      {{"merge", f.bg, f.fg, no_dir, "--opacity", "0.5"},
       "quiremark: cannot open " + no_dir + " for writing: No such file or directory\n"},
      {{"info", missing}, "quiremark: cannot open " + missing + ": No such file or directory\n"},
      {{"info", "--json", encrypted},
       "quiremark: encrypted PDFs are not supported: " + encrypted + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    fs::remove(f.out);
    const cli_result r = run_cli(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(fs::exists(f.out));
  }
}

TEST(Cli, UsageErrorsExitTwoWithAUsageLine) {
  files f;
  const std::string top =
      "usage: quiremark merge|stamp|batch|info ARGS... (see quiremark --help)\n";
  const std::string merge =
      "usage: quiremark merge BG FG OUT [--underlay] [--opacity X] [--compact] "
      "[--keep-interactive]\n";
  const std::string stamp =
      "usage: quiremark stamp BG FG OUT [--underlay] [--opacity X] [--compact] "
      "[--keep-interactive]\n";
  const std::string info = "usage: quiremark info [--json] [--objects] FILE\n";
  const std::string help = "usage: quiremark help [COMMAND]\n";
  struct ucase {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<ucase> cases = {
      {{}, "quiremark: no command given\n" + top},
      {{"frobnicate", f.bg}, "quiremark: unknown command: frobnicate\n" + top},
      {{"-x"}, "quiremark: unknown option: -x\n" + top},
      {{"merge", f.bg, f.fg}, "quiremark: missing argument: OUT\n" + merge},
      {{"merge"}, "quiremark: missing arguments: BG FG OUT\n" + merge},
      {{"stamp", f.bg}, "quiremark: missing arguments: FG OUT\n" + stamp},
      {{"info"}, "quiremark: missing argument: FILE\n" + info},
      {{"merge", f.bg, f.fg, f.out, "extra"}, "quiremark: unexpected argument: extra\n" + merge},
      {{"merge", f.bg, f.fg, f.out, "extra", "more"},
       "quiremark: unexpected argument: extra\n" + merge},
      {{"info", f.bg, f.fg}, "quiremark: unexpected argument: " + f.fg + "\n" + info},
      // After "--" a word that starts with '-' is an argument, here one too many.
      {{"merge", f.bg, f.fg, f.out, "--", "-d"}, "quiremark: unexpected argument: -d\n" + merge},
      {{"merge", f.bg, "--", f.fg, f.out, "-d"}, "quiremark: unexpected argument: -d\n" + merge},
      // An unknown option is named before anything is found missing.
      {{"merge", f.bg, f.fg, f.out, "--bogus"}, "quiremark: unknown option: --bogus\n" + merge},
      {{"merge", "-x"}, "quiremark: unknown option: -x\n" + merge},
      {{"stamp", "--bogus=3", f.bg}, "quiremark: unknown option: --bogus\n" + stamp},
      {{"merge", f.bg, f.fg, f.out, "-V"}, "quiremark: unknown option: -V\n" + merge},
      // A flag takes no value.
      {{"merge", "--underlay=1", f.bg, f.fg, f.out},
       "quiremark: --underlay takes no value\n" + merge},
      {{"stamp", f.bg, f.fg, f.out, "--keep-interactive=yes"},
       "quiremark: --keep-interactive takes no value\n" + stamp},
      {{"info", "--json=yes", f.bg}, "quiremark: --json takes no value\n" + info},
      {{"info", "--objects=0", f.bg}, "quiremark: --objects takes no value\n" + info},
      // An option without its value.
      {{"merge", f.bg, f.fg, f.out, "--opacity"},
       "quiremark: --opacity: expected a number from 0 to 1\n" + merge},
      {{"stamp", f.bg, f.fg, f.out, "--opacity"},
       "quiremark: --opacity: expected a number from 0 to 1\n" + stamp},
      // help names a command, or nothing.
      {{"help", "frobnicate"}, "quiremark: unknown command: frobnicate\n" + help},
      {{"help", "merge", "stamp"}, "quiremark: unexpected argument: stamp\n" + help},
      {{"help", "--bogus"}, "quiremark: unknown option: --bogus\n" + help},
  };
  for (const auto& c : cases) {
    std::string trace;
    for (const auto& a : c.args) trace += a + " ";
    SCOPED_TRACE(trace);
    fs::remove(f.out);
    const cli_result r = run_cli(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(f.out));
  }
}

// Texts that are not decimal digits with an optional fraction from 0 to 1.
const char* const kBadOpacities[] = {
    "1.5", "-1",        "50",    "nan",  "inf",  "",     "abc",  "1.",    ".",
    "0,5", " 0.5",      "0.5 ",  "+0.5", "-0",   "1e-1", "0x1",  "0x0.8", "1.01",
    "2",   "1.0000001", "0.5.5", "０.5", "0.5x", "10",   "0..5", "١",     "0.5\n",
};

// Merge and stamp refuse every such text with the same message, and write nothing; the job
// never runs, even when an earlier --opacity was good.
TEST(Cli, OpacityOutsideZeroToOneIsAUsageError) {
  files f;
  for (const char* cmd : {"merge", "stamp"}) {
    const std::string usage =
        "usage: quiremark " + std::string(cmd) +
        " BG FG OUT [--underlay] [--opacity X] [--compact] [--keep-interactive]\n";
    for (const char* bad : kBadOpacities) {
      const std::string want = "quiremark: --opacity: expected a number from 0 to 1, got \"" +
                               std::string(bad) + "\"\n" + usage;
      std::vector<std::vector<std::string>> forms = {{cmd, f.bg, f.fg, f.out, "--opacity", bad}};
      // The other ways to give it, for a few of the texts.
      if (bad == std::string_view("1.5") || bad == std::string_view("") ||
          bad == std::string_view("-1")) {
        forms.push_back({cmd, "--opacity=" + std::string(bad), f.bg, f.fg, f.out});
        forms.push_back({cmd, f.bg, f.fg, f.out, "--opacity", "0.5", "--opacity", bad});
        forms.push_back({cmd, f.bg, f.fg, f.out, "--opacity", bad, "--opacity", "0.5"});
      }
      for (const auto& args : forms) {
        SCOPED_TRACE(std::string(cmd) + " [" + bad + "] " + args[1]);
        fs::remove(f.out);
        const cli_result r = run_cli(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, want);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fs::exists(f.out));
      }
    }
  }
}

// The text is read as the decimal number it writes and turned into the float nearest to it, as
// the compiler turns a literal: ties go to the even neighbour, however many digits are given.
TEST(Cli, OpacityTextBecomesTheNearestFloat) {
  struct ncase {
    const char* text;
    float want;
  };
  const ncase cases[] = {
      {"0", 0.0f},
      {"0.0", 0.0f},
      {"000.000", 0.0f},
      {"1", 1.0f},
      {"01", 1.0f},
      {"1.0", 1.0f},
      {"1.000000000000000000000000000000", 1.0f},
      {".5", 0.5f},
      {"0.5", 0.5f},
      {"00.50", 0.5f},
      {"0.25", 0.25f},
      {"0.35", 0.35f},
      {".1", 0.1f},
      {"0.3", 0.3f},
      {"0.7", 0.7f},
      {"0.999", 0.999f},
      {"0.123456789", 0.123456789f},
      {"0.33333333333333333333333333333333333333", 0.33333333333333333333333333333333333333f},
      {"0.99999999", 0.99999999f},  // nearer to 1 than to the float below it
      // Halfway between 1 - 2^-24 and 1: to 1 (even); a hair either side goes its own way.
      {"0.99999997019767761230468750", 1.0f},
      {"0.99999997019767761230468749", 0.99999994f},
      {"0.99999997019767761230468751", 1.0f},
      // Halfway between 0.5 and its upper neighbour 0.5 + 2^-24: to 0.5 (even).
      {"0.500000029802322387695312500", 0.5f},
      {"0.500000029802322387695312501", 0.50000006f},
      // Halfway between 0.5 + 2^-24 (odd) and 0.5 + 2^-23: up, to the even one.
      {"0.500000089406967163085937500", 0.50000012f},
      // Below the normal floats: 1e-45 is nearest to the smallest float, 2^-149.
      {"0.000000000000000000000000000000000000000000001", 1e-45f},
      {"0.0000000000000000000000000000000000000117549435", 1.17549435e-38f},
      // Exactly 2^-150, halfway between 0 and 2^-149: to 0; just above it: up.
      {"0.000000000000000000000000000000000000000000000700649232162408535461864791644958065640130"
       "97093825788587853414194489554134293030074331909418106079101562500",
       0.0f},
      {"0.000000000000000000000000000000000000000000000700649232162408535461864791644958065640130"
       "97093825788587853414194489554134293030074331909418106079101562501",
       1e-45f},
      {"0.0000000000000000000000000000000000000000000000001", 0.0f},
  };
  for (const ncase& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<float> v = qmcli::parse_opacity(c.text);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(*v, c.want);
    EXPECT_EQ(std::signbit(*v), false);
  }
  for (const char* bad : kBadOpacities) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(qmcli::parse_opacity(bad).has_value());
  }
  // A NUL inside the text is not cut off at.
  EXPECT_FALSE(qmcli::parse_opacity(std::string_view("0.5\0"
                                                     "1",
                                                     4))
                   .has_value());
}

TEST(Cli, HelpAndVersion) {
  struct hcase {
    std::vector<std::string> args;
    std::string first_line;
    std::string usage;
    bool not_carried;  // says what a page leaves behind
  };
  const std::string tool =
      "Lay the pages of one PDF over the pages of another and write a new PDF.";
  const std::vector<hcase> cases = {
      {{"--help"}, tool, "Usage: quiremark [OPTIONS] SUBCOMMAND", true},
      {{"-h"}, tool, "Usage: quiremark [OPTIONS] SUBCOMMAND", true},
      {{"merge", "--help"},
       "Lay the pages of FG over the pages of BG, one to one.",
       "Usage: quiremark merge [OPTIONS] BG FG OUT",
       true},
      {{"stamp", "-h"},
       "Lay the first page of FG over every page of BG.",
       "Usage: quiremark stamp [OPTIONS] BG FG OUT",
       true},
      {{"info", "--help"},
       "Show what the reader finds in a PDF.",
       "Usage: quiremark info [OPTIONS] FILE",
       false},
      {{"help", "--help"},
       "Show the help of the tool, or of one command.",
       "Usage: quiremark help [OPTIONS] [COMMAND]",
       false},
  };
  const std::string not_carried =
      "\nNot carried over unless --keep-interactive is given: links, annotations, form fields, "
      "bookmarks and document info.\n";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const cli_result r = run_cli(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), c.first_line);
    EXPECT_NE(r.out.find(c.usage), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(not_carried) != std::string::npos, c.not_carried) << r.out;
  }
  // "help" and "help COMMAND" print exactly what --help prints.
  const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> same = {
      {{"help"}, {"--help"}},
      {{"help", "merge"}, {"merge", "--help"}},
      {{"help", "stamp"}, {"stamp", "--help"}},
      {{"help", "info"}, {"info", "--help"}},
      {{"help", "help"}, {"help", "--help"}},
  };
  for (const auto& [a, b] : same) {
    SCOPED_TRACE(a.back());
    const cli_result ra = run_cli(a), rb = run_cli(b);
    EXPECT_EQ(ra.status, 0);
    EXPECT_EQ(ra.err, "");
    EXPECT_FALSE(ra.out.empty());
    EXPECT_EQ(ra.out, rb.out);
  }
  // The tool's help lists the help command and -V.
  const cli_result h = run_cli({"--help"});
  EXPECT_NE(h.out.find("\n  help "), std::string::npos) << h.out;
  EXPECT_NE(h.out.find("-V,--version"), std::string::npos) << h.out;
  // info --help describes the fields it prints.
  const cli_result ih = run_cli({"info", "--help"});
  for (const char* field :
       {"trailer_root", "encrypted", "catalog", "max_objnum", "pages[].num", "pages[].rotate_own",
        "objects[].has_stream", "objects[].in_objstm", "objects[].text_len"})
    EXPECT_NE(ih.out.find(std::string("\n  ") + field), std::string::npos) << field;

  for (const char* flag : {"--version", "-V"}) {
    const cli_result v = run_cli({flag});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, std::string("quiremark ") + QM_VERSION + "\n");
    EXPECT_EQ(v.err, "");
  }
}

// --compact: the tool's own compressor (libdeflate) packs what the job does not keep. Every Form
// XObject's content inflates to the default output's content, and the file is smaller.
TEST(Cli, CompactJobsDrawTheSameInLessRoom) {
  const std::string bg = put_file("cli_varied_bg.pdf", varied_contents_pdf(24, "bg"));
  const std::string fg = put_file("cli_varied_fg.pdf", varied_contents_pdf(9, "fg"));
  const std::string ref = (scratch() / "cli_ref.pdf").string();
  const std::string out = (scratch() / "cli_out.pdf").string();
  for (const std::string cmd : {"stamp", "merge"}) {
    SCOPED_TRACE(cmd);
    ASSERT_EQ(run_cli({cmd, bg, fg, ref, "--opacity", "0.5"}).status, 0);
    const cli_result r = run_cli({cmd, "--compact", bg, fg, out, "--opacity", "0.5"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    const std::string d = read_file(ref), c = read_file(out);
    EXPECT_LT(c.size(), d.size());
    const out_pdf dp = read_output(d), cp = read_output(c);
    int forms = 0;
    for (const auto& [n, text] : cp.objs) {
      if (!text.starts_with("<< /Type /XObject /Subtype /Form")) continue;
      ++forms;
      const std::string& dt = dp.objs.at(n);
      const size_t ds = dt.find(">> stream\n") + 10, cs = text.find(">> stream\n") + 10;
      const std::string want = dt.substr(ds, dt.size() - 10 - ds);
      std::string z = text.substr(cs, text.size() - 10 - cs), got(want.size() + 1, '\0');
      uLongf len = got.size();
      ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(got.data()), &len,
                           reinterpret_cast<const Bytef*>(z.data()), z.size()),
                Z_OK)
          << "XObject " << n;
      got.resize(len);
      EXPECT_EQ(got, want) << "XObject " << n;
      EXPECT_NE(text.find("/Filter /FlateDecode"), std::string::npos);
    }
    EXPECT_EQ(forms, cmd == "stamp" ? 25 : 33);
    if (have_qpdf()) {
      EXPECT_TRUE(qpdf_accepts(out));
    }
  }
  if (!have_qpdf()) GTEST_SKIP() << "qpdf is not installed";
}

TEST(Cli, InfoRunsOnAGoodFile) {
  files f;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"info", f.bg}, {"info", "--json", f.bg}, {"info", "--json", "--objects", f.bg}}) {
    const cli_result r = run_cli(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(r.out.empty());
  }
}

// The JSON output writes flags as true/false and box numbers as read.
TEST(Cli, InfoJsonFlagsAreBooleansAndBoxesExact) {
  const std::string pdf =
      "%PDF-1.7\n" + raw_obj(1, "<< /Type /Catalog /Pages 2 0 R >>") +
      raw_obj(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>") +
      raw_obj(3,
              "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /CropBox [0.1 -2.5 "
              "612.123456789 792.000001] /Contents 4 0 R >>") +
      raw_stream(4, "2", "q\n") + objstm_obj(10, {{5, "<< /Tag (in a stream) >>"}}) +
      "trailer\n<< /Root 1 0 R >>\n%%EOF\n";
  const std::string path = put_file("cli_info.pdf", pdf);
  const cli_result r = run_cli({"info", "--json", "--objects", path});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string& j = r.out;
  // No cross-reference table, so no trailer is read: the catalog is found by its /Type.
  EXPECT_EQ(j.rfind("{\"trailer_root\":-1,\"encrypted\":false,\"catalog\":1,", 0), 0u) << j;
  EXPECT_NE(j.find("\"x0\":0.1,\"y0\":-2.5,\"width\":612.023456789,\"height\":794.500001}"),
            std::string::npos)
      << j;
  // Object 4 is a stream in the file, object 5 comes from an object stream (whose own entry is
  // not in the final table).
  auto entry = [&](int num) {
    const size_t at = j.find("{\"num\":" + std::to_string(num) + ",\"obj_start\"");
    return at == std::string::npos ? std::string() : j.substr(at, j.find('}', at) - at);
  };
  for (const auto& [num, flags] :
       std::vector<std::pair<int, std::string>>{{1, "\"has_stream\":false,\"in_objstm\":false"},
                                                {4, "\"has_stream\":true,\"in_objstm\":false"},
                                                {5, "\"has_stream\":false,\"in_objstm\":true"}}) {
    SCOPED_TRACE(num);
    EXPECT_NE(entry(num).find(flags), std::string::npos) << entry(num);
  }
  // The text keeps its yes/no and its 0/1 columns.
  const cli_result t = run_cli({"info", path});
  EXPECT_EQ(t.status, 0);
  EXPECT_NE(t.out.find("\nencrypted:         no\n"), std::string::npos) << t.out;
  EXPECT_NE(t.out.find(" 0.1 -2.5 612.023456789 794.500001\n"), std::string::npos) << t.out;
}

// Standard input and output named "-", pipes read whole, and what a failure message says about
// where it happened.
TEST(CliStdio, DashIsStandardInputOrOutputAndPipesAreReadWhole) {
  files f;
  const std::string bg_bytes = read_file(f.bg), fg_bytes = read_file(f.fg);
  // The big background is larger than a pipe's buffer, so that it arrives in many reads.
  const std::string big = put_file("cli_big.pdf", n_pages_pdf(300, "big"));
  const std::string big_bytes = read_file(big);
  using in = stdio_setup::in_kind;
  struct scase {
    std::vector<std::string> args;      // with "-" or /dev/stdin
    std::vector<std::string> ref_args;  // the same job on files, written to f.out
    stdio_setup io;
  };
  const std::vector<scase> cases = {
      {{"stamp", "-", f.fg, f.out}, {"stamp", f.bg, f.fg, f.out}, {in::file, bg_bytes}},
      {{"stamp", "-", f.fg, f.out}, {"stamp", f.bg, f.fg, f.out}, {in::pipe, bg_bytes}},
      {{"merge", f.bg, "-", f.out, "--underlay"},
       {"merge", f.bg, f.fg, f.out, "--underlay"},
       {in::pipe, fg_bytes}},
      {{"merge", big, "/dev/stdin", f.out}, {"merge", big, f.fg, f.out}, {in::pipe, fg_bytes}},
      {{"stamp", "/dev/stdin", f.fg, f.out}, {"stamp", big, f.fg, f.out}, {in::pipe, big_bytes}},
      {{"stamp", f.bg, f.fg, "-"}, {"stamp", f.bg, f.fg, f.out}, {}},
      {{"merge", "-", f.fg, "-", "--opacity", "0.5"},
       {"merge", f.bg, f.fg, f.out, "--opacity", "0.5"},
       {in::pipe, bg_bytes}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1] + " " + c.args[2] + " " + c.args[3]);
    fs::remove(f.out);
    const cli_result ref = run_cli(c.ref_args);
    ASSERT_EQ(ref.status, 0) << ref.err;
    const std::string expected = read_file(f.out);
    fs::remove(f.out);
    const cli_result r = run_cli_stdio(c.args, c.io);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    if (c.args[3] == "-") {
      EXPECT_EQ(r.out, expected);  // the PDF on standard output
      EXPECT_FALSE(fs::exists(f.out));
      EXPECT_FALSE(fs::exists("-"));
    } else {
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(read_file(f.out), expected);
    }
  }
}

TEST(CliStdio, FailuresSayWhatAndWhere) {
  files f;
  const fs::path dir = scratch() / "cli_a_folder";
  fs::create_directories(dir);
  const std::string missing = (scratch() / "cli_missing.pdf").string();
  const std::string no_dir = (scratch() / "cli_no_dir" / "x.pdf").string();
  const std::string no_pages = put_file("cli_nopages.pdf", no_pages_pdf());
  const std::string text = "just text, no objects\n";
  using in = stdio_setup::in_kind;
  using out = stdio_setup::out_kind;
  struct fcase {
    std::vector<std::string> args;
    stdio_setup io;
    int status;
    std::string err;
  };
  const std::vector<fcase> cases = {
      {{"stamp", missing, f.fg, f.out},
       {},
       1,
       "quiremark: cannot open " + missing + ": No such file or directory\n"},
      {{"merge", f.bg, dir.string(), f.out},
       {},
       1,
       "quiremark: cannot open " + dir.string() + ": Is a directory\n"},
      {{"merge", f.bg, f.fg, no_dir},
       {},
       1,
       "quiremark: cannot open " + no_dir + " for writing: No such file or directory\n"},
      {{"merge", f.bg, f.fg, dir.string()},
       {},
       1,
       "quiremark: cannot open " + dir.string() + " for writing: Is a directory\n"},
      {{"stamp", no_pages, f.fg, f.out},
       {},
       1,
       "quiremark: background " + no_pages + ": document has no pages\n"},
      {{"merge", f.bg, no_pages, f.out},
       {},
       1,
       "quiremark: foreground " + no_pages + ": document has no pages\n"},
      {{"stamp", "-", f.fg, f.out},
       {in::pipe, no_pages_pdf()},
       1,
       "quiremark: background -: document has no pages\n"},
      {{"stamp", f.bg, "-", f.out},
       {in::pipe, text},
       1,
       "quiremark: no PDF objects found \xE2\x80\x94 not a PDF: -\n"},
      {{"stamp", "-", f.fg, f.out}, {in::pipe, ""}, 1, "quiremark: empty input file: -\n"},
      {{"stamp", f.bg, f.fg, "-"},
       {in::null, "", out::closed_pipe},
       1,
       "quiremark: write error on -\n"},
      {{"stamp", "-", "-", f.out},
       {in::pipe, read_file(f.bg)},
       2,
       "quiremark: only one input can be read from standard input\n"},
      {{"merge", f.bg, f.fg, "-"},
       {in::null, "", out::terminal},
       2,
       "quiremark: refusing to write a PDF to a terminal\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1] + " " + c.args[2] + " " + c.args[3]);
    fs::remove(f.out);
    const cli_result r = run_cli_stdio(c.args, c.io);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(fs::exists(f.out));
  }
  // Without permission to read (root reads everything, so only as another user).
  if (geteuid() != 0) {
    const std::string locked = put_file("cli_locked.pdf", read_file(f.bg));
    fs::permissions(locked, fs::perms::none);
    const cli_result r = run_cli({"stamp", locked, f.fg, f.out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "quiremark: cannot open " + locked + ": Permission denied\n");
  }
}

}  // namespace
