// The command-line tool: exit statuses and exact standard error for success, every kind of
// usage error and a job failure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/jobpdf.h"

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

// Runs the tool with these arguments, capturing both output streams through files.
cli_result run_cli(const std::vector<std::string>& args) {
  const std::string so = (scratch() / "cli_stdout").string(),
                    se = (scratch() / "cli_stderr").string();
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, so.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, se.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> all = {QM_CLI_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  cli_result r;
  pid_t pid;
  if (posix_spawn(&pid, QM_CLI_PATH, &fa, nullptr, argv.data(), environ) == 0) {
    int st = 0;
    if (waitpid(pid, &st, 0) == pid && WIFEXITED(st)) r.status = WEXITSTATUS(st);
  }
  posix_spawn_file_actions_destroy(&fa);
  r.out = read_file(so);
  r.err = read_file(se);
  return r;
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
      {{"stamp", f.bg, f.fg, f.out},
       [](auto& b, auto& g, auto& o) {
         return quiremark_stamp(b.c_str(), g.c_str(), o.c_str(), 0);
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
  EXPECT_TRUE(qpdf_accepts(f.out));
  // The last case is the translucent stamp: faded, and drawn as one group.
  const std::string last = read_file(f.out);
  EXPECT_NE(last.find("/ca 0.3000"), std::string::npos);
  EXPECT_NE(last.find("/Group << /S /Transparency >>"), std::string::npos);
}

TEST(Cli, JobFailureSaysWhyAndExitsOne) {
  files f;
  const std::string missing = (scratch() / "cli_missing.pdf").string();
  const std::string no_dir = (scratch() / "cli_no_dir" / "o.pdf").string();
  struct fcase {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<fcase> cases = {
      {{"merge", missing, f.fg, f.out}, "quiremark: cannot open " + missing + "\n"},
      {{"stamp", f.bg, missing, f.out}, "quiremark: cannot open " + missing + "\n"},
      {{"merge", f.bg, f.fg, no_dir, "--opacity", "0.5"},
       "quiremark: cannot open " + no_dir + " for writing\n"},
      {{"info", missing}, "quiremark: cannot open " + missing + "\n"},
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
  const std::string top = "usage: quiremark merge|stamp|info ARGS... (see quiremark --help)\n";
  const std::string merge =
      "usage: quiremark merge BG FG OUT [--underlay] [--opacity X] [--compact]\n";
  const std::string stamp =
      "usage: quiremark stamp BG FG OUT [--underlay] [--opacity X] [--compact]\n";
  const std::string info = "usage: quiremark info [--json] [--objects] FILE\n";
  struct ucase {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<ucase> cases = {
      {{}, "quiremark: no command given\n" + top},
      {{"frobnicate", f.bg}, "quiremark: unknown command: frobnicate\n" + top},
      {{"-x"}, "quiremark: unknown option: -x\n" + top},
      {{"merge", f.bg, f.fg}, "quiremark: OUT is required\n" + merge},
      {{"merge"}, "quiremark: BG is required\n" + merge},
      {{"merge", f.bg, f.fg, f.out, "extra"},
       "quiremark: The following argument was not expected: extra\n" + merge},
      {{"merge", f.bg, f.fg, f.out, "--bogus"},
       "quiremark: The following argument was not expected: --bogus\n" + merge},
      {{"merge", f.bg, f.fg, f.out, "--opacity", "half"},
       "quiremark: Could not convert: --opacity = half\n" + merge},
      {{"merge", f.bg, f.fg, f.out, "--opacity"},
       "quiremark: --opacity: 1 required X missing\n" + merge},
      {{"stamp", f.bg, f.fg, f.out, "--opacity"},
       "quiremark: --opacity: 1 required X missing\n" + stamp},
      {{"stamp", f.bg}, "quiremark: FG is required\n" + stamp},
      {{"info"}, "quiremark: FILE is required\n" + info},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? std::string("(none)") : c.args[0]);
    fs::remove(f.out);
    const cli_result r = run_cli(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(f.out));
  }
}

TEST(Cli, HelpAndVersion) {
  struct hcase {
    std::vector<std::string> args;
    std::string first_line;
    std::string usage;
  };
  const std::vector<hcase> cases = {
      {{"--help"},
       "Lay the pages of one PDF over the pages of another and write a new PDF.",
       "Usage: quiremark [OPTIONS] SUBCOMMAND"},
      {{"-h"},
       "Lay the pages of one PDF over the pages of another and write a new PDF.",
       "Usage: quiremark [OPTIONS] SUBCOMMAND"},
      {{"merge", "--help"},
       "Lay the pages of FG over the pages of BG, one to one.",
       "Usage: quiremark merge [OPTIONS] BG FG OUT"},
      {{"stamp", "-h"},
       "Lay the first page of FG over every page of BG.",
       "Usage: quiremark stamp [OPTIONS] BG FG OUT"},
      {{"info", "--help"},
       "Show what the reader finds in a PDF.",
       "Usage: quiremark info [OPTIONS] FILE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const cli_result r = run_cli(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), c.first_line);
    EXPECT_NE(r.out.find(c.usage), std::string::npos) << r.out;
  }
  const cli_result v = run_cli({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, std::string("quiremark ") + QM_VERSION + "\n");
  EXPECT_EQ(v.err, "");
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
    EXPECT_TRUE(qpdf_accepts(out));
  }
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

}  // namespace
